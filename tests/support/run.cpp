#include "support/run.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

namespace stdfs = std::filesystem;

// What a chroot run binds inside the root from the host, so that the real
// binary can run there: its programs and libraries, the library cache, and
// /proc (a sanitizer build reads its own maps at start).
std::vector<std::string> chrootMounts(const std::string& program) {
    const std::string dir = program.substr(0, program.rfind('/'));
    return {"/usr", "/lib", "/lib64", "/bin", "/proc", dir, "/etc/ld.so.cache"};
}

// In a private mount namespace, so that the mounts vanish with the child;
// links are copied. False on any failure.
bool prepareChroot(const std::string& root, const std::string& program) {
    if (::unshare(CLONE_NEWNS) != 0) return false;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    for (const std::string& path : chrootMounts(program)) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) continue;
        const std::string inside = root + path;
        std::error_code ec;
        stdfs::create_directories(stdfs::path(inside).parent_path(), ec);
        if (S_ISLNK(st.st_mode)) {
            stdfs::copy_symlink(path, inside, ec);
            continue;
        }
        if (S_ISDIR(st.st_mode))
            stdfs::create_directory(inside, ec);
        else
            ::close(::open(inside.c_str(), O_CREAT | O_WRONLY, 0644));
        if (::mount(path.c_str(), inside.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return false;
    }
    return true;
}

// The shallowest part of each mount point that a chroot run into `root`
// will make (none without a root).
std::vector<std::string> madeByChroot(const std::string& root, const std::string& program) {
    std::vector<std::string> made;
    if (root.empty()) return made;
    for (const std::string& path : chrootMounts(program))
        for (size_t end = 0; end != std::string::npos;) {
            end = path.find('/', end + 1);
            struct stat st;
            if (::lstat((root + path.substr(0, end)).c_str(), &st) != 0) {
                made.push_back(root + path.substr(0, end));
                break;
            }
        }
    return made;
}

// What a chroot run leaves at `path` once its mounts are gone: empty
// directories, links and the empty library cache file. Nothing that holds
// data is removed.
void prune(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        std::error_code ec;
        for (const auto& entry : stdfs::directory_iterator(path, ec)) prune(entry.path().string());
        ::rmdir(path.c_str());
    } else if (S_ISLNK(st.st_mode) || (S_ISREG(st.st_mode) && st.st_size == 0)) {
        ::unlink(path.c_str());
    }
}

// Everything written to `fd` (a memory file the child wrote through).
std::string contents(int fd) {
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = ::pread(fd, buffer, sizeof buffer, off_t(out.size()))) > 0;)
        out.append(buffer, size_t(n));
    ::close(fd);
    return out;
}

}  // namespace

StartedProgram startProgram(const std::string& program, const std::vector<std::string>& args,
                            const RunOptionsForTest& options) {
    StartedProgram started;
    const std::string& root = options.chrootDir;
    started.made = madeByChroot(root, program);
    // The output goes to memory files, read once the child is gone; standard
    // input is a pipe, fed by a second child, as a router's would be.
    const int out = ::memfd_create("stdout", 0), err = ::memfd_create("stderr", 0);
    int in[2];
    if (out < 0 || err < 0 || ::pipe(in) != 0) return started;
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int input =
            options.stdinFromFile ? ::open(options.stdinData.c_str(), O_RDONLY) : in[0];
        if (::dup2(input, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) _exit(126);
        for (int fd : {out, err, in[0], in[1]}) ::close(fd);
        if (!root.empty() &&
            (!prepareChroot(root, program) || ::chroot(root.c_str()) != 0 || ::chdir("/") != 0))
            _exit(126);
        if (options.runAsUser >= 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(gid_t(options.runAsUser)) != 0 ||
             ::setuid(uid_t(options.runAsUser)) != 0))
            _exit(126);
        // A sanitizer build's leak check needs /proc, which the programs do
        // not have once they have entered a test root.
        std::vector<std::string> env = {"PATH=/usr/bin:/bin", "ASAN_OPTIONS=detect_leaks=0"};
        for (const auto& [k, v] : options.env) env.push_back(k + "=" + v);
        std::vector<char*> envp, argv = {const_cast<char*>(program.c_str())};
        for (std::string& e : env) envp.push_back(e.data());
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        envp.push_back(nullptr);
        argv.push_back(nullptr);
        ::execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    ::close(in[0]);
    const pid_t feeder = options.stdinFromFile || options.stdinData.empty() ? -1 : ::fork();
    if (feeder == 0) {
        FILE* pipe = ::fdopen(in[1], "w");
        std::fwrite(options.stdinData.data(), 1, options.stdinData.size(), pipe);
        std::fclose(pipe);
        _exit(0);
    }
    ::close(in[1]);
    started.pid = pid;
    started.feeder = feeder;
    started.out = out;
    started.err = err;
    return started;
}

RunResult finishProgram(StartedProgram& started) {
    RunResult result;
    if (started.pid < 0) return result;
    int status = 0;
    struct rusage usage {};
    ::wait4(started.pid, &status, 0, &usage);
    if (started.feeder > 0) ::waitpid(started.feeder, nullptr, 0);
    for (const std::string& top : started.made) prune(top);
    result.out = contents(started.out);
    result.err = contents(started.err);
    result.maxRssKb = usage.ru_maxrss;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptionsForTest& options) {
    StartedProgram started = startProgram(program, args, options);
    return finishProgram(started);
}

void giveTreeTo(const std::string& dir, int uid) {
    ::lchown(dir.c_str(), uid_t(uid), gid_t(uid));
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        ::lchown(it->path().c_str(), uid_t(uid), gid_t(uid));
}

bool rootRequired() {
    const char* v = std::getenv("INSTALLER_TESTS_REQUIRE_ROOT");
    return v && *v && std::string(v) != "0";
}

void skipOrFail(const std::string& why) {
    if (rootRequired()) {
        ADD_FAILURE() << why << ", and INSTALLER_TESTS_REQUIRE_ROOT is set";
    } else {
        GTEST_SKIP_(why.c_str());
    }
}
