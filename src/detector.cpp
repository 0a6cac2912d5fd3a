#include "detector.h"
