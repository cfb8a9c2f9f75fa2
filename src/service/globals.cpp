#include "service/globals.h"
