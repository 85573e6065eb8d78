// Option and value parsing shared by the qpk commands.
#include "arguments.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <sstream>

#include "fs/fd_stream.h"
#include "fs/rootfs.h"

namespace qpk {

bool Arguments::isSwitch(const char* name) {
    if (!more() || args_[pos_] != name) return false;
    ++pos_;
    return true;
}

bool Arguments::isOption(const char* name, std::string& value) {
    if (!more()) return false;
    const std::string& arg = args_[pos_];
    const size_t n = std::strlen(name);
    if (arg == name) {
        if (pos_ + 1 >= args_.size()) {
            error_ = std::string("option ") + name + " needs a value";
            pos_ = args_.size();
            return true;
        }
        value = args_[pos_ + 1];
        pos_ += 2;
        return true;
    }
    if (arg.size() > n && arg.compare(0, n, name) == 0 && arg[n] == '=' && name[1] == '-') {
        value = arg.substr(n + 1);
        ++pos_;
        return true;
    }
    return false;
}

std::string Arguments::operand() {
    if (!more()) return std::string();
    const std::string& arg = args_[pos_++];
    if (arg.size() > 1 && arg[0] == '-') {
        error_ = "unknown option " + arg;
        return std::string();
    }
    return arg;
}

bool parseNumber(const std::string& text, uint64_t max, uint64_t& out) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value > max) return false;
    out = value;
    return true;
}

bool validName(const std::string& name) {
    return !name.empty() && name.size() <= 16;
}

bool parseVersionOption(const std::string& text, Version& out, std::string& error) {
    if (text.empty()) {
        out = 0;
        return true;
    }
    if (!parseVersion(text, out)) {
        error = "malformed version \"" + text + "\"";
        return false;
    }
    return true;
}

bool parseRef(const std::string& text, int fields, PackageRef& ref, std::string& error) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, ':')) parts.push_back(part);
    if (!text.empty() && text.back() == ':') parts.emplace_back();
    if (parts.empty() || int(parts.size()) > fields || !validName(parts[0])) {
        error = "malformed package reference \"" + text + "\"";
        return false;
    }
    ref = PackageRef();
    ref.name = parts[0];
    if (parts.size() > 1 && !parseVersionOption(parts[1], ref.minVersion, error)) return false;
    if (parts.size() > 2 && !parseVersionOption(parts[2], ref.maxVersion, error)) return false;
    if (parts.size() > 3 && !parts[3].empty()) {
        const std::string& w = parts[3];
        const bool negative = w[0] == '-';
        uint64_t magnitude = 0;
        if (!parseNumber(negative ? w.substr(1) : w, negative ? 0x80000000u : 0x7FFFFFFFu,
                         magnitude)) {
            error = "malformed weight \"" + w + "\"";
            return false;
        }
        ref.weight = int32_t(negative ? -int64_t(magnitude) : int64_t(magnitude));
    }
    return true;
}

bool readWholeFile(const std::string& path, std::string& bytes, std::string& error) {
    rootfs::Root host;
    struct stat st;
    if (host.stat(path, &st) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + ": not a regular file";
        return false;
    }
    InFile in(host, path);
    if (!in.is_open()) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) {
        error = path + ": read error";
        return false;
    }
    bytes = std::move(buffer).str();
    return true;
}

std::string utcTimeText(uint32_t seconds) {
    const std::time_t when = std::time_t(seconds);
    std::tm tm{};
    char text[32];
    if (gmtime_r(&when, &tm) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        return "?";
    return text;
}

void reportError(const char* command, const std::string& message) {
    std::cerr << "qpk " << command << ": " << message << "\n";
}

namespace {

void readNumber(const std::string& text, const char* what, uint32_t& out, std::string& error) {
    uint64_t n = 0;
    if (parseNumber(text, 0xFFFFFFFFu, n))
        out = uint32_t(n);
    else
        error = std::string("malformed ") + what + " \"" + text + "\"";
}

}  // namespace

bool isHeaderOption(Arguments& args, std::string& name, Version& version, uint32_t& buildTime,
                    uint32_t& flags, std::optional<std::string>& architecture, HeaderOptions& seen,
                    std::string& error) {
    std::string value;
    if (args.isOption("-o", value)) {
        seen.output = value;
    } else if (args.isOption("--name", value)) {
        name = value;
        seen.haveName = true;
    } else if (args.isOption("--version", value)) {
        if (parseVersionOption(value, version, error)) seen.haveVersion = true;
    } else if (args.isOption("--build-time", value)) {
        readNumber(value, "build time", buildTime, error);
        seen.haveBuildTime = true;
    } else if (args.isOption("--flags", value)) {
        readNumber(value, "flags", flags, error);
    } else if (args.isOption("--arch", value)) {
        architecture = value;
    } else {
        return false;
    }
    return true;
}

std::string headerOptionsError(const HeaderOptions& seen, const std::string& name,
                               const char* what) {
    if (seen.output.empty()) return "no output file (-o FILE)";
    if (!seen.haveName) return std::string("no ") + what + " name (--name NAME)";
    if (!validName(name)) return std::string(what) + " name must have 1 to 16 characters";
    if (!seen.haveVersion) return "no version (--version V)";
    return std::string();
}

bool defaultBuildTime(uint32_t& buildTime, std::string& error) {
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch == nullptr) {
        buildTime = uint32_t(std::time(nullptr));
        return true;
    }
    // Decimal only, whatever its leading zeros; no sign, blanks or 0x.
    const std::string text = epoch;
    uint64_t seconds = 0;
    const char* end = text.data() + text.size();
    const auto [stop, problem] = std::from_chars(text.data(), end, seconds, 10);
    if (problem != std::errc() || stop != end || seconds > 0xFFFFFFFFu) {
        error = "malformed SOURCE_DATE_EPOCH \"" + text +
                "\" (decimal seconds since the epoch, at most 4294967295)";
        return false;
    }
    buildTime = uint32_t(seconds);
    return true;
}

std::string hexText(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

}  // namespace qpk
