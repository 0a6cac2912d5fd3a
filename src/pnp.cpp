#include "pnp.h"
