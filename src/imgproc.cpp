#include "imgproc.h"
