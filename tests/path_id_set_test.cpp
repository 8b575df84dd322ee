#include <gtest/gtest.h>

#include <set>

#include "store/path_id_set.h"

namespace {

// Inserts and erases at random against std::set: erasing from the middle of
// a probe run must keep every other member findable.
TEST(PathIdSet, AgreesWithAReferenceSetThroughGrowthAndErasure) {
    path_id_set set;
    std::set<uint64_t> reference;
    uint64_t seed = 12345;
    for (int step = 0; step < 200000; ++step) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        uint64_t id = (seed >> 33) % 5000; // small range: many collisions and repeats
        if (id == 7)
            id = 0; // the value that marks free slots inside the table
        if ((seed >> 20) % 3 == 0) {
            set.erase(id);
            reference.erase(id);
        } else {
            set.insert(id);
            reference.insert(id);
        }
        if (step % 997 == 0) {
            ASSERT_EQ(reference.size(), set.size()) << step;
        }
    }
    for (uint64_t id = 0; id < 5000; ++id)
        ASSERT_EQ(reference.count(id) == 1, set.contains(id)) << id;
    EXPECT_FALSE(path_id_set().contains(0));
}

} // namespace
