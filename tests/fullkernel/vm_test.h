// What every full-kernel test starts from: the requests' environment, with
// their LVM configurations under the test's own directory.
#pragma once

#include <gtest/gtest.h>

#include "support/guest_request.h"
#include "support/run_tool.h"
#include "support/temp_dir.h"

class VmTest : public ::testing::Test {
 protected:
  TempDir m_dir;

 private:
  RequestEnvironment m_env{m_dir / "cfg"};
};
