// A small tmpfs mounted for one test, so that tests can have a second file
// system (cross-device moves, exact free-space counts). Mounting needs root;
// tests skip without it.
#pragma once

#include <sys/mount.h>
#include <sys/stat.h>

#include <string>

class TmpfsMount {
  public:
    TmpfsMount(const std::string& hostDir, const char* size) : dir_(hostDir) {
        ::mkdir(dir_.c_str(), 0755);
        std::string options = std::string("size=") + size;
        mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~TmpfsMount() {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    }
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    bool mounted() const { return mounted_; }

  private:
    std::string dir_;
    bool mounted_ = false;
};

#define SKIP_UNLESS_MOUNTED(m) \
    if (!(m).mounted()) GTEST_SKIP() << "needs root to mount a tmpfs for a second file system"
