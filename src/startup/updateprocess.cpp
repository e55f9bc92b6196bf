#include "updateprocess.h"
