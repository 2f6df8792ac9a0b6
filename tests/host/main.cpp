#include <gtest/gtest.h>

#include "tests/host/support.h"

namespace hosttest {
void installFailingAssertHandler() {
  host::setAssertHandler([](const char* report) { ADD_FAILURE() << report; });
}
}  // namespace hosttest

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  hosttest::installFailingAssertHandler();
  host::trace::capture();
  return RUN_ALL_TESTS();
}
