// Filled in by its owner.
#include "setup/records.h"
