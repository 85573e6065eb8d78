// Little-endian field access for package file records, whatever the host's
// byte order.
#pragma once

#include <cstdint>

inline uint16_t readLe16(const unsigned char* p) {
    return uint16_t(p[0] | (p[1] << 8));
}

inline uint32_t readLe32(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
