// The legacy signature check on arbitrary digests, commitments and
// responses.
#include <cstring>

#include "sign/legacy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t input[32 + 16 + 32] = {};
    std::memcpy(input, data, size < sizeof input ? size : sizeof input);
    legacySignatureCheck(input, input + 32, input + 48);
    // Also a chosen public key, which need not be on the curve.
    if (size >= sizeof input + 32) {
        uint8_t out[32];
        legacyCurveOperation(input, input + 48, data + sizeof input, out);
    }
    return 0;
}
