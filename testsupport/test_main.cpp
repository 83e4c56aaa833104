#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testsupport/test_env.h"

int main(int argc, char** argv) {
  int status = zyp::testing::run_in_private_root(argv);
  if (status >= 0) return status;
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
