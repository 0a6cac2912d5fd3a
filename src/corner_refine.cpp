#include "corner_refine.h"
