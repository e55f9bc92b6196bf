#include "ftpclient.h"
