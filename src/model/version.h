// Package version numbers: one unsigned 32-bit value, major, minor, kind
// letter and build from the top byte down, so that plain unsigned comparison
// gives release order.
#pragma once

#include <cstdint>
#include <string>

using Version = uint32_t;

constexpr uint8_t VERSION_KIND_ALPHA = 0x61;
constexpr uint8_t VERSION_KIND_BETA = 0x62;
constexpr uint8_t VERSION_KIND_RC = 0x63;
constexpr uint8_t VERSION_KIND_FINAL = 0x66;

constexpr Version makeVersion(unsigned major, unsigned minor, unsigned kind, unsigned build) {
    return (Version(major & 0xFF) << 24) | (Version(minor & 0xFF) << 16) |
           (Version(kind & 0xFF) << 8) | Version(build & 0xFF);
}
constexpr unsigned versionMajor(Version v) {
    return v >> 24;
}

// Text of a version ("6.40.1", "6.41beta3", "7.1rc"). The text lives in one
// static buffer that the next call overwrites; copy it at once.
const char* versionText(Version v);

// Exact inverse of versionText for the named kinds: "7.1beta3", "6.40.1",
// "6.40", "7.1rc", "6.2alpha". Also accepts a plain decimal or 0x number.
// Returns false on malformed text.
bool parseVersion(const std::string& text, Version& out);
