#include "support/temp_root.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

// Tests set up and inspect the temporary root from the host's side; the code
// under test reaches it only through the file layer.
namespace stdfs = std::filesystem;

TempRoot::TempRoot() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/instroot.XXXXXX";
    char* made = ::mkdtemp(pattern.data());
    if (!made) std::abort();
    path_ = made;
    if (!layer_.setDirectory(path_)) std::abort();
}

TempRoot::~TempRoot() {
    std::error_code ec;
    stdfs::remove_all(path_, ec);
}

std::string TempRoot::host(const std::string& inside) const {
    if (inside.empty() || inside[0] != '/') return path_ + "/" + inside;
    return path_ + inside;
}

void TempRoot::write(const std::string& inside, const std::string& content, unsigned mode) const {
    std::string p = host(inside);
    stdfs::create_directories(stdfs::path(p).parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(content.data(), std::streamsize(content.size()));
    out.close();
    ::chmod(p.c_str(), mode);
}

std::string TempRoot::read(const std::string& inside) const {
    std::ifstream in(host(inside), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool TempRoot::exists(const std::string& inside) const {
    struct stat st;
    return ::lstat(host(inside).c_str(), &st) == 0;
}

void TempRoot::mkdirs(const std::string& inside) const {
    stdfs::create_directories(host(inside));
}

void TempRoot::symlink(const std::string& text, const std::string& inside) const {
    std::string p = host(inside);
    stdfs::create_directories(stdfs::path(p).parent_path());
    ::symlink(text.c_str(), p.c_str());
}
