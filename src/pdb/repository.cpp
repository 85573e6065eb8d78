#include <memory>
#include <unordered_set>

#include "fs/fd_stream.h"
#include "fs/rootfs.h"
#include "pdb/database.h"
#include "pdb/record_contents.h"
#include "pdb/record_files.h"
#include "pkgfile/package_reader.h"

namespace {

// Longer than any action name, so a cut word never matches one.
constexpr size_t MAX_ACTION_LENGTH = 32;

bool isHidden(const std::string& name) {
    return name.empty() || name[0] == '.';
}

// A record joins the list with its state read: its names do not change
// once it is listed.
void appendWithState(Installer& installer, std::unique_ptr<InstalledPackage> record,
                     const RecordSources& sources) {
    PackageDatabase::readRecordState(installer.root, *record, sources);
    installer.append(std::move(record));
}

// Reads the package image at `imagePath` into records appended to the list:
// a single package, or a bundle's members followed by the bundle.
void loadImage(Installer& installer, const std::string& entry, const std::string& imagePath,
               const RecordSources& sources) {
    InFile image(installer.root, imagePath);
    if (!image.is_open()) return;
    auto record = std::make_unique<InstalledPackage>(entry);
    PackageReader reader(image, false, nullptr);
    reader.wanted = {PART_BUNDLE_HEADER, PART_PACKAGE_HEADER, PART_TEXT24,   PART_NOTE,
                     PART_DEPENDS,       PART_PROVIDES,       PART_CONFLICTS};
    if (reader.nextPart() != PART_BUNDLE_HEADER) {
        readPackageHeader(*record, reader);
        appendWithState(installer, std::move(record), sources);
        return;
    }
    readPackageHeader(*record, reader);
    PackageRef bundle;
    bundle.name = record->name;
    bundle.minVersion = record->version;
    bundle.maxVersion = record->version;
    while (reader.currentType() == PART_PACKAGE_HEADER) {
        auto member = std::make_unique<InstalledPackage>();
        // A member header too short to read leaves the reader where it was;
        // the members end there.
        if (!readPackageHeader(*member, reader) && reader.currentType() == PART_PACKAGE_HEADER)
            break;
        member->bundleRef = bundle;
        record->memberNames.push_back(member->name);
        appendWithState(installer, std::move(member), sources);
    }
    appendWithState(installer, std::move(record), sources);
}

void loadImagesFrom(Installer& installer, const std::vector<std::string>& entries,
                    const DirectoryNames& secondImages, const RecordSources& sources) {
    for (const std::string& entry : entries) {
        if (isHidden(entry) || !(sources.contents.of(entry) & RECORD_IMAGE)) continue;
        loadImage(installer, entry, std::string(DATABASE_ROOT) + entry + "/image", sources);
    }
    for (const std::string& entry : entries) {
        if (isHidden(entry) || !secondImages.mayHave(entry)) continue;
        loadImage(installer, entry, SECOND_IMAGE_DIR + entry, sources);
    }
}

}  // namespace

void PackageDatabase::open(Installer& installer, bool quiet, const std::string& arch,
                           bool withFileLists) {
    installer.console.quiet = quiet;
    installer.arch = arch;

    // One listing of the database root drives all passes.
    const DirectoryNames databaseRoot(installer.root, DATABASE_ROOT);
    if (!databaseRoot.opened()) {
        installer.warning("could not open repo");
        return;
    }
    const std::vector<std::string>& entries = databaseRoot.names();
    const RecordContents contents(installer.root, databaseRoot);
    const DirectoryNames schedules(installer.root, SCHEDULE_ROOT);
    const RecordSources sources{contents, schedules, withFileLists};
    loadImagesFrom(installer, entries, DirectoryNames(installer.root, SECOND_IMAGE_DIR), sources);

    // Directories that no image named are records of meta files alone.
    std::unordered_set<std::string> named;
    for (const auto& record : installer.packages()) named.insert(record->name);
    for (const std::string& entry : entries) {
        if (isHidden(entry) || !named.insert(entry).second) continue;
        appendWithState(installer, std::make_unique<InstalledPackage>(entry), sources);
    }
}

void PackageDatabase::readRecordState(rootfs::Root& root, InstalledPackage& record,
                                      const RecordSources& sources) {
    const std::string dir = recordDir(record);
    const uint16_t present = sources.contents.of(record.name);
    auto has = [present](uint16_t file) { return (present & file) != 0; };
    if (record.version == 0) {
        if (!has(RECORD_VERSION) ||
            !readVersionFile(root, dir + "version", record.version, record.buildTime))
            record.scheduledAction = ACTION_UNINSTALL;
        // A list that is not there is an empty one.
        if (has(RECORD_DEPS) && !readRefFile(root, dir + "deps", record.depends, false))
            record.scheduledAction = ACTION_UNINSTALL;
        if (has(RECORD_PROVIDES) && !readRefFile(root, dir + "provides", record.provides, true))
            record.scheduledAction = ACTION_UNINSTALL;
        if (has(RECORD_CONFLICTS) && !readRefFile(root, dir + "conflicts", record.conflicts, false))
            record.scheduledAction = ACTION_UNINSTALL;
        // A bundle member without its bundle's image cannot stay.
        std::string bundle;
        if (has(RECORD_BUNDLE) && readFirstWord(root, dir + "bundle", bundle, MAX_NAME_LENGTH)) {
            record.bundleRef.name = bundle;
            record.bundleRef.minVersion = 0;
            record.bundleRef.maxVersion = 0;
            record.scheduledAction = ACTION_UNINSTALL;
        }
        // Whether the list is there tells a bundle's record from a package's,
        // also when its entries are not wanted.
        const std::string list = dir + "files";
        const bool listed =
            has(RECORD_FILES) &&
            (sources.withFileLists ? readFileList(root, list, record.files) : canOpen(root, list));
        if (!listed) record.isBundle = 1;
    } else if (!record.bundleRef.name.empty() && has(RECORD_FILES) && sources.withFileLists) {
        // A bundle member read from its bundle's image still has its file
        // list here; without it an uninstall or replacement would leave the
        // member's files behind. A record that keeps its own image has no
        // list: one left there by a package it replaced is not its own.
        readFileList(root, dir + "files", record.files);
    }

    record.userState = 0;
    std::string line;
    bool exact = false;
    if (has(RECORD_DISABLED) &&
        readFirstLine(root, dir + "disabled", line, MAX_ACTION_LENGTH, exact)) {
        record.disabled = 1;
        record.userState = !(exact && line == "auto");
    } else {
        record.disabled = 0;
    }
    if (!record.disabled && has(RECORD_ENABLED) && canOpen(root, dir + "enabled"))
        record.userState = 1;

    if (isPlaceholder(record)) return;
    const std::string key = scheduleKey(record.name);
    std::string word;
    // The empty key's file, "/ram/pdb//schedule", lies in the root itself.
    if (!sources.schedules.mayHave(key.empty() ? "schedule" : key) ||
        !readFirstWord(root, SCHEDULE_ROOT + key + "/schedule", word, MAX_ACTION_LENGTH))
        return;
    if (word == "uninstall") {
        record.scheduledAction = ACTION_UNINSTALL;
    } else if (word == "enable") {
        record.scheduledAction = ACTION_ENABLE;
        record.userState = 1;
    } else if (word == "disable") {
        record.scheduledAction = ACTION_DISABLE;
        record.userState = 1;
    }
}
