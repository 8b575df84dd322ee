#include <gtest/gtest.h>

#include <cstring>

int run_append_child(int argc, char **argv);
int run_stress_child(int argc, char **argv);

// The store tests start copies of this program as second processes.
int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "--append-child") == 0)
        return run_append_child(argc, argv);
    if (argc > 1 && strcmp(argv[1], "--stress-child") == 0)
        return run_stress_child(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
