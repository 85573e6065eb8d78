#include "engine/flagged.h"

#include "platform/platform.h"

// Read once, before main(), from the router's mode record.
uint8_t flaggedState = nv::VelmoraMode::load().flagged;
