#include "pkgfile/names.h"

#include <string_view>

bool isSafePackageName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find('/') == std::string::npos;
}

bool isSafeFlashPath(const std::string& path) {
    if (path.find('\0') != std::string::npos || path.find('\n') != std::string::npos) return false;
    std::string_view rest(path);
    std::string_view last;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view component = rest.substr(0, slash);
        if (component == "..") return false;
        last = component;
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
        // A trailing "/" leaves an empty last component.
        if (rest.empty()) last = rest;
    }
    return !last.empty() && last != ".";
}
