#include "support/packages.h"

#include <cstdint>
#include <cstdlib>

#include "model/version.h"
#include "pkgfile/package_reader.h"
#include "qpk/lib/builder.h"
#include "qpk/lib/signer.h"
#include "sign/crypto.h"

namespace testpkg {

namespace {

std::string le16(uint32_t v) {
    return {char(v & 0xFF), char((v >> 8) & 0xFF)};
}
std::string le32(uint32_t v) {
    return le16(v) + le16(v >> 16);
}

std::vector<std::string> splitOn(const std::string& text, char sep, size_t most = 0) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t at = most && parts.size() + 1 == most ? std::string::npos : text.find(sep, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
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
        PackageRef ref;
        uint32_t times = 1;
        size_t star = f[0].find('*');
        if (star != std::string::npos && !number(f[0].substr(star + 1), times)) return false;
        ref.name = f[0].substr(0, star);
        if (f.size() > 4 || ref.name.empty() || (f.size() > 1 && !version(f[1], ref.minVersion)) ||
            (f.size() > 2 && !version(f[2], ref.maxVersion)))
            return false;
        if (f.size() > 3) ref.weight = std::atoi(f[3].c_str());
        out.insert(out.end(), times, ref);
    }
    return true;
}

bool rawPart(const std::string& text, qpk::RawPart& out) {
    std::vector<std::string> f = splitOn(text, ':', 2);
    uint32_t type = 0;
    out.payload = f.size() > 1 ? f[1] : "";
    out.type = uint16_t(type);
    return f.size() == 2 && number(f[0], type) && type <= 0xFFFF &&
           (out.type = uint16_t(type), true);
}

std::string nameField(const std::string& name) {
    std::string field = name;
    field.resize(16, '\0');
    return field;
}

// The payload of a hand-made part.
bool payload(const std::string& text, const std::map<std::string, std::string>& blobs,
             std::string& out) {
    std::vector<std::string> f = splitOn(text, ':');
    Version v = 0;
    uint32_t n = 0;
    if (f[0] == "hdr" && f.size() >= 3 && version(f[2], v)) {
        out = nameField(f[1]) + le32(v) + le32(1) + std::string(8, '\0') + le32(0);
        if (f.size() > 3 && number(f[3], n)) out.resize(n);
        return true;
    }
    if (f[0] == "refs" && f.size() == 3 && number(f[1], n)) {
        out = le16(n) + nameField(f[2]) + std::string(16, '\0');
        return true;
    }
    if (!text.empty() && text[0] == '@') {
        auto it = blobs.find(text.substr(1));
        if (it == blobs.end() || it->second.size() < 8) return false;
        out = it->second.substr(8);
        return true;
    }
    out = text;
    return true;
}

bool piece(const std::string& text, const std::map<std::string, std::string>& blobs,
           std::string& out) {
    if (!text.empty() && text[0] == '@') return payload(text, blobs, out);
    std::vector<std::string> f = splitOn(text, '/', 3);
    uint32_t type = 0, length = 0;
    std::string bytes;
    if (f.size() != 3 || !number(f[0], type) || (!f[1].empty() && !number(f[1], length)) ||
        !payload(f[2], blobs, bytes))
        return false;
    out = le16(type) + le32(f[1].empty() ? uint32_t(bytes.size()) : length) + bytes;
    return true;
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

bool build(const std::vector<std::string>& words, const std::map<std::string, std::string>& blobs,
           std::string& out, std::string& error) {
    qpk::PackageRecipe recipe;
    qpk::BundleRecipe bundle;
    std::vector<std::string> members, damage;
    bool isBundle = false, haveName = false, haveVersion = false, signedPackage = true,
         isRaw = false;
    uint32_t signatureLength = 0;
    bool lengthGiven = false;
    std::string raw;
    for (const std::string& word : words) {
        const size_t eq = word.find('=');
        const std::string key = word.substr(0, eq),
                          value = eq == std::string::npos ? "" : word.substr(eq + 1);
        uint32_t n = 0;
        bool ok = eq != std::string::npos, flag = false;
        if (key == "name") {
            recipe.name = bundle.name = value;
            haveName = true;
        } else if (key == "version") {
            ok = parseVersion(value, recipe.version);
            bundle.version = recipe.version;
            haveVersion = true;
        } else if (key == "build-time") {
            ok = number(value, recipe.buildTime);
            bundle.buildTime = recipe.buildTime;
        } else if (key == "flags") {
            ok = number(value, recipe.flags);
            bundle.flags = recipe.flags;
        } else if (key == "keep-image") {
            recipe.keepImagePayload = bundle.keepImagePayload = value;
        } else if (key == "bundle-of") {
            isBundle = true;
            for (const std::string& m : splitOn(value, ',')) {
                auto it = blobs.find(m);
                if (it == blobs.end()) {
                    error = "bundle member \"" + m + "\" is not built yet";
                    return false;
                }
                members.push_back(it->second);
            }
        } else if (key == "default-disabled") {
            ok = refs(value, bundle.defaultDisabled);
        } else if (key == "note") {
            recipe.note = value;
        } else if (key == "depends") {
            ok = refs(value, recipe.depends);
        } else if (key == "provides") {
            ok = refs(value, recipe.provides);
        } else if (key == "conflicts") {
            ok = refs(value, recipe.conflicts);
        } else if (key == "file" || key == "exec") {
            std::vector<std::string> f = splitOn(value, ':', 2);
            ok = f.size() == 2;
            if (ok)
                recipe.files.push_back(
                    {f[0], uint16_t(key == "exec" ? 0100755 : 0100644), f[1], 0});
        } else if (key == "class-file") {
            // CLASS:NAME:CONTENTS, a file for machines of that cpu class only.
            std::vector<std::string> f = splitOn(value, ':', 3);
            ok = f.size() == 3 && number(f[0], n) && n < 256;
            if (ok) recipe.files.push_back({f[1], 0100644, f[2], uint8_t(n)});
        } else if (key == "zeros") {
            std::vector<std::string> f = splitOn(value, ':');
            uint32_t size = 0;
            ok = f.size() == 2 && number(f[0], n) && number(f[1], size);
            for (uint32_t k = 0; ok && k < n; ++k)
                recipe.files.push_back(
                    {"bin/f" + std::to_string(k), 0100644, std::string(size, '\0')});
        } else if (key == "record") {
            std::vector<std::string> f = splitOn(value, ':', 5);
            uint32_t mode = 0, size = 0, nameLength = 0;
            ok = f.size() == 5 && (mode = uint32_t(std::strtoul(f[0].c_str(), nullptr, 8))) != 0 &&
                 (f[1].empty() || number(f[1], size)) && (f[2].empty() || number(f[2], nameLength));
            if (ok) {
                std::string& stream =
                    recipe.rawFilesStream.emplace(recipe.rawFilesStream.value_or(""));
                stream += le16(mode) + std::string(22, '\0') +
                          le32(f[1].empty() ? uint32_t(f[4].size()) : size) +
                          le16(f[2].empty() ? uint32_t(f[3].size()) : nameLength) + f[3] + f[4];
            }
        } else if (key == "sha256") {
            ok = yesNo(value, recipe.sha256);
        } else if (key == "unrecorded") {
            ok = yesNo(value, recipe.unrecorded);
        } else if (key == "signed") {
            ok = yesNo(value, signedPackage);
        } else if (key == "signature") {
            ok = yesNo(value, flag);
            recipe.withSignature = flag;
        } else if (key == "signature-length") {
            ok = lengthGiven = number(value, signatureLength);
        } else if (key == "signature-garbage") {
            ok = number(value, n);
            recipe.signatureOverride = std::string(n, '\x5a');
        } else if (key == "after-signature") {
            recipe.partsAfterSignature.emplace_back();
            ok = rawPart(value, recipe.partsAfterSignature.back());
        } else if (key == "raw") {
            isRaw = true;
            std::string bytes;
            for (const std::string& p : splitOn(value, '+'))
                if (!value.empty()) ok = ok && piece(p, blobs, bytes) && (raw += bytes, true);
        } else if (key == "files-length" || key == "insert" || key == "patch" ||
                   key == "size-field" || key == "magic" || key == "keep" || key == "cut") {
            damage.push_back(word);
        } else {
            ok = false;
        }
        if (!ok) {
            error = "bad package option \"" + word + "\"";
            return false;
        }
    }
    if (isRaw) {
        out = le32(PACKAGE_MAGIC) + le32(uint32_t(raw.size())) + raw;
    } else if (!haveName || !haveVersion) {
        error = "a package needs name= and version=";
        return false;
    } else if (isBundle) {
        out = qpk::buildBundle(bundle, members);
    } else if (lengthGiven) {
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
        std::vector<std::string> f = splitOn(value, ':', 2);
        long offset = std::atol(f[0].c_str());
        if (offset < 0) offset += long(out.size());
        uint32_t n = 0;
        std::string bytes;
        bool ok = offset >= 0 && size_t(offset) <= out.size();
        if (key == "files-length") {
            size_t at = 8;
            while (at + 6 <= out.size() && out[at] != 4)
                at += 6 + (uint8_t(out[at + 2]) | uint8_t(out[at + 3]) << 8 |
                           uint8_t(out[at + 4]) << 16 | uint32_t(uint8_t(out[at + 5])) << 24);
            ok = at + 6 <= out.size() && number(value, n);
            if (ok) out.replace(at + 2, 4, le32(n));
        } else if (key == "insert") {
            ok = ok && f.size() == 2 && piece(f[1], blobs, bytes);
            if (ok) out.insert(size_t(offset), bytes).replace(4, 4, le32(uint32_t(out.size() - 8)));
        } else if (key == "patch") {
            ok = ok && f.size() == 2 && offset + f[1].size() <= out.size();
            if (ok) out.replace(size_t(offset), f[1].size(), f[1]);
        } else if (key == "size-field" || key == "magic") {
            // "+N": N more than the true size.
            ok = number(value.substr(value[0] == '+'), n);
            if (value[0] == '+') n += uint32_t(out.size() - 8);
            out.replace(key == "magic" ? 0 : 4, 4, le32(n));
        } else {
            ok = number(value, n) && n <= out.size();
            if (ok) out.resize(key == "keep" ? n : out.size() - n);
        }
        if (!ok) {
            error = "bad package option \"" + word + "\"";
            return false;
        }
    }
    return true;
}

}  // namespace testpkg
