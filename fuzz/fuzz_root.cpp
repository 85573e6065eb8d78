#include "fuzz_root.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "model/installer.h"
#include "txn/rootfs.h"

// The harness prepares the scratch root from the host's side; the code under
// test reaches it only through the file layer.
namespace stdfs = std::filesystem;

namespace {

const std::string& rootPath() {
    static const std::string root = [] {
        std::string pattern = "/tmp/fuzzroot.XXXXXX";
        if (!::mkdtemp(pattern.data())) std::abort();
        return pattern;
    }();
    return root;
}

}  // namespace

void freshFuzzRoot(std::initializer_list<const char*> dirs) {
    std::error_code ec;
    for (const auto& entry : stdfs::directory_iterator(rootPath(), ec))
        stdfs::remove_all(entry.path(), ec);
    for (const char* d : dirs) stdfs::create_directories(rootPath() + d, ec);
    rootfs::setRoot(rootPath());
}

void writeFuzzFile(const std::string& inside, const uint8_t* data, size_t size) {
    std::string path = rootPath() + inside;
    std::error_code ec;
    stdfs::create_directories(stdfs::path(path).parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
}

void quietInstaller() {
    static std::FILE* sink = std::fopen("/dev/null", "w");
    Installer& installer = Installer::instance();
    installer.reset();
    installer.out = sink;
}
