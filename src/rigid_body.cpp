#include "rigid_body.h"
