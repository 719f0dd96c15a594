// What every full-kernel test starts from: short device timings, a block
// cache, and the requests' LVM configurations under the test's own
// directory.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "kqblk_cache_manager.h"
#include "kqblk_disk_utils.h"
#include "support/run_tool.h"
#include "support/temp_dir.h"

class VmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KqBlkDisk::gTimings = KqBlkDeviceTimings{100, 1000, 3};
    KqBlkDisk::setCacheManager(&m_cache);
    ::mkdir((m_dir / "cfg").c_str(), 0755);
    KqBlkDiskUtils::setConfigDir((m_dir / "cfg").c_str(), false);
  }
  void TearDown() override {
    KqBlkDisk::setCacheManager(nullptr);
    KqBlkDiskUtils::setConfigDir("", false);
  }
  static void loadDriver() { runTool(std::string(KQBLK_UNIX_DRV) + " -a kqblk"); }

  TempDir m_dir;

 private:
  CacheManager m_cache{1ull << 30};
};
