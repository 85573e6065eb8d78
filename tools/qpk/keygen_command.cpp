// "qpk keygen": a new Ed25519 and legacy key pair.
#include <fcntl.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "arguments.h"
#include "commands.h"
#include "qpk/lib/signer.h"
#include "trust_keys.h"

namespace qpk {

namespace {

const char* const KEYGEN_USAGE =
    "usage: qpk keygen -o KEYFILE\n"
    "Makes an Ed25519 and a legacy key pair. The private halves go to KEYFILE\n"
    "(mode 0600, for \"qpk build --key\"); the matching trust key lines, with\n"
    "the legacy hash constants of this build, go to KEYFILE.trust and to\n"
    "standard output (for -DTRUST_KEYS=). Existing files are not overwritten.\n";

std::string words(const uint32_t* values, size_t n) {
    std::string s;
    char word[9];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(word, sizeof word, "%08x", values[i]);
        if (i > 0) s += ' ';
        s += word;
    }
    return s;
}

// Creates `path` (never replacing a file) with `mode` and writes `text`.
bool writeNewFile(const std::string& path, const std::string& text, mode_t mode,
                  std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    const bool ok = done == text.size() && ::close(fd) == 0;
    if (!ok) {
        error = path + ": write failed";
        ::unlink(path.c_str());
    }
    return ok;
}

}  // namespace

int keygenCommand(const std::vector<std::string>& argv) {
    const char* const NAME = "keygen";
    Arguments args(argv);
    std::string output, value;
    while (args.more()) {
        if (args.isSwitch("--help") || args.isSwitch("-h")) {
            std::cout << KEYGEN_USAGE;
            return EXIT_OK;
        } else if (args.isOption("-o", value)) {
            output = value;
        } else {
            args.operand();
            if (args.error().empty()) {
                reportError(NAME, "unexpected operand");
                return EXIT_USAGE;
            }
        }
    }
    if (!args.error().empty() || output.empty()) {
        reportError(NAME, args.error().empty() ? "no key file (-o KEYFILE)" : args.error());
        return EXIT_USAGE;
    }

    // The legacy scalar is clamped: a multiple of 8 below 2^255 with bit 254
    // set is never a multiple of the group order.
    SigningKeys keys;
    if (RAND_priv_bytes(keys.ed25519Seed, 32) != 1 || RAND_priv_bytes(keys.legacyScalar, 32) != 1) {
        reportError(NAME, "random number generator failed");
        return EXIT_FAILED;
    }
    keys.legacyScalar[0] &= 0xF8;
    keys.legacyScalar[31] = uint8_t((keys.legacyScalar[31] & 0x7F) | 0x40);
    uint8_t ed25519Public[32], legacyPublic[32];
    ed25519PublicKey(keys.ed25519Seed, ed25519Public);
    legacyPublicKey(keys.legacyScalar, legacyPublic);

    const std::string secret =
        "# Signing keys made by qpk keygen. Keep this file private.\n"
        "ed25519-secret " +
        hexText(keys.ed25519Seed, 32) + "\n" + "legacy-secret " + hexText(keys.legacyScalar, 32) +
        "\n";
    const std::string trust = "# Trust keys for the installer (private halves in " + output +
                              ").\n" + "ed25519-public " + hexText(ed25519Public, 32) + "\n" +
                              "legacy-public " + hexText(legacyPublic, 32) + "\n" +
                              "legacy-hash-iv " + words(TRUST_LEGACY_HASH_IV, 8) + "\n" +
                              "legacy-hash-k " + words(TRUST_LEGACY_HASH_K, 64) + "\n";
    std::memset(keys.ed25519Seed, 0, 32);
    std::memset(keys.legacyScalar, 0, 32);

    std::string error;
    if (!writeNewFile(output, secret, 0600, error)) {
        reportError(NAME, error);
        return EXIT_FAILED;
    }
    if (!writeNewFile(output + ".trust", trust, 0644, error)) {
        ::unlink(output.c_str());
        reportError(NAME, error);
        return EXIT_FAILED;
    }
    std::cout << trust;
    return EXIT_OK;
}

}  // namespace qpk
