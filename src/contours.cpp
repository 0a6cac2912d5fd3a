#include "contours.h"
