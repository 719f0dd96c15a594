// Suites that expose one GuestImage through the real driver (root): the
// driver is loaded and the image built once per suite; each test gets its
// own directory and a request's environment.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "support/exposed_disk.h"
#include "support/guest_image.h"
#include "support/guest_request.h"
#include "support/run_tool.h"
#include "support/temp_dir.h"

class ExposedGuestTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0) return;
    loadDriver();
    suiteDir = std::make_unique<TempDir>();
    guest = std::make_unique<GuestImage>(*suiteDir / "guest.img");
  }
  static void TearDownTestSuite() {
    guest.reset();
    suiteDir.reset();
  }
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
  }

  static inline std::unique_ptr<TempDir> suiteDir;
  static inline std::unique_ptr<GuestImage> guest;
  TempDir dir;
  RequestEnvironment environment;
};
