#include "fs/faults.h"

namespace rootfs::faults {

bool hit(Op) {
    return false;
}

bool openat2Disabled() {
    return false;
}

}  // namespace rootfs::faults
