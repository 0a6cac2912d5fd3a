#include "affinity.h"
