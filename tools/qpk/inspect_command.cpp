// "qpk inspect": the parts, header fields, files and signature of a package
// file or bundle, read the way the installer reads them.
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>

#include "arguments.h"
#include "commands.h"
#include "fs/rootfs.h"
#include "json_output.h"
#include "pkgfile/inflate_stream.h"
#include "pkgfile/package_reader.h"
#include "pkgfile/signature_part.h"
#include "sign/crypto.h"
#include "sign/legacy.h"
#include "sign/signature.h"
#include "trust_keys.h"

namespace qpk {

namespace {

const char* const INSPECT_USAGE =
    "usage: qpk inspect [--json] FILE\n"
    "Lists the parts of a package file or bundle, each package's header fields\n"
    "and files, and whether its signature verifies against the keys built into\n"
    "the installer. Exit status 1 when the file is broken.\n";

const char* partName(uint32_t type) {
    switch (type) {
        case PART_PACKAGE_HEADER:
            return "package-header";
        case PART_TEXT2:
            return "text2";
        case PART_DEPENDS:
            return "depends";
        case PART_FILES:
            return "files";
        case PART_SIGNATURE:
            return "signature";
        case PART_ARCHITECTURE:
            return "architecture";
        case PART_CONFLICTS:
            return "conflicts";
        case PART_BUNDLE_HEADER:
            return "bundle-header";
        case PART_PROVIDES:
            return "provides";
        case PART_BUNDLE_MEMBERS:
            return "bundle-members";
        case PART_PAYLOAD:
            return "payload";
        case PART_NOTE:
            return "note";
        case PART_TEXT24:
            return "text24";
        case PART_SHA256:
            return "sha256";
        default:
            return "unknown";
    }
}

uint32_t le16(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8);
}
uint32_t le32(const unsigned char* p) {
    return le16(p) | (le16(p + 2) << 16);
}

// The container walk: every part with its offset, type and length. False
// when the file is not a package file at all.
bool listParts(const std::string& data, std::ostream& out, Json& doc, bool& broken,
               std::string& error) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    const uint32_t magic = data.size() >= 8 ? le32(bytes) : 0;
    if (magic != PACKAGE_MAGIC && magic != UNRECORDED_PACKAGE_MAGIC) {
        error = "not a package file";
        return false;
    }
    const char* kind = magic == PACKAGE_MAGIC ? "package file" : "unrecorded package file";
    out << kind << ", " << data.size() << " bytes\n";
    doc["kind"] = kind;
    doc["size"] = data.size();
    doc["length_field"] = le32(bytes + 4);
    if (uint64_t(le32(bytes + 4)) + 8 != data.size()) {
        out << "  length field " << le32(bytes + 4) << " does not match the file\n";
    }
    Json& parts = doc["parts"] = Json::array();
    out << "parts:\n";
    char line[160];
    size_t offset = 8;
    while (offset < data.size()) {
        if (data.size() - offset < 6) {
            out << "  offset " << offset << ": truncated part header\n";
            parts.push_back({{"offset", offset}, {"truncated_header", true}});
            broken = true;
            break;
        }
        const uint32_t type = le16(bytes + offset);
        const uint32_t length = le32(bytes + offset + 2);
        std::snprintf(line, sizeof line, "  offset %10zu  type %3u %-15s length %u", offset, type,
                      partName(type), length);
        out << line;
        const size_t available = data.size() - offset - 6;
        parts.push_back({{"offset", offset},
                         {"type", type},
                         {"name", partName(type)},
                         {"length", length},
                         {"truncated", length > available}});
        if (length > available) {
            out << " (truncated: " << available << " bytes)\n";
            broken = true;
            break;
        }
        out << "\n";
        offset += 6 + size_t(length);
    }
    return true;
}

std::string versionRange(const PackageRef& ref) {
    std::string text = ref.minVersion ? versionText(ref.minVersion) : "any";
    text += " .. ";
    text += ref.maxVersion ? versionText(ref.maxVersion) : "any";
    return text;
}

Json refsJson(const std::vector<PackageRef>& refs, bool withWeight) {
    Json list = Json::array();
    for (const PackageRef& ref : refs) {
        Json r;
        r["name"] = ref.name;
        r["min_version"] = ref.minVersion ? Json(versionText(ref.minVersion)) : Json();
        r["max_version"] = ref.maxVersion ? Json(versionText(ref.maxVersion)) : Json();
        if (withWeight) r["weight"] = ref.weight;
        list.push_back(std::move(r));
    }
    return list;
}

void printRefs(std::ostream& out, const char* label, const std::vector<PackageRef>& refs,
               bool withWeight) {
    for (const PackageRef& ref : refs) {
        out << "  " << label << ": " << ref.name << " " << versionRange(ref);
        if (withWeight) out << " weight " << ref.weight;
        out << "\n";
    }
}

Json headerJson(const Package& p, const char* role) {
    Json j;
    j["role"] = role;
    j["name"] = p.name;
    j["version"] = versionText(p.version);
    j["build_time"] = p.buildTime;
    j["flags"] = p.flags;
    j["boot_image"] = (p.flags & FLAG_BOOT_IMAGE) != 0;
    j["no_meta"] = (p.flags & FLAG_NO_META) != 0;
    j["architecture"] = p.architecture;
    j["text24"] = p.text24;
    j["text2"] = p.text2;
    j["note"] = p.note;
    j["depends"] = refsJson(p.depends, false);
    j["provides"] = refsJson(p.provides, true);
    j["conflicts"] = refsJson(p.conflicts, false);
    j["keeps_image"] = p.keepsImage != 0;
    return j;
}

void printHeader(std::ostream& out, const Package& p, const char* kind) {
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%08x", p.flags);
    out << kind << " " << p.name << " " << versionText(p.version) << "\n";
    out << "  build time: " << p.buildTime << " (" << utcTimeText(p.buildTime) << " UTC)\n";
    out << "  flags: " << flags;
    if (p.flags & FLAG_BOOT_IMAGE) out << " boot-image";
    if (p.flags & FLAG_NO_META) out << " no-meta";
    out << "\n";
    out << "  architecture: " << p.architecture << "\n";
    if (!p.text24.empty()) out << "  text24: " << p.text24 << "\n";
    if (!p.text2.empty()) out << "  text2: " << p.text2 << "\n";
    if (!p.note.empty()) out << "  note: " << p.note << "\n";
    printRefs(out, "depends", p.depends, false);
    printRefs(out, "provides", p.provides, true);
    printRefs(out, "conflicts", p.conflicts, false);
}

// The file records of the files part, inflated through the reader so that
// they are digested as the installer digests them. False when the stream
// ends inside a record's name or contents.
// A hostile stream inflates to a thousand times its size: past these the
// records are counted, not listed, so that the report stays in bounds.
constexpr size_t LISTED_RECORDS_MAX = 250000;
constexpr size_t LISTED_NAME_BYTES_MAX = 8 << 20;

bool listFiles(std::ostream& out, Json& package, PackageReader& reader) {
    // Every key first: adding a key may move the others.
    package["files_complete"] = false;
    package["files_not_listed"] = 0;
    Json& list = package["files"] = Json::array();
    size_t listedBytes = 0, unlisted = 0;
    auto finish = [&] {
        package["files_not_listed"] = unlisted;
        if (unlisted) out << "    (" << unlisted << " more file records not listed)\n";
    };
    InflateStreamBuffer inflater(reader.rdbuf());
    std::istream files(&inflater);
    char scratch[16384];
    char line[64];
    out << "  files:\n";
    for (;;) {
        unsigned char record[30];
        if (!files.read(reinterpret_cast<char*>(record), sizeof record)) {
            finish();
            if (files.gcount() != 0) out << "    (the stream ends inside a file record)\n";
            package["files_complete"] = inflater.complete();
            return true;
        }
        const uint32_t mode = le16(record);
        const uint32_t cpuClass = record[23];
        const uint32_t size = le32(record + 24);
        std::string name(le16(record + 28), '\0');
        if (!files.read(name.data(), std::streamsize(name.size()))) {
            finish();
            out << "    broken: the stream ends inside a file name\n";
            return false;
        }
        for (uint32_t left = size; left > 0;) {
            const size_t piece = std::min<size_t>(left, sizeof scratch);
            if (!files.read(scratch, std::streamsize(piece))) {
                finish();
                out << "    broken: the stream ends inside " << name << "\n";
                return false;
            }
            left -= uint32_t(piece);
        }
        listedBytes += name.size();
        if (list.size() >= LISTED_RECORDS_MAX || listedBytes > LISTED_NAME_BYTES_MAX) {
            ++unlisted;
            continue;
        }
        list.push_back({{"mode", mode}, {"cpu_class", cpuClass}, {"size", size}, {"name", name}});
        std::snprintf(line, sizeof line, "    %06o  cpu %3u  %10u  ", mode, cpuClass, size);
        out << line << name << "\n";
    }
}

// The installer's verdict (checkSignature at the package's trust level) and,
// from the payload bytes, which of the two forms verifies.
void reportSignature(std::ostream& out, Json& package, const Package& p, PackageReader& reader,
                     const std::string& data) {
    const uint32_t length = reader.partLength();
    const size_t at = size_t(reader.position());
    rootfs::Root host;  // the trust level of the machine it runs on, as the installer sees it
    const int level = trustLevel(host, p);
    const bool accepted = checkSignature(p, reader, level);
    const uint8_t* digest = reader.parts().digestSlot();
    const bool sha256 = reader.parts().sha256Active();

    const char* form = length >= 132  ? "long form (Ed25519 and legacy)"
                       : length >= 68 ? "legacy form"
                                      : "too short";
    out << "  signature: " << length << " bytes, " << form << "\n";
    out << "    digest: " << (sha256 ? "SHA-256 " : "SHA-1 ") << hexText(digest, sha256 ? 32 : 20)
        << "\n";
    bool ed25519Valid = false, legacyValid = false;
    if (length >= 68 && at + 68 <= data.size()) {
        const auto* sig = reinterpret_cast<const uint8_t*>(data.data() + at);
        if (length >= 132 && at + 132 <= data.size()) {
            const asn1::blob key{TRUST_ED25519_PUBLIC, TRUST_ED25519_PUBLIC + 32};
            ed25519Valid = eddsa::verify(key, {digest, digest + 32}, {sig + 68, sig + 132}) != 0;
            out << "    Ed25519: " << (ed25519Valid ? "valid" : "invalid") << "\n";
        }
        legacyValid = legacySignatureCheck(digest, sig + 20, sig + 36);
        out << "    legacy: " << (legacyValid ? "valid" : "invalid") << "\n";
    }
    Json& sj = package["signature"];
    sj["length"] = length;
    sj["digest_algorithm"] = sha256 ? "sha256" : "sha1";
    sj["digest"] = hexText(digest, sha256 ? 32 : 20);
    sj["ed25519_valid"] = ed25519Valid;
    sj["legacy_valid"] = legacyValid;
    sj["trust_level"] = level;
    sj["installer"] = !accepted ? "rejected" : ed25519Valid ? "ed25519" : "legacy";
    out << "    trust level: " << level
        << (level == 1 ? " (legacy form accepted unless /ram/SECURE exists)" : " (Ed25519 only)")
        << "\n";
    out << "    installer: "
        << (!accepted      ? "rejected"
            : ed25519Valid ? "accepted (Ed25519)"
                           : "accepted (legacy form, trust level 1 only)")
        << "\n";
}

}  // namespace

int inspectData(const std::string& data, bool json, std::ostream& output) {
    std::string error;
    bool broken = false;
    std::ostringstream out;
    Json doc;
    if (!listParts(data, out, doc, broken, error)) {
        if (!json) {
            reportError("inspect", error);
            return EXIT_FAILED;
        }
        doc["kind"] = nullptr;
        doc["error"] = error;
        doc["broken"] = true;
        printJson(doc, output);
        return EXIT_FAILED;
    }

    std::istringstream source(data);
    PackageReader reader(source, true, nullptr);
    reader.wanted = {PART_PACKAGE_HEADER, PART_BUNDLE_HEADER, PART_TEXT24,  PART_ARCHITECTURE,
                     PART_TEXT2,          PART_NOTE,          PART_DEPENDS, PART_PROVIDES,
                     PART_CONFLICTS,      PART_PAYLOAD,       PART_FILES,   PART_SIGNATURE,
                     PART_BUNDLE_MEMBERS};
    // Every key of the document before a reference into it is taken:
    // adding a key may move the others.
    doc["architecture"] = nullptr;
    Json& packages = doc["packages"] = Json::array();
    Json problems = Json::array();
    auto problem = [&](const std::string& text) {
        out << text << "\n";
        problems.push_back(text);
    };
    std::unique_ptr<Package> current;
    Json* currentJson = nullptr;
    bool inBundle = false, signatureSeen = true;
    auto endPackage = [&] {
        if (current && !signatureSeen) out << "  signature: none (the installer rejects it)\n";
    };
    int type = reader.nextPart();
    while (type != -1) {
        if (type == PART_PACKAGE_HEADER || type == PART_BUNDLE_HEADER) {
            endPackage();
            auto p = std::make_unique<Package>();
            if (!readPackageHeader(*p, reader)) {
                problem("broken: short or misplaced header");
                broken = true;
                break;
            }
            const bool member = inBundle && type == PART_PACKAGE_HEADER;
            inBundle = inBundle || type == PART_BUNDLE_HEADER;
            const char* role = type == PART_BUNDLE_HEADER ? "bundle"
                               : member                   ? "member"
                                                          : "package";
            printHeader(out, *p, role);
            packages.push_back(headerJson(*p, role));
            currentJson = &packages.back();
            (*currentJson)["signature"] = nullptr;
            if (p->keepsImage) out << "  keeps its file as the image\n";
            signatureSeen = type == PART_BUNDLE_HEADER;  // a bundle header is not signed
            current = std::move(p);
            type = reader.currentType();  // the header reader has moved on
            continue;
        }
        switch (type) {
            case PART_PAYLOAD:
                out << "  image payload: " << reader.partLength() << " bytes\n";
                if (currentJson) (*currentJson)["image_payload_bytes"] = reader.partLength();
                break;
            case PART_BUNDLE_MEMBERS: {
                std::vector<PackageRef> refs;
                if (!readRefList(reader, refs)) {
                    problem("broken: short member list");
                    broken = true;
                }
                printRefs(out, "installs disabled", refs, false);
                if (currentJson) (*currentJson)["installs_disabled"] = refsJson(refs, false);
                break;
            }
            case PART_FILES: {
                Json scratch;
                if (!listFiles(out, currentJson ? *currentJson : scratch, reader)) broken = true;
                break;
            }
            case PART_SIGNATURE:
                if (current) {
                    reportSignature(out, *currentJson, *current, reader, data);
                    signatureSeen = true;
                } else {
                    problem("signature part without a package header");
                }
                break;
            case PART_ARCHITECTURE: {
                // The part's length field may claim more than the file holds.
                std::string arch(std::min<size_t>(reader.partLength(), data.size()), '\0');
                reader.read(arch.data(), std::streamsize(arch.size()));
                arch.resize(size_t(reader.gcount()));
                out << "architecture: " << arch << "\n";
                doc["architecture"] = arch;
                break;
            }
            default:
                problem("part " + std::to_string(type) + " (" + partName(uint32_t(type)) +
                        ") out of place");
                break;
        }
        type = reader.nextPart();
    }
    endPackage();
    doc["problems"] = std::move(problems);
    doc["broken"] = broken;
    if (json)
        printJson(doc, output);
    else
        output << out.str();
    return broken ? EXIT_FAILED : EXIT_OK;
}

int inspectCommand(const std::vector<std::string>& argv) {
    const char* const NAME = "inspect";
    Arguments args(argv);
    std::string path;
    bool json = false;
    while (args.more()) {
        if (args.isSwitch("--help") || args.isSwitch("-h")) {
            std::cout << INSPECT_USAGE;
            return EXIT_OK;
        }
        if (args.isSwitch("--json")) {
            json = true;
            continue;
        }
        const std::string operand = args.operand();
        if (!args.error().empty()) break;
        if (!path.empty()) {
            reportError(NAME, "more than one file given");
            return EXIT_USAGE;
        }
        path = operand;
    }
    if (!args.error().empty() || path.empty()) {
        reportError(NAME, args.error().empty() ? "no file given" : args.error());
        return EXIT_USAGE;
    }
    std::string data, error;
    if (!readWholeFile(path, data, error)) {
        reportError(NAME, error);
        return EXIT_FAILED;
    }
    return inspectData(data, json, std::cout);
}

}  // namespace qpk
