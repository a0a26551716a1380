#include "json/value.h"
