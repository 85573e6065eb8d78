#include "package_verdict.h"

#include <sstream>

#include "fs/rootfs.h"
#include "model/version.h"
#include "pkgfile/inflate_stream.h"
#include "pkgfile/package_reader.h"
#include "pkgfile/signature_part.h"

namespace qpk {

namespace {

// The installer extracts the files part and calls the package broken when
// its stream does not reach a good end; the digest takes in every byte.
bool filesStreamComplete(PackageReader& reader) {
    InflateStreamBuffer inflater(reader.rdbuf());
    char scratch[16384];
    while (inflater.sgetn(scratch, sizeof scratch) > 0) {
    }
    return inflater.complete();
}

// One package from its header up to and through its signature. False when
// the walk cannot go on to a next member.
bool verifyOne(PackageReader& reader, rootfs::Root& host, const TrustKeySet& keys,
               SignedPackageVerdict& verdict) {
    Package package;
    if (!readPackageHeader(package, reader)) {
        verdict.reason = "broken header";
        return false;
    }
    verdict.name = package.name;
    verdict.version = versionText(package.version);
    verdict.trustLevel = trustLevel(host, package);
    while (reader.currentType() != PART_SIGNATURE) {
        const int type = reader.currentType();
        if (type == -1 || type == PART_PACKAGE_HEADER || type == PART_BUNDLE_HEADER) {
            verdict.reason = "no signature";
            return type != -1;
        }
        if (type == PART_FILES && !filesStreamComplete(reader)) {
            verdict.reason = "the files part is cut short or damaged";
            return false;
        }
        reader.nextPart();
    }
    verdict.form = checkSignatureForm(reader, verdict.trustLevel, keys);
    if (verdict.form == SignatureForm::None)
        verdict.reason = reader.partLength() < 132 && verdict.trustLevel == 2
                             ? "no Ed25519 signature, and the legacy form needs trust level 1"
                             : "the signature does not verify";
    reader.nextPart();
    return true;
}

const char* formName(SignatureForm form) {
    switch (form) {
        case SignatureForm::Ed25519:
            return "ed25519";
        case SignatureForm::Legacy:
            return "legacy";
        default:
            return nullptr;
    }
}

Json formJson(SignatureForm form) {
    const char* name = formName(form);
    return name ? Json(name) : Json(nullptr);
}

}  // namespace

Json verdictJson(const std::string& path, const PackageFileVerdict& verdict) {
    Json file;
    file["path"] = path;
    file["verdict"] = verdict.accepted ? "ok" : "rejected";
    file["form"] = formJson(verdict.form);
    file["reason"] = verdict.accepted ? Json(nullptr) : Json(verdict.reason);
    file["bundle"] = verdict.bundle;
    Json packages = Json::array();
    for (const SignedPackageVerdict& one : verdict.packages) {
        Json p;
        p["name"] = one.name;
        p["version"] = one.version;
        p["trust_level"] = one.trustLevel;
        p["form"] = formJson(one.form);
        p["reason"] = one.reason.empty() ? Json(nullptr) : Json(one.reason);
        packages.push_back(std::move(p));
    }
    file["packages"] = std::move(packages);
    return file;
}

PackageFileVerdict verifyPackageData(const std::string& data, rootfs::Root& host,
                                     const TrustKeySet& keys) {
    PackageFileVerdict result;
    std::istringstream source(data);
    PackageReader reader(source, true, nullptr);
    if (reader.magic() != PACKAGE_MAGIC && reader.magic() != UNRECORDED_PACKAGE_MAGIC) {
        result.reason = "not a package file";
        return result;
    }
    if (uint64_t(reader.fileLength()) != data.size()) {
        result.reason = "the length field does not match the file";
        return result;
    }
    reader.wanted = {PART_PACKAGE_HEADER, PART_BUNDLE_HEADER, PART_BUNDLE_MEMBERS,
                     PART_ARCHITECTURE,   PART_DEPENDS,       PART_PROVIDES,
                     PART_CONFLICTS,      PART_PAYLOAD,       PART_FILES,
                     PART_SIGNATURE};
    int type = reader.nextPart();
    if (type == PART_BUNDLE_HEADER) {
        // The bundle's own header is not signed; its members are.
        result.bundle = true;
        Package bundle;
        if (!readPackageHeader(bundle, reader)) {
            result.reason = "broken bundle header";
            return result;
        }
        while (reader.currentType() == PART_PAYLOAD || reader.currentType() == PART_BUNDLE_MEMBERS)
            reader.nextPart();
        type = reader.currentType();
    }
    while (type == PART_PACKAGE_HEADER) {
        result.packages.emplace_back();
        SignedPackageVerdict& one = result.packages.back();
        const bool goOn = verifyOne(reader, host, keys, one);
        if (!one.reason.empty() && result.reason.empty())
            result.reason = (result.bundle ? "member " + one.name + ": " : "") + one.reason;
        if (!goOn || !result.bundle) break;
        type = reader.currentType();
    }
    if (result.packages.empty() && result.reason.empty())
        result.reason = result.bundle ? "a bundle without members" : "no package header";
    if (!result.reason.empty()) return result;
    result.accepted = true;
    result.form = SignatureForm::Ed25519;
    for (const SignedPackageVerdict& one : result.packages)
        if (one.form == SignatureForm::Legacy) result.form = SignatureForm::Legacy;
    return result;
}

}  // namespace qpk
