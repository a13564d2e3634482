// The main of the tests that start programs: each test process gets a
// network namespace of its own when it may, so the fixed ports never collide.
#include <gtest/gtest.h>

#include "harness.hpp"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  voxaria::test::enter_private_network();
  return RUN_ALL_TESTS();
}
