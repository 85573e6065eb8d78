// The router's flagged state, read from the platform once before main().
#pragma once

#include <cstdint>

// Non-zero when the router is in flagged state. Tests may change it.
extern uint8_t flaggedState;
