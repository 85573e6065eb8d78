// "qpk inspect" and "qpk verify" on arbitrary bytes: no crash, and every
// JSON document they print parses.
#include <cstdlib>
#include <sstream>
#include <string>

#include "commands.h"
#include "fs/rootfs.h"
#include "json_output.h"
#include "package_verdict.h"
#include "sign/trust_key_set.h"

namespace {

void requireValidJson(const std::string& text) {
    if (!qpk::Json::accept(text)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::ostringstream json, text;
    qpk::inspectData(bytes, true, json);
    requireValidJson(json.str());
    qpk::inspectData(bytes, false, text);

    static rootfs::Root host;
    const qpk::PackageFileVerdict verdict = qpk::verifyPackageData(bytes, host, builtInTrustKeys());
    // A rejection always says why; an acceptance names its form.
    if (verdict.accepted == verdict.reason.empty() &&
        verdict.accepted == (verdict.form != SignatureForm::None)) {
        requireValidJson(qpk::verdictJson("input", verdict)
                             .dump(-1, ' ', false, qpk::Json::error_handler_t::replace));
        return 0;
    }
    std::abort();
}
