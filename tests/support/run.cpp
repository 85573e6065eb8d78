#include "support/run.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

// In a private mount namespace, makes the host's programs and libraries
// visible inside `root` (bind mounts that vanish with the child), so that
// the real binary can run after chroot. Returns false on any failure.
bool prepareChroot(const std::string& root, const std::string& program) {
    if (::unshare(CLONE_NEWNS) != 0) return false;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    for (const std::string& dir : chrootHostDirectories(program)) {
        struct stat st;
        if (::lstat(dir.c_str(), &st) != 0) continue;
        std::string inside = root + dir;
        std::error_code ec;
        if (S_ISLNK(st.st_mode)) {
            std::filesystem::copy_symlink(dir, inside, ec);
            continue;
        }
        std::filesystem::create_directories(inside, ec);
        if (::mount(dir.c_str(), inside.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return false;
    }
    std::string cache = root + "/etc/ld.so.cache";
    ::mkdir((root + "/etc").c_str(), 0755);
    ::close(::open(cache.c_str(), O_CREAT | O_WRONLY, 0644));
    ::mount("/etc/ld.so.cache", cache.c_str(), nullptr, MS_BIND, nullptr);
    return true;
}

void drain(int outFd, int errFd, RunResult& result) {
    struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(buffer, size_t(n));
            }
        }
    }
}

}  // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptionsForTest& options) {
    RunResult result;
    int outPipe[2], errPipe[2], inPipe[2];
    if (::pipe(outPipe) || ::pipe(errPipe) || ::pipe(inPipe)) return result;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        if (options.stdinFromFile) {
            int fd = ::open(options.stdinData.c_str(), O_RDONLY);
            ::dup2(fd, 0);
        } else {
            ::dup2(inPipe[0], 0);
        }
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1], inPipe[0], inPipe[1]})
            ::close(fd);
        if (!options.chrootDir.empty()) {
            if (!prepareChroot(options.chrootDir, program) ||
                ::chroot(options.chrootDir.c_str()) != 0 || ::chdir("/") != 0)
                _exit(126);
        }
        if (options.runAsUser >= 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(gid_t(options.runAsUser)) != 0 ||
             ::setuid(uid_t(options.runAsUser)) != 0))
            _exit(126);
        // A sanitizer build's leak check needs /proc, which the programs do
        // not have once they have entered a test root (or run under ptrace).
        std::vector<std::string> envStrings = {"PATH=/usr/bin:/bin", "ASAN_OPTIONS=detect_leaks=0"};
        for (const auto& [k, v] : options.env) envStrings.push_back(k + "=" + v);
        std::vector<char*> envp;
        for (auto& s : envStrings) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<std::string> argStrings = {program};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& s : argStrings) argv.push_back(s.data());
        argv.push_back(nullptr);
        ::execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    ::close(inPipe[0]);
    if (!options.stdinFromFile && !options.stdinData.empty()) {
        // Feed standard input from a child so large inputs cannot dead-lock
        // against the output pipes.
        pid_t feeder = ::fork();
        if (feeder == 0) {
            const char* p = options.stdinData.data();
            size_t left = options.stdinData.size();
            while (left > 0) {
                ssize_t n = ::write(inPipe[1], p, left);
                if (n <= 0) break;
                p += n;
                left -= size_t(n);
            }
            _exit(0);
        }
        ::close(inPipe[1]);
        drain(outPipe[0], errPipe[0], result);
        ::waitpid(feeder, nullptr, 0);
    } else {
        ::close(inPipe[1]);
        drain(outPipe[0], errPipe[0], result);
    }
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    result.maxRssKb = usage.ru_maxrss;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

RunResult runInstaller(const std::vector<std::string>& args, const RunOptionsForTest& options) {
    return runProgram(INSTALLER_BINARY, args, options);
}

RunResult runQpk(const std::vector<std::string>& args) {
    return runProgram(QPK_BINARY, args);
}

std::vector<std::string> chrootHostDirectories(const std::string& program) {
    // /proc: a sanitizer build reads its own maps at start.
    return {"/usr", "/lib", "/lib64", "/bin", "/proc", program.substr(0, program.rfind('/'))};
}

void giveTreeTo(const std::string& dir, int uid) {
    ::lchown(dir.c_str(), uid_t(uid), gid_t(uid));
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        ::lchown(it->path().c_str(), uid_t(uid), gid_t(uid));
}

bool canChroot() {
    pid_t pid = ::fork();
    if (pid == 0) _exit(::chroot("/") == 0 ? 0 : 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
