// The JSON documents of "--json": objects keep the order their fields were
// added in, so that the output reads like the text form.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>

namespace qpk {

using Json = nlohmann::ordered_json;

// One document and a line feed. Bytes that are not UTF-8 (names and paths
// from hostile files) become U+FFFD instead of failing the output.
void printJson(const Json& document, std::ostream& out);

}  // namespace qpk
