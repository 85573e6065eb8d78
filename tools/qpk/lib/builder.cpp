#include "qpk/lib/builder.h"

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "pkgfile/package_reader.h"
#include "sign/crypto.h"

namespace qpk {

namespace {

constexpr size_t FILE_HEADER = 8;
constexpr size_t NAME_FIELD = 16;

void putLe16(std::string& out, uint16_t v) {
    out += char(v & 0xFF);
    out += char(v >> 8);
}

void putLe32(std::string& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out += char((v >> shift) & 0xFF);
}

// A name field: NUL-padded, cut at 16 bytes.
void putName(std::string& out, const std::string& name) {
    std::string field = name.substr(0, NAME_FIELD);
    field.resize(NAME_FIELD, '\0');
    out += field;
}

void putPartHeader(std::string& out, uint16_t type, uint32_t length) {
    putLe16(out, type);
    putLe32(out, length);
}

void putPart(std::string& out, uint16_t type, const std::string& payload) {
    putPartHeader(out, type, uint32_t(payload.size()));
    out += payload;
}

void putRawPart(std::string& out, const RawPart& part) {
    putPartHeader(out, part.type, part.declaredLength.value_or(uint32_t(part.payload.size())));
    out += part.payload;
}

std::string headerRecord(const std::string& name, Version version, uint32_t buildTime,
                         uint32_t flags, bool withFlagsWord) {
    std::string record;
    putName(record, name);
    putLe32(record, version);
    putLe32(record, buildTime);
    record.append(8, '\0');
    if (withFlagsWord) putLe32(record, flags);
    return record;
}

std::string refList(const std::vector<PackageRef>& refs) {
    std::string list;
    list.reserve(2 + refs.size() * 32);
    putLe16(list, uint16_t(refs.size()));
    for (const PackageRef& ref : refs) {
        putName(list, ref.name);
        putLe32(list, ref.minVersion);
        list.append(4, '\0');
        putLe32(list, ref.maxVersion);
        putLe32(list, uint32_t(ref.weight));
    }
    return list;
}

// Empty lists get no part at all.
void putRefListPart(std::string& out, uint16_t type, const std::vector<PackageRef>& refs) {
    if (!refs.empty()) putPart(out, type, refList(refs));
}

void putOptionalPart(std::string& out, uint16_t type, const std::optional<std::string>& text) {
    if (text) putPart(out, type, *text);
}

void putFileHeader(std::string& out, uint32_t magic) {
    putLe32(out, magic);
    putLe32(out, 0);  // size, patched by finishFile
}

void finishFile(std::string& out) {
    uint32_t size = uint32_t(out.size() - FILE_HEADER);
    for (int i = 0; i < 4; ++i) out[4 + i] = char((size >> (8 * i)) & 0xFF);
}

// The digest the installer's reader keeps for a package whose signed region
// (from its header part, or the SHA-256 part before it, through the
// signature part's header) is `region`, zero-padded to 32 bytes.
void runningDigest(const char* region, size_t size, bool sha256, uint8_t digest[32]) {
    std::memset(digest, 0, 32);
    if (sha256) {
        SHA256 sha;
        sha.update(region, size);
        sha.finish(digest);
    } else {
        SHA1 sha;
        sha.update(region, size);
        sha.finish(digest);
    }
}

}  // namespace

std::string buildPackage(const PackageRecipe& recipe, const SigningKeys& keys) {
    std::string files;
    if (recipe.withFilesPart)
        files =
            deflateBytes(recipe.rawFilesStream ? *recipe.rawFilesStream : fileRecords(recipe.files),
                         recipe.zlibLevel);
    files.resize(files.size() - std::min<size_t>(files.size(), recipe.filesStreamCut));

    std::string out;
    out.reserve(files.size() + 4096);
    putFileHeader(out, recipe.unrecorded ? UNRECORDED_PACKAGE_MAGIC : PACKAGE_MAGIC);
    // The part 25 header switches the reader to SHA-256, which then restarts
    // at the package header: the signed region begins there either way.
    if (recipe.sha256) putPart(out, PART_SHA256, std::string());
    size_t signedStart = out.size();
    putPart(out, PART_PACKAGE_HEADER,
            headerRecord(recipe.name, recipe.version, recipe.buildTime, recipe.flags,
                         recipe.withFlagsWord));
    putOptionalPart(out, PART_TEXT24, recipe.text24);
    putOptionalPart(out, PART_ARCHITECTURE, recipe.architecture);
    putOptionalPart(out, PART_TEXT2, recipe.text2);
    putOptionalPart(out, PART_NOTE, recipe.note);
    putRefListPart(out, PART_DEPENDS, recipe.depends);
    putRefListPart(out, PART_PROVIDES, recipe.provides);
    putRefListPart(out, PART_CONFLICTS, recipe.conflicts);
    putOptionalPart(out, PART_PAYLOAD, recipe.keepImagePayload);
    if (recipe.withFilesPart) putPart(out, PART_FILES, files);

    if (recipe.withSignature) {
        std::string signature;
        if (recipe.signatureOverride) {
            signature = *recipe.signatureOverride;
            putPartHeader(out, PART_SIGNATURE, uint32_t(signature.size()));
        } else {
            // The header's length field is signed too: the payload is 132
            // bytes with an Ed25519 key or none, 68 with a legacy key alone.
            uint32_t length = (keys.haveLegacy && !keys.haveEd25519) ? 68 : 132;
            putPartHeader(out, PART_SIGNATURE, length);
            uint8_t digest[32];
            runningDigest(out.data() + signedStart, out.size() - signedStart, recipe.sha256,
                          digest);
            std::string error;
            if (!signDigest(keys, digest, signature, error) || signature.size() != length) {
                std::cerr << "qpk: cannot sign " << recipe.name << ": " << error << "\n";
                return std::string();
            }
        }
        out += signature;
    }
    for (const RawPart& part : recipe.partsAfterSignature) putRawPart(out, part);
    finishFile(out);
    return out;
}

std::string buildBundle(const BundleRecipe& recipe, const std::vector<std::string>& memberFiles) {
    size_t total = 256;
    for (const std::string& member : memberFiles) total += member.size();
    std::string out;
    out.reserve(total);
    putFileHeader(out, PACKAGE_MAGIC);
    putPart(out, PART_BUNDLE_HEADER,
            headerRecord(recipe.name, recipe.version, recipe.buildTime, recipe.flags, true));
    putOptionalPart(out, PART_PAYLOAD, recipe.keepImagePayload);
    putRefListPart(out, PART_BUNDLE_MEMBERS, recipe.defaultDisabled);
    for (const std::string& member : memberFiles)
        if (member.size() > FILE_HEADER) out.append(member, FILE_HEADER, std::string::npos);
    putOptionalPart(out, PART_ARCHITECTURE, recipe.architecture);
    for (const RawPart& part : recipe.partsAfterMembers) putRawPart(out, part);
    finishFile(out);
    return out;
}

std::string fileRecords(const std::vector<FileEntry>& files) {
    size_t total = 0;
    for (const FileEntry& f : files) total += 30 + f.name.size() + f.contents.size();
    std::string out;
    out.reserve(total);
    for (const FileEntry& f : files) {
        putLe16(out, f.mode);
        out.append(21, '\0');  // offsets 2..22: not read by the installer
        out += char(f.cpuClass);
        putLe32(out, uint32_t(f.contents.size()));
        putLe16(out, uint16_t(f.name.size()));
        out += f.name;
        out += f.contents;
    }
    return out;
}

std::string deflateBytes(const std::string& data, int level) {
    z_stream zs{};
    if (deflateInit(&zs, level) != Z_OK) return std::string();
    std::string out;
    out.resize(deflateBound(&zs, uLong(data.size())));
    // Fed in pieces so that sizes beyond zlib's 32-bit counters work too.
    constexpr size_t PIECE = size_t(1) << 20;
    size_t fed = 0;
    int result = Z_OK;
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = 0;
    while (result != Z_STREAM_END) {
        if (zs.avail_in == 0 && fed < data.size()) {
            size_t piece = std::min(PIECE, data.size() - fed);
            zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + fed));
            zs.avail_in = uInt(piece);
            fed += piece;
        }
        size_t written = size_t(reinterpret_cast<char*>(zs.next_out) - out.data());
        if (written == out.size()) out.resize(out.size() + PIECE);
        zs.next_out = reinterpret_cast<Bytef*>(out.data() + written);
        zs.avail_out = uInt(std::min(PIECE, out.size() - written));
        result = deflate(&zs, fed == data.size() && zs.avail_in == 0 ? Z_FINISH : Z_NO_FLUSH);
        if (result == Z_STREAM_ERROR) {
            deflateEnd(&zs);
            return std::string();
        }
    }
    out.resize(size_t(reinterpret_cast<char*>(zs.next_out) - out.data()));
    deflateEnd(&zs);
    return out;
}

bool readTree(const std::string& dir, std::vector<FileEntry>& files, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<std::pair<std::string, fs::path>> found;
    fs::recursive_directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
        found.emplace_back(fs::relative(it->path(), dir, ec).generic_string(), it->path());
    }
    if (ec) {
        error = dir + ": " + ec.message();
        return false;
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [name, path] : found) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) {
            error = path.string() + ": " + std::strerror(errno);
            return false;
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            error = path.string() + ": " + std::strerror(errno);
            return false;
        }
        FileEntry entry;
        entry.name = name;
        entry.mode = uint16_t(S_IFREG | (st.st_mode & 07777));
        entry.contents.resize(size_t(st.st_size));
        in.read(entry.contents.data(), std::streamsize(entry.contents.size()));
        if (size_t(in.gcount()) != entry.contents.size()) {
            error = path.string() + ": short read";
            return false;
        }
        files.push_back(std::move(entry));
    }
    return true;
}

bool writeFile(const std::string& path, const std::string& bytes, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    out.write(bytes.data(), std::streamsize(bytes.size()));
    out.close();
    if (!out) {
        error = path + ": write failed";
        return false;
    }
    return true;
}

}  // namespace qpk
