// Writes the seed corpora of the fuzz targets, made with the package
// builder: make_seeds OUTDIR creates OUTDIR/<target>/ with a few inputs each.
#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_inputs.h"
#include "qpk/lib/builder.h"
#include "qpk/lib/signer.h"
#include "resign.h"

namespace {

void put(const std::string& dir, const std::string& name, const std::string& bytes) {
    ::mkdir(dir.c_str(), 0755);
    std::string error;
    qpk::writeFile(dir + "/" + name, bytes, error);
}

std::vector<std::string> samplePackages() {
    const qpk::SigningKeys& keys = qpk::developmentKeys();
    qpk::PackageRecipe single;
    single.name = "tool";
    single.version = makeVersion(7, 1, 0x66, 0);
    single.buildTime = 1000;
    single.architecture = "i386";
    single.note = "sample";
    single.depends = {{"system", makeVersion(7, 0, 0x66, 0), 0, 0}};
    single.provides = {{"editor", 0, 0, 5}};
    single.conflicts = {{"oldtool", 0, makeVersion(6, 0, 0x66, 0), 0}};
    single.files = {{"bin/tool", 0100755, "#!/bin/sh\necho tool\n", 0},
                    {"/etc/tool.conf", 0100644, "a=1\n", 0},
                    {"lib/only-class-2", 0100644, "x", 2},
                    {"dir", 0040755, "", 0}};
    qpk::PackageRecipe sha = single;
    sha.name = "shatool";
    sha.sha256 = true;
    qpk::PackageRecipe member = single;
    member.name = "member";
    member.depends.clear();
    qpk::PackageRecipe second = member;
    second.name = "second";
    qpk::BundleRecipe bundle;
    bundle.name = "system";
    bundle.version = makeVersion(7, 1, 0x66, 0);
    bundle.buildTime = 1000;
    bundle.keepImagePayload = "payload";
    bundle.defaultDisabled = {{"second", 0, 0, 0}};
    // Records that extraction must refuse or keep inside /flash.
    qpk::PackageRecipe odd = member;
    odd.name = "odd";
    odd.files = {{"../../etc/escape", 0100644, "x", 0},
                 {"bin/link", 0120777, "/etc/passwd", 0},
                 {"dev/node", 0020644, "", 0},
                 {"bin/../../x", 0100644, "y", 0}};
    qpk::PackageRecipe older = single;
    older.version = makeVersion(7, 0, 0x66, 0);
    older.depends.clear();
    // A name with a blank, as the schedule keys allow ("foo bar+").
    qpk::PackageRecipe spaced = member;
    spaced.name = "foo bar+";
    std::string singleFile = qpk::buildPackage(single, keys);
    std::string bundleFile = qpk::buildBundle(
        bundle, {qpk::buildPackage(member, keys), qpk::buildPackage(second, keys)});
    return {singleFile,
            qpk::buildPackage(sha, keys),
            bundleFile,
            qpk::buildPackage(odd, keys),
            qpk::buildPackage(older, keys),
            qpk::buildPackage(spaced, keys)};
}

// Marks every signature part for re-signing (resign.h): the parts of a
// bundle's members lie back to back with the bundle's own.
std::string markedForResigning(std::string file) {
    size_t at = 8;
    while (at + 6 <= file.size()) {
        const unsigned type = uint8_t(file[at]) | unsigned(uint8_t(file[at + 1])) << 8;
        size_t length = 0;
        for (int i = 3; i >= 0; --i) length = length << 8 | uint8_t(file[at + 2 + size_t(i)]);
        at += 6;
        if (type == 9 && length > 0 && at < file.size()) file[at] = char(RESIGN_MARK);
        at += length;
    }
    return file;
}

// One file record of the database target and the normal-pass form:
// [selector][len lo][len hi][bytes].
std::string record(int selector, const std::string& bytes) {
    std::string out(1, char(selector));
    out += char(bytes.size() & 0xFF);
    out += char(bytes.size() >> 8);
    return out + bytes;
}

// A zlib stream of `text` at `level`.
std::string deflated(const std::string& text, int level) {
    uLongf n = compressBound(uLong(text.size()));
    std::string out(n, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(text.data()),
              uLong(text.size()), level);
    out.resize(n);
    return out;
}

// The inflater target: [piece][chunk] then a stream, whole, cut short,
// damaged, or with bytes after its end; and the package files.
void inflateSeeds(const std::string& dir, const std::vector<std::string>& packages) {
    std::string text;
    for (unsigned i = 0; text.size() < 200000; ++i)
        text += "line " + std::to_string(i * 2654435761u % 9973) + " of the sample text\n";
    int n = 0;
    auto seed = [&](char piece, char chunk, const std::string& stream) {
        put(dir, "seed" + std::to_string(n++), std::string{piece, chunk} + stream);
    };
    for (int level : {0, 1, 6, 9}) {
        std::string stream = deflated(text, level);
        seed(0, 0, stream);
        seed(7, 13, stream.substr(0, stream.size() / 2));
        std::string damaged = stream;
        damaged[damaged.size() / 3] ^= 0x55;
        seed(char(200), 1, damaged);
        seed(1, 0, stream + "tail");
    }
    seed(3, 5, deflated("", 6));
    for (const std::string& package : packages) seed(0, 0, package);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
        return 2;
    }
    std::string out = argv[1];
    ::mkdir(out.c_str(), 0755);
    std::vector<std::string> packages = samplePackages();
    for (size_t i = 0; i < packages.size(); ++i) {
        put(out + "/package_stream", "seed" + std::to_string(i), packages[i]);
        put(out + "/discovery", "seed" + std::to_string(i), packages[i]);
        put(out + "/qpk_package", "seed" + std::to_string(i), packages[i]);
        packages[i] = markedForResigning(packages[i]);
        put(out + "/package_stream", "resigned" + std::to_string(i), packages[i]);
    }
    // The normal pass (selectors index kTreeFiles), with the marked packages:
    // a fresh install of the bundle and a package; an upgrade over installed
    // records with a schedule; a downgrade from the download directory.
    const std::string tree(kTreeMagic, sizeof kTreeMagic);
    put(out + "/package_stream", "tree0", tree + record(0, packages[0]) + record(1, packages[2]));
    put(out + "/package_stream", "tree1",
        tree + record(0, packages[0]) + record(5, "117466624 900\n") +
            record(6, "system 117440512 0\n") + record(7, "editor 0 0 5\n") +
            record(9, "flash/bin/tool\netc/tool.conf\n") + record(20, "old") +
            record(12, "117466624 900\n") + record(13, "system\n") + record(14, "bin/m\n") +
            record(11, packages[2]) + record(15, "disable\n") + record(16, "uninstall\n"));
    put(out + "/package_stream", "tree2",
        tree + record(3, packages[4]) + record(5, "117532160 1000\n") + record(17, "0\n") +
            record(1, packages[3]) + record(19, ""));
    std::string db = record(0, "117532160 1000\n") + record(1, "system 117440512 0\n") +
                     record(2, "editor 0 0 -3\n") + record(5, "flash/bin/a\nbin/b\n") +
                     record(6, "auto\n") + record(8, packages[2]) + record(10, "disable now\n") +
                     record(12, "x\n") + record(13, "1 2\n");
    put(out + "/database", "seed0", db);
    // The package tool's queries: [layout] then the database's records (even)
    // or the normal pass's tree (odd).
    put(out + "/qpk_queries", "seed0", std::string(1, '\0') + db);
    put(out + "/qpk_queries", "seed1",
        std::string(1, '\1') + record(0, packages[0]) + record(1, packages[2]) +
            record(5, "117466624 900\n") + record(9, "flash/bin/tool\netc/tool.conf\n"));
    // Loaded for a commit (odd length) and for a cancel (even length).
    put(out + "/manifest_load", "seed0",
        "M /flash/a /ram/tmpAAAAAA\nU /flash/b\nL /flash/c /flash/a\nM /flash/d /ram/x y\n");
    put(out + "/manifest_load", "seed1",
        "U /flash/d\nM /flash/new/file /ram/tmpAAAAAA\nL /flash/link link text\n");
    put(out + "/legacy_signature", "seed0", std::string(80, '\x01'));
    inflateSeeds(out + "/inflate", samplePackages());
    return 0;
}
