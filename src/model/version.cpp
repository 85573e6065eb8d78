#include "model/version.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* versionText(Version v) {
    static char text[80];
    unsigned major = (v >> 24) & 0xFF;
    unsigned minor = (v >> 16) & 0xFF;
    unsigned kind = (v >> 8) & 0xFF;
    unsigned build = v & 0xFF;
    if (kind == VERSION_KIND_FINAL) {
        if (build != 0)
            std::snprintf(text, sizeof text, "%u.%u.%u", major, minor, build);
        else
            std::snprintf(text, sizeof text, "%u.%u", major, minor);
        return text;
    }
    const char* word = kind == VERSION_KIND_ALPHA  ? "alpha"
                       : kind == VERSION_KIND_BETA ? "beta"
                       : kind == VERSION_KIND_RC   ? "rc"
                                                   : "";
    if (build != 0)
        std::snprintf(text, sizeof text, "%u.%u%s%u", major, minor, word, build);
    else
        std::snprintf(text, sizeof text, "%u.%u%s", major, minor, word);
    return text;
}

namespace {

// Reads a decimal number of at most 255 at text[pos]; advances pos.
bool readByte(const std::string& text, size_t& pos, unsigned& out) {
    size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        value = value * 10 + unsigned(text[pos] - '0');
        if (value > 255) return false;
        ++pos;
    }
    out = value;
    return pos > start;
}

}  // namespace

bool parseVersion(const std::string& text, Version& out) {
    if (text.rfind("0x", 0) == 0 || text.find('.') == std::string::npos) {
        if (text.empty()) return false;
        char* end = nullptr;
        unsigned long long value = std::strtoull(text.c_str(), &end, 0);
        if (*end != '\0' || value > 0xFFFFFFFFull) return false;
        out = Version(value);
        return true;
    }
    size_t pos = 0;
    unsigned major, minor, build = 0;
    if (!readByte(text, pos, major) || pos >= text.size() || text[pos] != '.') return false;
    ++pos;
    if (!readByte(text, pos, minor)) return false;
    unsigned kind = VERSION_KIND_FINAL;
    if (pos == text.size()) {
        out = makeVersion(major, minor, kind, 0);
        return true;
    }
    if (text[pos] == '.') {
        ++pos;
        if (!readByte(text, pos, build) || pos != text.size() || build == 0) return false;
        out = makeVersion(major, minor, kind, build);
        return true;
    }
    static const struct {
        const char* word;
        unsigned kind;
    } words[] = {
        {"alpha", VERSION_KIND_ALPHA}, {"beta", VERSION_KIND_BETA}, {"rc", VERSION_KIND_RC}};
    bool found = false;
    for (const auto& w : words) {
        size_t len = std::strlen(w.word);
        if (text.compare(pos, len, w.word) == 0) {
            kind = w.kind;
            pos += len;
            found = true;
            break;
        }
    }
    if (!found) return false;
    if (pos < text.size() && (!readByte(text, pos, build) || pos != text.size() || build == 0))
        return false;
    out = makeVersion(major, minor, kind, build);
    return true;
}
