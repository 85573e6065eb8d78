// A path as a directory descriptor plus a last name, for the *at calls that
// change things: below /flash the directory is the checked parent (see
// flash_guard.h), inside a Batch a kept one when it can be.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <string>

namespace rootfs {
class Root;
}

namespace rootfs::detail {

class AtPath {
  public:
    // Trailing slashes are dropped, so "/flash/var/pdb/x/" names "x".
    AtPath(Root& root, const std::string& path);
    ~AtPath();
    AtPath(const AtPath&) = delete;
    AtPath& operator=(const AtPath&) = delete;

    bool ok() const { return ok_; }  // errno set when not
    int dir() const { return dir_; }
    const char* name() const { return name_.c_str(); }

  private:
    int dir_ = AT_FDCWD;
    bool owned_ = false;
    bool ok_ = false;
    std::string name_;
};

// An open that may change the file: below /flash it goes through the checked
// parent and never follows a link at the last component.
int openForChange(Root& root, const std::string& path, int flags, mode_t mode);

}  // namespace rootfs::detail
