#include "module/module_lifetime.h"

volatile LONG module_object_count;
