#include "scenario.h"
