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

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptionsForTest& options) {
    RunResult result;
    // The output goes to memory files, read once the child is gone; standard
    // input is a pipe, fed by a second child, as a router's would be.
    const int out = ::memfd_create("stdout", 0), err = ::memfd_create("stderr", 0);
    int in[2];
    if (out < 0 || err < 0 || ::pipe(in) != 0) return result;
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int input =
            options.stdinFromFile ? ::open(options.stdinData.c_str(), O_RDONLY) : in[0];
        if (::dup2(input, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) _exit(126);
        for (int fd : {out, err, in[0], in[1]}) ::close(fd);
        if (!options.chrootDir.empty() &&
            (!prepareChroot(options.chrootDir, program) ||
             ::chroot(options.chrootDir.c_str()) != 0 || ::chdir("/") != 0))
            _exit(126);
        if (options.runAsUser >= 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(gid_t(options.runAsUser)) != 0 ||
             ::setuid(uid_t(options.runAsUser)) != 0))
            _exit(126);
        // A sanitizer build's leak check needs /proc, which the programs do
        // not have once they have entered a test root.
        std::vector<std::string> strings = {"PATH=/usr/bin:/bin", "ASAN_OPTIONS=detect_leaks=0"};
        for (const auto& [k, v] : options.env) strings.push_back(k + "=" + v);
        const size_t envCount = strings.size();
        strings.push_back(program);
        strings.insert(strings.end(), args.begin(), args.end());
        std::vector<char*> envp, argv;
        for (size_t i = 0; i < strings.size(); ++i)
            (i < envCount ? envp : argv).push_back(strings[i].data());
        envp.push_back(nullptr);
        argv.push_back(nullptr);
        ::execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    ::close(in[0]);
    const pid_t feeder = options.stdinFromFile || options.stdinData.empty() ? -1 : ::fork();
    if (feeder == 0) {
        for (size_t done = 0; done < options.stdinData.size();) {
            const ssize_t n =
                ::write(in[1], options.stdinData.data() + done, options.stdinData.size() - done);
            if (n <= 0) break;
            done += size_t(n);
        }
        _exit(0);
    }
    ::close(in[1]);
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    if (feeder > 0) ::waitpid(feeder, nullptr, 0);
    result.out = contents(out);
    result.err = contents(err);
    result.maxRssKb = usage.ru_maxrss;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

RunResult runInstaller(const std::vector<std::string>& args, const RunOptionsForTest& options) {
    return runProgram(INSTALLER_BINARY, args, options);
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
