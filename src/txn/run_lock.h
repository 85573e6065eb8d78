// One installer at a time on a root. Every run that changes files holds an
// exclusive lock on one file in /ram from before it reads the database until
// it ends; the kernel lets go of it when the process ends, however it ends.
#pragma once

#include <string>

#include "fs/rootfs.h"

constexpr const char* RUN_LOCK = "/ram/installer.lock";
// How long a second run waits for the first before it gives up.
constexpr unsigned RUN_LOCK_WAIT_SECONDS = 120;

class RunLock {
  public:
    explicit RunLock(rootfs::Root& root) : root_(root) {}
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    // Takes the lock, waiting for another run to let go of it. False when it
    // cannot: errno is EWOULDBLOCK when another run still held it at the
    // end of the wait.
    bool acquire();
    // The same for a run that must not create the lock file (a plan that
    // leaves the root as it found it): where there is none, no installer
    // has run since the root's /ram was made, and true is returned at once.
    bool acquireIfPresent();
    // The lock file: RUN_LOCK, or the same name in /tmp where there is no
    // /ram.
    const std::string& path() const { return path_; }
    unsigned waitSeconds() const { return wait_; }

  private:
    bool take(int createFlag);

    rootfs::Root& root_;
    std::string path_ = RUN_LOCK;
    unsigned wait_ = 0;
    int fd_ = -1;
};
