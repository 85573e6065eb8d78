#include "pdb/layout.h"

int applyRank(const std::string& target) {
    static const std::string DATABASE = DATABASE_ROOT;
    if (target == BOOT_IMAGE) return 2;
    if (target.compare(0, DATABASE.size(), DATABASE) != 0) return 0;
    const size_t slash = target.find('/', DATABASE.size());
    if (slash == std::string::npos || target.find('/', slash + 1) != std::string::npos) return 0;
    const std::string last = target.substr(slash + 1);
    if (last == "version") return 1;
    return last == "image" ? 2 : 0;
}
