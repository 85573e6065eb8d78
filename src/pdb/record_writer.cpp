#include <algorithm>
#include <cerrno>
#include <string_view>

#include "output/messages.h"
#include "pdb/database.h"
#include "pdb/text_scanner.h"
#include "txn/manifest.h"

namespace {

void appendNumber(std::string& text, uint64_t value) {
    text += std::to_string(value);
}

std::string versionContent(const Package& p) {
    std::string text;
    appendNumber(text, p.version);
    text += ' ';
    appendNumber(text, p.buildTime);
    text += '\n';
    return text;
}

std::string refListContent(const std::vector<PackageRef>& refs, bool withWeight) {
    std::string text;
    for (const PackageRef& ref : refs) {
        text += ref.name;
        text += ' ';
        appendNumber(text, ref.minVersion);
        text += ' ';
        appendNumber(text, ref.maxVersion);
        if (withWeight) {
            text += ' ';
            text += std::to_string(ref.weight);
        }
        text += '\n';
    }
    return text;
}

// Entries are stored without their first "/". The list of a large package
// goes out entry by entry through the stream's buffer, never whole in memory.
void writeFileList(std::ostream& out, const PathSet& files) {
    for (std::string_view entry : files) {
        std::string_view stored = entry;
        if (stored.starts_with('/')) stored.remove_prefix(1);
        if (stored.empty()) continue;
        out.write(stored.data(), std::streamsize(stored.size()));
        out.put('\n');
    }
}

// Names the list files can hold: the reader splits at white space, so an
// empty name or one with a blank would read back as another entry or not at
// all, and the next start-up would take the package for damaged and remove it.
bool recordableRefs(const std::vector<PackageRef>& refs) {
    return std::all_of(refs.begin(), refs.end(), [](const PackageRef& ref) {
        return !ref.name.empty() && std::none_of(ref.name.begin(), ref.name.end(), [](char c) {
            return isBlank(static_cast<unsigned char>(c));
        });
    });
}

// Stages one meta file whose content `fill` writes. On failure the package's
// create failure is reported (with the error of the failed write) and false
// returned.
template <typename Fill>
bool stageMetaFileWith(Installer& installer, InstalledPackage& package, FileManifest& manifest,
                       const std::string& path, uint64_t sizeHint, const char* label, Fill fill) {
    std::unique_ptr<OutFile> out = manifest.createStaged(path, sizeHint, 0);
    if (!out) {
        reportCreateFailure(installer, package, label);
        return false;
    }
    fill(*out);
    out->flush();
    bool written = bool(*out) && out->close();
    if (!written) {
        if (out->fdbuf()->failed() && out->fdbuf()->lastError() != 0)
            errno = out->fdbuf()->lastError();
        reportCreateFailure(installer, package, label);
        return false;
    }
    return true;
}

bool stageMetaFile(Installer& installer, InstalledPackage& package, FileManifest& manifest,
                   const std::string& path, uint64_t sizeHint, const char* label,
                   const std::string& content) {
    return stageMetaFileWith(
        installer, package, manifest, path, sizeHint, label,
        [&](std::ostream& out) { out.write(content.data(), std::streamsize(content.size())); });
}

}  // namespace

bool PackageDatabase::stageStateFile(FileManifest& manifest, const std::string& path,
                                     const char* text) {
    if (!text) {
        manifest.stageRemove(path);
        return true;
    }
    std::string content = text;
    content += '\n';
    std::unique_ptr<OutFile> out = manifest.createStaged(path, 8, 0);
    if (!out->is_open()) return false;  // errno of the failed create
    out->write(content.data(), std::streamsize(content.size()));
    if (out->close()) return true;
    if (out->fdbuf()->lastError() != 0) errno = out->fdbuf()->lastError();
    return false;
}

bool PackageDatabase::writeRecord(Installer& installer, InstalledPackage& package,
                                  FileManifest& manifest) {
    const std::string dir = recordDir(package);
    if (!package.keepsImage && !(package.flags & FLAG_NO_META)) {
        // A stand-alone package is loaded from these files alone (a bundle
        // member from its bundle's image).
        if (package.bundleRef.name.empty() &&
            !(recordableRefs(package.depends) && recordableRefs(package.provides) &&
              recordableRefs(package.conflicts))) {
            reportBrokenPackage(installer, package);
            return false;
        }
        if (!stageMetaFile(installer, package, manifest, dir + "version", 32, "meta/version",
                           versionContent(package)))
            return false;
        if (!stageMetaFile(installer, package, manifest, dir + "deps", 1024, "meta/deps",
                           refListContent(package.depends, false)))
            return false;
        // A replacement keeps the record directory, so an empty list must
        // also take away the list of the version it replaces.
        if (package.provides.empty()) {
            manifest.stageRemove(dir + "provides");
        } else if (!stageMetaFile(installer, package, manifest, dir + "provides", 1024,
                                  "meta/provides", refListContent(package.provides, true))) {
            return false;
        }
        if (package.conflicts.empty()) {
            manifest.stageRemove(dir + "conflicts");
        } else if (!stageMetaFile(installer, package, manifest, dir + "conflicts", 1024,
                                  "meta/conflicts", refListContent(package.conflicts, false))) {
            return false;
        }
        if (package.bundleRef.name.empty()) {
            manifest.stageRemove(dir + "bundle");
        } else if (!stageMetaFile(installer, package, manifest, dir + "bundle", 16, "meta/bundle",
                                  package.bundleRef.name + "\n")) {
            return false;
        }
        // Likewise a bundle must not keep the file list of a package it replaces:
        // the loader tells bundles by the missing list.
        if (package.isBundle) {
            manifest.stageRemove(dir + "files");
        } else if (!stageMetaFileWith(
                       installer, package, manifest, dir + "files", 4096, "meta/files",
                       [&](std::ostream& out) { writeFileList(out, package.files); })) {
            return false;
        }
    }
    // A record read from its image has no file list of its own; one left by
    // a package it replaces would have its next upgrade or uninstall remove
    // files that are not its own.
    if (package.keepsImage) manifest.stageRemove(dir + "files");
    // An empty or cut "disabled" would read back as the user's choice: the
    // install fails instead, and the caller cancels what was staged.
    if (!stageStateFile(manifest, dir + "disabled",
                        package.disabled ? (package.userState ? "user" : "auto") : nullptr)) {
        reportCreateFailure(installer, package, "disabled");
        return false;
    }
    if (!stageStateFile(manifest, dir + "enabled",
                        !package.disabled && package.userState ? "user" : nullptr)) {
        reportCreateFailure(installer, package, "enabled");
        return false;
    }
    return true;
}
