#include "safepath.h"
