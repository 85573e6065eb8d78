#include "txn/staging.h"

#include <sys/statfs.h>

#include "fs/rootfs.h"
#include "txn/manifest.h"

namespace {

constexpr uint64_t STAGING_MARGIN = 65536;
// Kept on top of the margin before a remembered free count is trusted: what
// a file system spends beyond a file's own blocks is only estimated.
constexpr uint64_t MEMO_SLACK = 1 << 20;

bool fitsIn(uint64_t freeBytes, uint64_t sizeHint) {
    return freeBytes > STAGING_MARGIN && sizeHint < freeBytes - STAGING_MARGIN;
}

uint64_t addCapped(uint64_t a, uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

bool hasComponent(const std::string& path, const std::string& name) {
    for (size_t at = path.find(name); at != std::string::npos; at = path.find(name, at + 1)) {
        size_t end = at + name.size();
        if ((at == 0 || path[at - 1] == '/') && (end == path.size() || path[end] == '/'))
            return true;
    }
    return false;
}

}  // namespace

bool StagingPlaces::current() {
    unsigned long id = root_.batchId();
    if (id == 0) return false;
    if (batch != id || changes != root_.changeCount()) {
        used = next = 0;
        batch = id;
        changes = root_.changeCount();
        taken = 0;
    }
    return true;
}

StagingPlaces::Place* StagingPlaces::find(const std::string& parent) {
    for (int i = 0; i < used; ++i)
        if (places[i].parent == parent) return &places[i];
    return nullptr;
}

void StagingPlaces::remember(const std::string& parent, const std::string& dir,
                             const struct statfs& fs) {
    Place* place = find(parent);
    if (!place) {
        place = &places[next];
        next = (next + 1) % PLACES;
        if (used < PLACES) ++used;
        place->parent = parent;
    }
    place->dir = dir;
    update(*place, fs);
}

void StagingPlaces::update(Place& place, const struct statfs& fs) {
    place.freeBytes = uint64_t(fs.f_bfree) * uint64_t(fs.f_bsize);
    place.takenThen = taken;
    if (uint64_t(fs.f_bsize) > unit) unit = uint64_t(fs.f_bsize);
}

void StagingPlaces::forget(int i) {
    places[i] = places[used - 1];
    --used;
    next = used % PLACES;
}

std::string StagingPlaces::directoryFor(const std::string& target, uint64_t sizeHint) {
    if (sizeHint == 0) return root_.exists("/ram") ? "/ram" : "/tmp";
    const std::string parent = parentDirectory(target);
    const bool remembering = current();
    if (remembering) {
        if (Place* place = find(parent)) {
            uint64_t spent = taken - place->takenThen;
            if (place->freeBytes > addCapped(spent, MEMO_SLACK) &&
                fitsIn(place->freeBytes - spent - MEMO_SLACK, sizeHint))
                return place->dir;
            // Too close to call: ask the file system (the ancestor is known).
            struct statfs fs;
            if (root_.statfs(place->dir, &fs) == 0) {
                update(*place, fs);
                return fitsIn(place->freeBytes, sizeHint) ? place->dir : "/ram";
            }
            forget(int(place - places));
        }
    }
    for (std::string dir = parent;; dir = parentDirectory(dir)) {
        struct statfs fs;
        if (root_.statfs(dir, &fs) == 0) {
            uint64_t freeBytes = uint64_t(fs.f_bfree) * uint64_t(fs.f_bsize);
            if (remembering) remember(parent, dir, fs);
            return fitsIn(freeBytes, sizeHint) ? dir : "/ram";
        }
        if (dir == "/" || dir == ".") return "/ram";
    }
}

void StagingPlaces::noteStaged(const std::string& temp, uint64_t sizeHint) {
    // The temporary file's creation is the one change expected since.
    if (batch == 0 || batch != root_.batchId() || changes + 1 != root_.changeCount()) {
        batch = 0;
        return;
    }
    changes = root_.changeCount();
    // Its data blocks, a block for what the file system keeps about it, and
    // a share for block maps.
    uint64_t blocks = sizeHint / unit + (sizeHint % unit != 0) + 1;
    uint64_t bytes = blocks > UINT64_MAX / unit ? UINT64_MAX : blocks * unit;
    taken = addCapped(taken, addCapped(bytes, sizeHint / 128));
    // A remembered walk that passed a component of the new file's name
    // (however the directory was spelt) no longer holds.
    const std::string name = temp.substr(temp.rfind('/') + 1);
    for (int i = used - 1; i >= 0; --i)
        if (hasComponent(places[i].parent, name)) forget(i);
}
