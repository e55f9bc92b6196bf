#include "taskspecification.h"
