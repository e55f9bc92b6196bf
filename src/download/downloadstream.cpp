#include "downloadstream.h"
