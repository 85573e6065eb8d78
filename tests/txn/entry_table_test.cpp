// The manifest's entry table and the package's path set against the
// standard containers they replace: the same entries, in the same order,
// after any mix of adding, replacing, erasing, reviving and walking.
#include "txn/entry_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "model/path_set.h"

namespace {

// Paths that are prefixes of each other, with blanks, bytes above 0x7F and NULs.
std::string randomPath(std::mt19937& rng) {
    static const std::string pieces[] = {
        "/flash", "/a", "/a/b", " x", "\xC3\xA9", std::string(1, '\0'), "/z", "/bin/tool", "/"};
    std::string path;
    for (int n = 1 + int(rng() % 4); n > 0; --n) path += pieces[rng() % std::size(pieces)];
    return path;
}

TEST(EntryTable, BehavesAsAnOrderedMap) {
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        EntryTable table;
        std::map<std::string, std::pair<EntryKind, std::string>> expected;
        PathSet paths;
        std::set<std::string> expectedPaths;
        for (int step = 0; step < 400; ++step) {
            const std::string target = randomPath(rng);
            const unsigned op = rng() % 5;
            if (op == 0) {
                EXPECT_EQ(table.erase(target), expected.erase(target) == 1);
            } else if (op == 1) {
                auto found = table.find(target);
                ASSERT_EQ(bool(found), expected.count(target) == 1) << target;
                if (found) {
                    EXPECT_EQ(found->source, expected[target].second);
                }
            } else if (op == 2 && step % 50 == 0) {
                // Walking puts the entries in order; later changes go on from there.
                std::map<std::string, std::pair<EntryKind, std::string>> walked;
                std::string last;
                for (const auto& [t, entry] : table) {
                    EXPECT_TRUE(walked.empty() || last < std::string(t));
                    last = std::string(t);
                    walked[last] = {entry.kind, std::string(entry.source)};
                }
                EXPECT_EQ(walked, expected);
            } else {
                const EntryKind kind = op == 3 ? EntryKind::Remove : EntryKind::StagedFile;
                const std::string source = op == 3 ? "" : randomPath(rng);
                table.set(target, kind, source);
                expected[target] = {kind, source};
                paths.insert(target);
                expectedPaths.insert(target);
            }
            ASSERT_EQ(table.size(), expected.size());
        }
        EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()), expectedPaths);
        EXPECT_EQ(paths.size(), expectedPaths.size());
        EXPECT_TRUE(std::equal(paths.begin(), paths.end(), expectedPaths.begin()));
    }
}

// A file list that shares the table's copies of its paths keeps them when
// the table is cleared (a cancelled manifest) or gone.
TEST(EntryTable, SharedCopiesOutliveTheTable) {
    PathSet paths;
    {
        EntryTable table;
        table.set("/flash/bin/b", EntryKind::StagedFile, "/flash/tmpAbC001");
        table.set("/flash/bin/a", EntryKind::StagedFile, "/flash/tmpAbC000");
        for (const char* target : {"/flash/bin/b", "/flash/bin/a"})
            paths.insertShared(table.arena(), table.storedTarget(target));
        EXPECT_EQ(table.storedTarget("/flash/bin/c"), nullptr);
        table.clear();
        table.set("/flash/other", EntryKind::Remove, "");
    }
    EXPECT_EQ(std::vector<std::string>(paths.begin(), paths.end()),
              (std::vector<std::string>{"/flash/bin/a", "/flash/bin/b"}));
}

}  // namespace
