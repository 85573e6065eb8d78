#include "json_output.h"

namespace qpk {

void printJson(const Json& document, std::ostream& out) {
    out << document.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

}  // namespace qpk
