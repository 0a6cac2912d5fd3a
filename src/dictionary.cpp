#include "dictionary.h"
