// Loading VixDiskLib from the base directory, once, retrying after failure.

#include "HLXVixDiskLib.h"
#include "kq_log.h"
#include "support/test_util.h"

namespace {

void install(const TempDir& base, const std::string& version, const char* library) {
  const std::string dir = base / ("VMware/vddk/" + version + "/lib64");
  ASSERT_FALSE(CUxDirectory::Create(dir, true).IsError());
  ASSERT_EQ(symlink(library, (dir + "/libvixDiskLib.so").c_str()), 0);
}

}  // namespace

// One test: loading is once per process, so the order of the steps matters.
TEST(VixDiskLibLoader, FailuresLeaveItUnloadedUntilOneLoadSucceeds) {
  TempDir base;
  ScopedConfig config("[Base]\n");
  KqLogCapture log;
  CUxError err = HLXVixDiskLib::Load(VIXDISKLIB_VERSION_DIR);
  EXPECT_TRUE(err.IsError());
  EXPECT_THAT(err.AsString(), ::testing::HasSubstr("Failed to get base directory"));
  EXPECT_EQ(log.find("Failed to get base home directory.").size(), 1u);

  config.write("[Base]\ndBASEHOME = " + base.path() + "  \n");
  err = HLXVixDiskLib::Load("missing");
  EXPECT_TRUE(err.IsError());
  EXPECT_THAT(err.AsString(), ::testing::HasSubstr("VMware/vddk/missing/lib64/libvixDiskLib.so"));

  install(base, "noclose", KQBLK_TEST_VIX_NO_CLOSE);
  err = HLXVixDiskLib::Load("noclose");
  EXPECT_TRUE(err.IsError());
  EXPECT_THAT(err.AsString(), ::testing::HasSubstr("VixDiskLib_Close"));
  // Close comes first in name order, so nothing was set.
  EXPECT_EQ(HLXVixDiskLib::pVixDiskLib_ConnectEx, nullptr);
  EXPECT_EQ(HLXVixDiskLib::pVixDiskLib_Write, nullptr);

  install(base, VIXDISKLIB_VERSION_DIR, KQBLK_TEST_VIX_GOOD);
  err = HLXVixDiskLib::Load(VIXDISKLIB_VERSION_DIR);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  ASSERT_NE(HLXVixDiskLib::pVixDiskLib_Read, nullptr);
  EXPECT_EQ(HLXVixDiskLib::pVixDiskLib_Read(nullptr, 0, 0, nullptr), 106u);
  EXPECT_EQ(HLXVixDiskLib::pVixDiskLib_Close(nullptr), 105u);

  // Loaded: another version is not even looked at.
  EXPECT_FALSE(HLXVixDiskLib::Load("missing").IsError());
}
