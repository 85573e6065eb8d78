#include "fuzz_root.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "fs/rootfs.h"
#include "model/installer.h"
#include "txn/durability.h"
#include "txn/manifest.h"

// The harness prepares the scratch root from the host's side; the code under
// test reaches it only through the file layer.
namespace stdfs = std::filesystem;

namespace {

void removeRoot();

// Kept for the whole process (never destroyed) so that the exit handler can
// still name it.
const std::string& rootPath() {
    static const std::string* root = [] {
        // Below FUZZ_SCRATCH when set (scripts/fuzz removes it afterwards, so
        // that the roots of crashed runs go too), else on a memory file
        // system where there is one: every input rewrites the tree, and the
        // flushes of an apply cost nothing there.
        const char* scratch = std::getenv("FUZZ_SCRATCH");
        auto* path =
            new std::string(std::string(scratch ? scratch : "/dev/shm") + "/fuzzroot.XXXXXX");
        if (!::mkdtemp(path->data())) {
            *path = "/tmp/fuzzroot.XXXXXX";
            if (!::mkdtemp(path->data())) std::abort();
        }
        std::atexit(removeRoot);
        return path;
    }();
    return *root;
}

void removeRoot() {
    std::error_code ec;
    stdfs::remove_all(rootPath(), ec);
}

}  // namespace

void freshFuzzRoot(rootfs::Root& root, std::initializer_list<const char*> dirs) {
    std::error_code ec;
    for (const auto& entry : stdfs::directory_iterator(rootPath(), ec))
        stdfs::remove_all(entry.path(), ec);
    for (const char* d : dirs) stdfs::create_directories(rootPath() + d, ec);
    root.setDirectory(rootPath());
    // Only the scratch tree is flushed, never the whole machine.
    setDurabilityMode(DurabilityMode::FsyncEach);
}

void writeFuzzFile(const std::string& inside, const uint8_t* data, size_t size) {
    std::string path = rootPath() + inside;
    std::error_code ec;
    stdfs::create_directories(stdfs::path(path).parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
}

void writeFuzzRecords(const char* const files[], size_t count, const uint8_t* data, size_t size,
                      void (*adjust)(const std::string& file, std::string& bytes)) {
    size_t pos = 0;
    while (pos + 3 <= size) {
        const char* file = files[data[pos] % count];
        size_t length = size_t(data[pos + 1]) | size_t(data[pos + 2]) << 8;
        pos += 3;
        if (length > size - pos) length = size - pos;
        if (adjust) {
            std::string bytes(reinterpret_cast<const char*>(data + pos), length);
            adjust(file, bytes);
            writeFuzzFile(file, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        } else {
            writeFuzzFile(file, data + pos, length);
        }
        pos += length;
    }
}

namespace {

const char* const kSentinels[] = {"/etc/passwd", "/keep", "/flashx/keep"};
const char* const kTopLevel[] = {"flash", "ram", "rw", "tmp", "etc", "keep", "flashx"};
constexpr char kSentinelText[] = "root:x:0:0::/root:/bin/sh\n";

std::string hostRead(const std::string& inside) {
    std::ifstream in(rootPath() + inside, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

void plantSentinels() {
    for (const char* s : kSentinels)
        writeFuzzFile(s, reinterpret_cast<const uint8_t*>(kSentinelText), sizeof kSentinelText - 1);
}

void checkUntouched() {
    for (const char* s : kSentinels) {
        if (hostRead(s) == kSentinelText) continue;
        std::fprintf(stderr, "the installer changed %s\n", s);
        std::abort();
    }
    std::error_code ec;
    for (const auto& entry : stdfs::directory_iterator(rootPath(), ec)) {
        const std::string name = entry.path().filename();
        if (std::find(std::begin(kTopLevel), std::end(kTopLevel), name) != std::end(kTopLevel))
            continue;
        std::fprintf(stderr, "the installer made /%s\n", name.c_str());
        std::abort();
    }
}

std::string treeSnapshot() {
    std::vector<std::string> lines;
    std::error_code ec;
    for (auto it = stdfs::recursive_directory_iterator(rootPath(), ec);
         !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string inside = it->path().string().substr(rootPath().size());
        const stdfs::file_status st = it->symlink_status(ec);
        std::string line = inside + " " + std::to_string(int(st.type())) + " " +
                           std::to_string(int(st.permissions()));
        if (st.type() == stdfs::file_type::regular) line += " " + hostRead(inside);
        if (st.type() == stdfs::file_type::symlink)
            line += " -> " + stdfs::read_symlink(it->path(), ec).string();
        lines.push_back(std::move(line));
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
}

bool sameManifestFile(const FileManifest& a, const FileManifest& b) {
    auto kind = [](EntryKind k) { return k == EntryKind::StagedFile ? EntryKind::Move : k; };
    auto same = [&kind](const EntryTable::Item& x, const EntryTable::Item& y) {
        return x.target == y.target && kind(x.entry.kind) == kind(y.entry.kind) &&
               x.entry.source == y.entry.source;
    };
    return a.entries().size() == b.entries().size() &&
           std::equal(a.entries().begin(), a.entries().end(), b.entries().begin(), same);
}

std::FILE* fuzzSink() {
    // FUZZ_VERBOSE=1 keeps the messages, to see where a given input goes.
    static std::FILE* sink = std::getenv("FUZZ_VERBOSE") ? stdout : std::fopen("/dev/null", "w");
    return sink;
}
