// readPackageHeader and readRefList: the header part and the record parts
// that follow it, turned into a Package.
#include <cstring>

#include "pkgfile/little_endian.h"
#include "pkgfile/package_reader.h"

namespace {

constexpr size_t NAME_FIELD = 16;
constexpr size_t HEADER_RECORD = 32;
constexpr size_t REF_ENTRY = 32;
// Text parts are read as their bytes arrive, so a length field larger than
// the file cannot make the reader allocate it up front.
constexpr size_t TEXT_PIECE = 65536;
// No text of a package needs more; a longer part (up to 4 GiB from standard
// input) keeps its first bytes, and the next part skips the rest, still
// digested.
constexpr size_t TEXT_LIMIT = 65536;

std::string nameField(const unsigned char* p) {
    const char* text = reinterpret_cast<const char*>(p);
    return std::string(text, strnlen(text, NAME_FIELD));
}

// The payload of the current part, at most TEXT_LIMIT bytes of it; false
// when the file ends first.
bool readWholePart(PackageReader& reader, std::string& out) {
    out.clear();
    size_t left = reader.partLength() < TEXT_LIMIT ? reader.partLength() : TEXT_LIMIT;
    while (left > 0) {
        size_t piece = left < TEXT_PIECE ? left : TEXT_PIECE;
        size_t old = out.size();
        out.resize(old + piece);
        reader.read(out.data() + old, std::streamsize(piece));
        size_t got = size_t(reader.gcount());
        out.resize(old + got);
        if (got < piece) return false;
        left -= piece;
    }
    return true;
}

}  // namespace

bool readRefList(std::istream& in, std::vector<PackageRef>& out) {
    unsigned char count[2];
    if (!in.read(reinterpret_cast<char*>(count), sizeof count)) return false;
    for (unsigned n = readLe16(count); n > 0; --n) {
        unsigned char entry[REF_ENTRY];
        if (!in.read(reinterpret_cast<char*>(entry), sizeof entry)) return false;
        PackageRef ref;
        ref.name = nameField(entry);
        ref.minVersion = readLe32(entry + 16);
        ref.maxVersion = readLe32(entry + 24);
        ref.weight = int32_t(readLe32(entry + 28));
        out.push_back(std::move(ref));
    }
    return true;
}

bool readPackageHeader(Package& p, PackageReader& reader) {
    int type = reader.currentType();
    if (type != PART_PACKAGE_HEADER && type != PART_BUNDLE_HEADER) return false;
    p.isBundle = type == PART_BUNDLE_HEADER;

    unsigned char record[HEADER_RECORD];
    if (!reader.read(reinterpret_cast<char*>(record), sizeof record)) return false;
    p.name = nameField(record);
    p.version = readLe32(record + 16);
    p.buildTime = readLe32(record + 20);
    unsigned char flags[4];
    if (reader.read(reinterpret_cast<char*>(flags), sizeof flags)) {
        p.flags = readLe32(flags);
    } else {
        // A 32-byte header record carries no flags word.
        p.flags = 0;
        reader.clear();
    }

    type = reader.nextPart();
    if (type == PART_TEXT24) {
        if (!readWholePart(reader, p.text24)) return false;
        type = reader.nextPart();
    }
    if (type == PART_ARCHITECTURE) {
        if (!readWholePart(reader, p.architecture)) return false;
        type = reader.nextPart();
    } else {
        p.architecture = "i386";
    }
    if (type == PART_TEXT2) {
        if (!readWholePart(reader, p.text2)) return false;
        type = reader.nextPart();
    }
    if (type == PART_NOTE) {
        if (!readWholePart(reader, p.note)) return false;
        type = reader.nextPart();
    }
    if (type == PART_DEPENDS) {
        if (!readRefList(reader, p.depends)) return false;
        type = reader.nextPart();
    }
    if (type == PART_PROVIDES) {
        if (!readRefList(reader, p.provides)) return false;
        type = reader.nextPart();
    }
    if (type == PART_CONFLICTS) {
        if (!readRefList(reader, p.conflicts)) return false;
        type = reader.nextPart();
    }
    // The kept-image payload is left for the caller to pass over.
    if (type == PART_PAYLOAD) p.keepsImage = 1;
    return true;
}
