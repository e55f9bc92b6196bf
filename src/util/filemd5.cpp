#include "filemd5.h"
