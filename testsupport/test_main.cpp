#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testsupport/test_env.h"

int main(int argc, char** argv) {
  zyp::testing::test_root();  // set the private folders up before any test
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
