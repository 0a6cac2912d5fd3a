#include "cornersubpix.h"
