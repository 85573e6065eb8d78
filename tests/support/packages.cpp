#include "support/packages.h"

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <set>
#include <tuple>

#include "model/version.h"
#include "pkgfile/package_reader.h"
#include "qpk/lib/builder.h"
#include "qpk/lib/signer.h"
#include "sign/crypto.h"

namespace testpkg {

namespace {

using Blobs = std::map<std::string, std::string>;
// An option's parser, given its value.
using Option = std::function<bool(const std::string&)>;
// The options that damage the built file, applied in their order.
const std::set<std::string> DAMAGE = {"files-length", "insert", "patch", "size-field",
                                      "magic",        "keep",   "cut"};

std::string le16(uint32_t v) {
    return {char(v & 0xFF), char((v >> 8) & 0xFF)};
}
std::string le32(uint32_t v) {
    return le16(v) + le16(v >> 16);
}

// `text` cut at each `sep`, into `most` parts at most (0: no limit).
std::vector<std::string> splitOn(const std::string& text, char sep, size_t most = 0) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; parts.size() + 1 != most && (at = text.find(sep, start)) != std::string::npos;
         start = at + 1)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

template <typename T>
bool text(const std::string& text, T& out) {
    out = text;
    return true;
}

bool number(const std::string& text, uint32_t& out) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    out = uint32_t(v);
    return !text.empty() && *end == '\0' && text[0] != '-' && v <= 0xFFFFFFFFull;
}

bool yesNo(const std::string& text, bool& out) {
    out = text == "yes";
    return out || text == "no";
}

bool version(const std::string& text, Version& out) {
    out = 0;
    return text.empty() || parseVersion(text, out);
}

bool refs(const std::string& text, std::vector<PackageRef>& out) {
    for (const std::string& item : splitOn(text, ',')) {
        std::vector<std::string> f = splitOn(item, ':');
        const size_t star = f[0].find('*');
        uint32_t times = 1;
        if (f.size() > 4 || (star != std::string::npos && !number(f[0].substr(star + 1), times)))
            return false;
        f.resize(4);
        PackageRef ref{f[0].substr(0, star), 0, 0, std::atoi(f[3].c_str())};
        if (ref.name.empty() || !version(f[1], ref.minVersion) || !version(f[2], ref.maxVersion))
            return false;
        out.insert(out.end(), times, ref);
    }
    return true;
}

std::string nameField(std::string name) {
    name.resize(16, '\0');
    return name;
}

// The payload of a hand-made part.
bool payload(const std::string& text, const Blobs& blobs, std::string& out) {
    const std::vector<std::string> f = splitOn(text, ':');
    Version v = 0;
    uint32_t n = 0;
    if (f[0] == "hdr" && f.size() >= 3 && version(f[2], v)) {
        out = nameField(f[1]) + le32(v) + le32(1) + std::string(8, '\0') + le32(0);
        if (f.size() > 3 && number(f[3], n)) out.resize(n);
    } else if (f[0] == "refs" && f.size() == 3 && number(f[1], n)) {
        out = le16(n) + nameField(f[2]) + std::string(16, '\0');
    } else if (text.starts_with('@')) {
        const auto it = blobs.find(text.substr(1));
        if (it == blobs.end() || it->second.size() < 8) return false;
        out = it->second.substr(8);
    } else {
        out = text;
    }
    return true;
}

bool piece(const std::string& text, const Blobs& blobs, std::string& out) {
    if (text.starts_with('@')) return payload(text, blobs, out);
    const std::vector<std::string> f = splitOn(text, '/', 3);
    uint32_t type = 0, length = 0;
    std::string bytes;
    if (f.size() != 3 || !number(f[0], type) || (!f[1].empty() && !number(f[1], length)) ||
        !payload(f[2], blobs, bytes))
        return false;
    out = le16(type) + le32(f[1].empty() ? uint32_t(bytes.size()) : length) + bytes;
    return true;
}

// An option that parses its value into `field`.
template <typename T>
Option into(T& field, bool (*parse)(const std::string&, T&)) {
    return [&field, parse](const std::string& v) { return parse(v, field); };
}

// A valid signature (legacy form alone below 132 bytes) padded to `length`.
std::string signedWithLength(qpk::PackageRecipe recipe, uint32_t length) {
    recipe.withSignature = false;
    std::string file = qpk::buildPackage(recipe, qpk::SigningKeys());
    file += le16(9) + le32(length);
    SHA1 sha;
    sha.update(file.data() + 8, file.size() - 8);
    uint8_t digest[32] = {};
    sha.finish(digest);
    std::string signature, error;
    if (!qpk::signDigest(qpk::developmentKeys(), digest, signature, error)) return "";
    if (length < 132) signature.resize(68);
    signature.resize(length, '\0');
    file += signature;
    return file.replace(4, 4, le32(uint32_t(file.size() - 8)));
}

}  // namespace

bool build(const std::vector<std::string>& words, const Blobs& blobs, std::string& out,
           std::string& error) {
    qpk::PackageRecipe recipe;
    qpk::BundleRecipe bundle;
    std::vector<std::string> members, damage;
    std::set<std::string> given;
    std::string raw;
    bool signedPackage = true;
    uint32_t n = 0, signatureLength = 0, garbage = 0;
    // CLASS:NAME:CONTENTS, a file for machines of that cpu class only (0: all).
    const auto file = [&](uint16_t mode, const std::string& v) {
        const std::vector<std::string> f = splitOn(v, ':', 3);
        const bool ok = f.size() == 3 && number(f[0], n) && n < 256;
        if (ok) recipe.files.push_back({f[1], mode, f[2], uint8_t(n)});
        return ok;
    };
    const std::map<std::string, Option> options = {
        {"name", into(recipe.name, text)},
        {"version", into(recipe.version, parseVersion)},
        {"build-time", into(recipe.buildTime, number)},
        {"flags", into(recipe.flags, number)},
        {"flags-word", into(recipe.withFlagsWord, yesNo)},
        {"keep-image", into(recipe.keepImagePayload, text)},
        {"note", into(recipe.note, text)},
        {"depends", into(recipe.depends, refs)},
        {"provides", into(recipe.provides, refs)},
        {"conflicts", into(recipe.conflicts, refs)},
        {"default-disabled", into(bundle.defaultDisabled, refs)},
        {"sha256", into(recipe.sha256, yesNo)},
        {"unrecorded", into(recipe.unrecorded, yesNo)},
        {"signed", into(signedPackage, yesNo)},
        {"signature", into(recipe.withSignature, yesNo)},
        {"signature-length", into(signatureLength, number)},
        {"signature-garbage", into(garbage, number)},
        {"files-cut", into(recipe.filesStreamCut, number)},
        {"file", [&](const std::string& v) { return file(0100644, "0:" + v); }},
        {"exec", [&](const std::string& v) { return file(0100755, "0:" + v); }},
        {"class-file", [&](const std::string& v) { return file(0100644, v); }},
        {"bundle-of",
         [&](const std::string& v) {
             for (const std::string& m : splitOn(v, ',')) {
                 if (!blobs.count(m)) {
                     error = "bundle member \"" + m + "\" is not built yet";
                     return false;
                 }
                 members.push_back(blobs.at(m));
             }
             return true;
         }},
        {"zeros",
         [&](const std::string& v) {
             const std::vector<std::string> f = splitOn(v, ':');
             uint32_t size = 0;
             const bool ok = f.size() == 2 && number(f[0], n) && number(f[1], size);
             for (uint32_t k = 0; ok && k < n; ++k)
                 recipe.files.push_back(
                     {"bin/f" + std::to_string(k), 0100644, std::string(size, 0)});
             return ok;
         }},
        {"record",
         [&](const std::string& v) {
             std::vector<std::string> f = splitOn(v, ':', 5);
             if (f.size() != 5) return false;
             if (f[1].empty()) f[1] = std::to_string(f[4].size());
             if (f[2].empty()) f[2] = std::to_string(f[3].size());
             const uint32_t mode = uint32_t(std::strtoul(f[0].c_str(), nullptr, 8));
             uint32_t size = 0, nameLength = 0;
             if (mode == 0 || !number(f[1], size) || !number(f[2], nameLength)) return false;
             recipe.rawFilesStream = recipe.rawFilesStream.value_or("") + le16(mode) +
                                     std::string(22, '\0') + le32(size) + le16(nameLength) + f[3] +
                                     f[4];
             return true;
         }},
        {"after-signature",
         [&](const std::string& v) {
             const std::vector<std::string> f = splitOn(v, ':', 2);
             const bool ok = f.size() == 2 && number(f[0], n) && n <= 0xFFFF;
             if (ok) recipe.partsAfterSignature.push_back({uint16_t(n), f[1], std::nullopt});
             return ok;
         }},
        {"raw",
         [&](const std::string& v) {
             for (const std::string& p : splitOn(v, '+')) {
                 std::string bytes;
                 if (!v.empty() && !piece(p, blobs, bytes)) return false;
                 raw += bytes;
             }
             return true;
         }},
    };
    const auto bad = [&](const std::string& word) {
        if (error.empty()) error = "bad package option \"" + word + "\"";
        return false;
    };
    error.clear();
    for (const std::string& word : words) {
        const size_t eq = word.find('=');
        const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
        given.insert(key);
        if (DAMAGE.count(key))
            damage.push_back(word);
        else if (eq == std::string::npos || !options.count(key) || !options.at(key)(value))
            return bad(word);
    }
    if (given.count("signature-garbage")) recipe.signatureOverride = std::string(garbage, '\x5a');
    if (given.count("raw")) {
        out = le32(PACKAGE_MAGIC) + le32(uint32_t(raw.size())) + raw;
    } else if (!given.count("name") || !given.count("version")) {
        error = "a package needs name= and version=";
        return false;
    } else if (!members.empty()) {
        // The bundle's header as a package's.
        std::tie(bundle.name, bundle.version, bundle.buildTime, bundle.flags,
                 bundle.keepImagePayload) = std::tie(recipe.name, recipe.version, recipe.buildTime,
                                                     recipe.flags, recipe.keepImagePayload);
        out = qpk::buildBundle(bundle, members);
    } else if (given.count("signature-length")) {
        out = signedWithLength(recipe, signatureLength);
    } else {
        out =
            qpk::buildPackage(recipe, signedPackage ? qpk::developmentKeys() : qpk::SigningKeys());
    }
    if (out.size() < 8) {
        error = "the builder made no package";
        return false;
    }
    for (const std::string& word : damage) {
        const size_t eq = word.find('=');
        const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
        const std::vector<std::string> f = splitOn(value, ':', 2);
        long offset = std::atol(f[0].c_str());  // below zero: from the end
        if (offset < 0) offset += long(out.size());
        bool ok = offset >= 0 && size_t(offset) <= out.size() && f.size() == 2;
        std::string bytes;
        if (key == "files-length") {
            // The files part, found through the part headers.
            size_t at = 8;
            while (at + 6 <= out.size() && out[at] != 4)
                at += 6 + (uint8_t(out[at + 2]) | uint8_t(out[at + 3]) << 8 |
                           uint8_t(out[at + 4]) << 16 | uint32_t(uint8_t(out[at + 5])) << 24);
            ok = at + 6 <= out.size() && number(value, n);
            if (ok) out.replace(at + 2, 4, le32(n));
        } else if (key == "insert") {
            ok = ok && piece(f[1], blobs, bytes);
            if (ok) out.insert(size_t(offset), bytes).replace(4, 4, le32(uint32_t(out.size() - 8)));
        } else if (key == "patch") {
            ok = ok && offset + f[1].size() <= out.size();
            if (ok) out.replace(size_t(offset), f[1].size(), f[1]);
        } else if (key == "size-field" || key == "magic") {
            // "+N": N more than the true size.
            ok = number(value.substr(value.starts_with('+')), n);
            if (value.starts_with('+')) n += uint32_t(out.size() - 8);
            out.replace(key == "magic" ? 0 : 4, 4, le32(n));
        } else {
            ok = number(value, n) && n <= out.size();
            if (ok) out.resize(key == "keep" ? n : out.size() - n);
        }
        if (!ok) return bad(word);
    }
    return true;
}

}  // namespace testpkg
