// A temporary root directory for tests, with a file layer root on it for the
// code under test; everything is removed afterwards.
#pragma once

#include <string>

#include "fs/rootfs.h"

class TempRoot {
  public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return path_; }
    // Host path of a path inside the root ("/flash/x" -> "<root>/flash/x").
    std::string host(const std::string& inside) const;

    // Helpers on paths inside the root (parents are created).
    void write(const std::string& inside, const std::string& content, unsigned mode = 0644) const;
    std::string read(const std::string& inside) const;
    bool exists(const std::string& inside) const;  // lstat
    void mkdirs(const std::string& inside) const;
    void symlink(const std::string& text, const std::string& inside) const;

    // What the code under test names its paths in.
    rootfs::Root& layer() { return layer_; }

  private:
    std::string path_;
    rootfs::Root layer_;
};
