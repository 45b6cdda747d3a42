// main() of every unit-test executable: the sandbox check, then GoogleTest.
#include "guard.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    sandbox::require();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
