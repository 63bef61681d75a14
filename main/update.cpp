// Update workflow: the update run, flashing one adapter, the listing.
#include "main/vexor.h"
