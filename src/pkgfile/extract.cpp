#include "pkgfile/extract.h"

#include <cerrno>
#include <istream>

#include "fs/rootfs.h"
#include "output/messages.h"
#include "pkgfile/inflate_stream.h"
#include "pkgfile/little_endian.h"
#include "pkgfile/names.h"
#include "pkgfile/package_reader.h"
#include "txn/manifest.h"

namespace {

constexpr size_t RECORD_SIZE = 30;
constexpr size_t COPY_PIECE = 16384;
constexpr uint16_t TYPE_MASK = 0xF000;
constexpr uint16_t TYPE_REGULAR = 0x8000;

struct FileRecord {
    uint16_t mode;
    uint8_t cpuClass;
    uint32_t size;
    uint16_t nameLength;
};

FileRecord parseRecord(const unsigned char* p) {
    return FileRecord{readLe16(p), p[23], readLe32(p + 24), readLe16(p + 28)};
}

// The path below /flash: "/x/<package>" for a disabled package, then the
// stored name with a "/" in front unless it has one.
std::string flashPath(const InstalledPackage& package, const std::string& name) {
    std::string path;
    if (package.disabled) path += "/x/" + package.name;
    if (name.empty() || name[0] != '/') path += '/';
    path += name;
    return path;
}

// Reports a failed write or close with the errno of the failing call.
void reportFileError(Installer& installer, const InstalledPackage& package, const std::string& name,
                     OutFile& out) {
    if (out.fdbuf()->lastError() != 0) errno = out.fdbuf()->lastError();
    reportCreateFailure(installer, package, name);
}

}  // namespace

bool extractFiles(Installer& installer, InstalledPackage& package, FileManifest& manifest,
                  PackageReader& reader) {
    // The staged files of a package mostly share a few directories.
    rootfs::Batch batch(installer.root);
    InflateStreamBuffer inflater(reader.rdbuf());
    std::istream in(&inflater);
    int machineClass = -1;  // derived on the first record that asks for one
    char buffer[COPY_PIECE];
    OutFile out;  // one stream for every file, set up once

    while (in.good()) {
        unsigned char raw[RECORD_SIZE];
        if (!in.read(reinterpret_cast<char*>(raw), sizeof raw)) break;
        FileRecord record = parseRecord(raw);
        std::string name(record.nameLength, '\0');
        if (!in.read(name.data(), std::streamsize(name.size()))) {
            reportBrokenPackage(installer, package);
            return false;
        }
        bool wanted = (record.mode & TYPE_MASK) == TYPE_REGULAR;
        if (wanted && record.cpuClass != 0) {
            if (machineClass < 0) machineClass = machineCpuClass(installer.root);
            wanted = machineClass != 0 && machineClass == record.cpuClass;
        }
        if (!wanted) {
            // Skipped contents are still inflated, and so digested.
            if (!in.seekg(std::streamoff(record.size), std::ios::cur)) {
                reportBrokenPackage(installer, package);
                return false;
            }
            continue;
        }

        // A name that climbs out of /flash (or names no file) makes the
        // package broken before anything of it is staged.
        const std::string below = flashPath(package, name);
        if (!isSafeFlashPath(below)) {
            reportBrokenPackage(installer, package);
            return false;
        }
        std::string target = "/flash" + below;
        if (!manifest.createStaged(out, target, record.size, record.mode)) {
            reportCreateFailure(installer, package, name);
            return false;
        }
        // Entries keep the whole target path ("/flash/bin/x"); the database
        // stores it without the first "/" and reads it back in this form.
        // The list shares the manifest's copy of the path.
        if (const char* copy = manifest.entries().storedTarget(target))
            package.files.insertShared(manifest.entries().arena(), copy);
        else
            package.files.insert(target);

        for (uint32_t left = record.size; left > 0;) {
            size_t piece = left < COPY_PIECE ? left : COPY_PIECE;
            if (!in.read(buffer, std::streamsize(piece))) {
                reportBrokenPackage(installer, package);
                return false;
            }
            if (!out.write(buffer, std::streamsize(piece))) {
                reportFileError(installer, package, name, out);
                return false;
            }
            left -= uint32_t(piece);
        }
        if (!out.close()) {
            reportFileError(installer, package, name, out);
            return false;
        }
        showInstallProgress(installer, package, reader.position(), reader.fileLength());
    }
    // The records are over. A stream that was cut short or damaged may end
    // between two records as well; its signature could still hold (it was
    // made that way), and the package would go in with files missing.
    if (!inflater.complete()) {
        reportBrokenPackage(installer, package);
        return false;
    }
    return true;
}
