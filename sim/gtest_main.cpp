// main() of the suites that run against the simulated camera: the umockdev preload has to be in
// place when the process starts, so the suite re-executes itself with it.
#include <gtest/gtest.h>

#include "sim/sim.hpp"

int main(int argc, char** argv) {
    vxsim::ensure_preload(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
