#include "sign/trust_key_set.h"

#include <cstring>
#include <vector>

#include "trust_keys.h"

namespace {

TrustKeySet compiledKeys() {
    TrustKeySet keys;
    std::memcpy(keys.ed25519Public, TRUST_ED25519_PUBLIC, 32);
    std::memcpy(keys.legacyPublic, TRUST_LEGACY_PUBLIC, 32);
    std::memcpy(keys.legacyHashIv, TRUST_LEGACY_HASH_IV, sizeof keys.legacyHashIv);
    std::memcpy(keys.legacyHashK, TRUST_LEGACY_HASH_K, sizeof keys.legacyHashK);
    return keys;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> out;
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
        size_t end = at;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
        if (end > at) out.push_back(text.substr(at, end - at));
        at = end;
    }
    return out;
}

bool readBytes(std::string_view hex, uint8_t out[32]) {
    if (hex.size() != 64) return false;
    for (size_t i = 0; i < 32; ++i) {
        const int high = hexDigit(hex[2 * i]), low = hexDigit(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = uint8_t(high << 4 | low);
    }
    return true;
}

bool readWords(const std::vector<std::string_view>& fields, size_t count, uint32_t* out) {
    if (fields.size() != count + 1) return false;
    for (size_t i = 0; i < count; ++i) {
        const std::string_view w = fields[i + 1];
        if (w.size() != 8) return false;
        uint32_t value = 0;
        for (char c : w) {
            const int d = hexDigit(c);
            if (d < 0) return false;
            value = value << 4 | uint32_t(d);
        }
        out[i] = value;
    }
    return true;
}

}  // namespace

const TrustKeySet& builtInTrustKeys() {
    static const TrustKeySet keys = compiledKeys();
    return keys;
}

bool parseTrustKeySet(std::string_view text, TrustKeySet& out, std::string& error) {
    static const char* const NAMES[] = {"ed25519-public", "legacy-public", "legacy-hash-iv",
                                        "legacy-hash-k"};
    bool seen[4] = {};
    size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const size_t feed = text.find('\n');
        std::string_view line = text.substr(0, feed);
        text.remove_prefix(feed == std::string_view::npos ? text.size() : feed + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::vector<std::string_view> fields = words(line);
        if (fields.empty() || fields[0][0] == '#') continue;
        int which = -1;
        for (int k = 0; k < 4; ++k)
            if (fields[0] == NAMES[k]) which = k;
        bool good = which >= 0;
        if (good && seen[which]) {
            error = std::to_string(lineNumber) + ": " + NAMES[which] + " given twice";
            return false;
        }
        if (which == 0 || which == 1)
            good = fields.size() == 2 &&
                   readBytes(fields[1], which == 0 ? out.ed25519Public : out.legacyPublic);
        else if (which == 2)
            good = readWords(fields, 8, out.legacyHashIv);
        else if (which == 3)
            good = readWords(fields, 64, out.legacyHashK);
        if (!good) {
            error = std::to_string(lineNumber) + ": malformed trust key line: " + std::string(line);
            return false;
        }
        seen[which] = true;
    }
    for (int k = 0; k < 4; ++k) {
        if (!seen[k]) {
            error = std::string("no ") + NAMES[k] + " line";
            return false;
        }
    }
    return true;
}
