// The main of the tests that start programs: each test process gets a
// network namespace of its own when it may, so the fixed ports never
// collide. A run whose every test was skipped exits with the code ctest
// reports as skipped.
#include <gtest/gtest.h>

#include "harness.hpp"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  voxaria::test::enter_private_network();
  const int result = RUN_ALL_TESTS();
  const auto& run = *testing::UnitTest::GetInstance();
  if (result == 0 && run.skipped_test_count() > 0 && run.successful_test_count() == 0)
    return VOXARIA_SKIP_CODE;
  return result;
}
