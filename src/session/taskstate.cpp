#include "taskstate.h"
