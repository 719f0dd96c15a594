// Device creation, store preparation and destruction over the driver double.

#include "doubles/test_disk.h"
#include "kqblk_cache_manager.h"
#include "kqblk_store.h"
#include "support/test_util.h"

using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace {

unsigned modeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class DiskDevice : public DiskFixture {
 protected:
  void SetUp() override {
    DiskFixture::SetUp();
    disk.setDiskUUID("dev0");
    disk.setSectors(2048);
    disk.connect();
  }
  TestDisk disk{"/vm/disk0", dir.path()};
};

}  // namespace

TEST_F(DiskDevice, CreateMakesBothStoresAndDestroyPurgesTheCacheAndRemovesThem) {
  CacheManager cache(1 << 20);
  KqBlkDisk::setCacheManager(&cache);
  EXPECT_EQ(disk.createKqBlkDev(), "/dev/kqblk/dev0");
  EXPECT_EQ(disk.getState(), STATE_DEVICE_CREATED);
  EXPECT_EQ(disk.recallStore()->getPath(), dir / "dev0/rbstore");
  EXPECT_EQ(disk.getPrivateStore()->getPath(), dir / "dev0/pbstore");
  EXPECT_EQ(disk.recallStore()->getSize(), 2048 * 512);
  // Guest data: root's alone.
  for (const std::string& path : {dir / "dev0", dir / "dev0/rbstore", dir / "dev0/pbstore"}) {
    EXPECT_EQ(modeOf(path), 0700u) << path;
    KQFindData entry;
    KQFindHandle files = KQFindFirstFile(path, &entry);
    for (bool more = files != nullptr; more; more = KQFindNextFile(files, &entry)) {
      if (!entry.isDirectory) {
        EXPECT_EQ(modeOf(path + "/" + entry.name), 0600u) << entry.name;
      }
    }
  }
  std::string name;
  ASSERT_FALSE(disk.recallStore()->getExtentFileName(3, name).IsError());
  ASSERT_TRUE(cache.UpdateItem(name, 4096, 0));
  disk.destroyKqBlkDev();
  EXPECT_EQ(disk.getState(), STATE_INIT);
  EXPECT_EQ(cache.usedBytes(), 0u);
  EXPECT_FALSE(exists(dir / "dev0"));
  EXPECT_EQ(disk.getPrivateStore(), nullptr);
}

TEST_F(DiskDevice, StoreDirectoryThatIsAFileFailsWithCodeZero) {
  const std::string file = dir / "plainfile";
  std::ofstream(file) << "x";
  disk.setDirPath(file);
  EXPECT_THAT([&] { disk.createKqBlkDev(); }, throwsKq(0, file + " is not a directory"));
  EXPECT_EQ(disk.getState(), STATE_CONNECTED);
  EXPECT_EQ(disk.getPrivateStore(), nullptr);
}

// A store directory another user planted (a link, their directory, one
// others may write) is refused and nothing is written through it.
TEST_F(DiskDevice, StoreDirectoryAnotherUserControlsIsRefused) {
  TempDir theirs;
  ASSERT_EQ(::chown(theirs.path().c_str(), 65534, 65534), 0);
  const std::pair<std::string, std::string> cases[] = {
      {"link", dir / "dev0 is a symbolic link"},
      {"owned", dir / "dev0 is owned by uid 65534, not root"},
      {"writable", dir / "dev0 is writable by group or others"},
  };
  for (const auto& c : cases) {
    CUxDirectory::Remove(dir / "dev0", true, false);
    ::unlink((dir / "dev0").c_str());
    if (c.first == "link") {
      ASSERT_EQ(::symlink(theirs.path().c_str(), (dir / "dev0").c_str()), 0);
    } else {
      ::mkdir((dir / "dev0").c_str(), 0700);
      if (c.first == "owned") ::chown((dir / "dev0").c_str(), 65534, 65534);
      if (c.first == "writable") ::chmod((dir / "dev0").c_str(), 0777);
    }
    EXPECT_THAT([&] { disk.createKqBlkDev(); },
                ThrowsMessage<KqException>("Cannot use store directory " +
                                           dir / "dev0/pbstore: " + c.second));
    KQFindData entry;
    EXPECT_EQ(KQFindFirstFile(theirs.path(), &entry), nullptr) << c.first;
    EXPECT_FALSE(exists(dir / "dev0/pbstore")) << c.first;
  }
}

TEST_F(DiskDevice, FailedCreationKeepsDirectoriesAndTheRetryReopensThem) {
  driverDouble().createResult = FXErrorUtil::ErrorErrNo(FX_HERE, ENOSPC, "no loop device");
  EXPECT_THAT([&] { disk.createKqBlkDev(); },
              throwsKq(ENOSPC, HasSubstr("Failed to create kqblk device dev0 : err : ")));
  EXPECT_EQ(disk.getState(), STATE_CONNECTED);
  EXPECT_EQ(disk.getPrivateStore(), nullptr);

  // What the first attempt recalled is still there for the retry.
  {
    CUxError err;
    std::unique_ptr<KqBlkRecallStore> left(KqBlkRecallStore::open(dir / "dev0/rbstore", err));
    ASSERT_TRUE(left) << err.AsString();
    ASSERT_FALSE(left->writeExtent(5, std::vector<char>(4096, 'r').data()).IsError());
  }
  driverDouble().createResult.Success();
  CacheManager cache(1 << 20);
  KqBlkDisk::setCacheManager(&cache);
  KqLogCapture log;
  disk.createKqBlkDev();
  EXPECT_TRUE(disk.recallStore()->hasExtent(5));
  EXPECT_EQ(cache.usedBytes(), 4096u) << "the reopened store's extent is outside the capacity";
  EXPECT_EQ(log.find("Backing store path [" + dir / "dev0/pbstore" + "] already exists").size(), 1u);
}

TEST_F(DiskDevice, StoreFailureCarriesTheStoreErrno) {
  disk.setSectors(-1);  // a size no store can have
  EXPECT_THAT([&] { disk.createKqBlkDev(); },
              throwsKq(EINVAL, HasSubstr("Failed to create/open store @ " + dir / "dev0/pbstore" +
                                         ". err: ")));
  EXPECT_EQ(driverDouble().countCalls("create:dev0"), 0u);

  // The failed store left an empty directory: the retry creates, not opens.
  disk.setSectors(2048);
  disk.createKqBlkDev();
  EXPECT_EQ(disk.getPrivateStore()->getSize(), 2048 * 512);
}

TEST_F(DiskDevice, DestroyWithoutDeviceIsQuietAndChecksStates) {
  KqLogCapture log;
  disk.destroyKqBlkDev();  // never created: no device path
  EXPECT_EQ(disk.getState(), STATE_CONNECTED);
  EXPECT_EQ(log.find("diskUUID or device path is empty").size(), 1u);
  disk.createKqBlkDev();
  disk.forceState(STATE_MONITORING);
  EXPECT_THAT([&] { disk.destroyKqBlkDev(); }, throwsKq(-1, HasSubstr("device thread is still running")));
  disk.forceState(STATE_CONNECTED);
  EXPECT_THAT([&] { disk.destroyKqBlkDev(); },
              ThrowsMessage<KqException>("/vm/disk0 device not created: state 1 invalid"));
}

TEST_F(DiskDevice, BusyDeviceIsRetriedThenGivenUpWithoutThrowing) {
  for (int failures : {4, 5}) {  // the fifth try succeeds; none does
    SCOPED_TRACE(failures);
    driverDouble().reset();
    if (disk.getState() == STATE_INIT) disk.connect();
    disk.createKqBlkDev();
    driverDouble().destroyFailures = failures;
    KqLogCapture log;
    disk.destroyKqBlkDev();
    EXPECT_EQ(driverDouble().countCalls("destroy:dev0"), 5u);
    EXPECT_EQ(disk.getState(), STATE_INIT);
    EXPECT_EQ(log.find("Failed to destroy kqblk device [dev0]. Error message [Failed to destroy/abort "
                       "kqblk device dev0 : err : ").size(), failures == 5 ? 1u : 0u);
  }
}

// Without a cache manager: no cache walk, and the stores go all the same.
TEST_F(DiskDevice, FailedAbortSkipsDestroyButNotTheStores) {
  disk.createKqBlkDev();
  driverDouble().abortResult = FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "abort failed");
  disk.destroyKqBlkDev();
  EXPECT_EQ(driverDouble().countCalls("destroy:dev0"), 0u);
  EXPECT_EQ(disk.getState(), STATE_INIT);
  EXPECT_FALSE(exists(dir / "dev0"));
}

TEST_F(DiskDevice, CleanupByNameAbortsOnlyOrDestroysAndRemovesStores) {
  // The stores an ended process left behind.
  ASSERT_EQ(::mkdir((dir / "stale").c_str(), 0755), 0);
  for (const char* store : {"/stale/pbstore", "/stale/rbstore"}) {
    ASSERT_EQ(::mkdir((dir.path() + store).c_str(), 0755), 0);
    CUxError err;
    delete KqBlkRecallStore::create(dir.path() + store, "stale", 1 << 20, 4096, err);
    ASSERT_FALSE(err.IsError()) << err.AsString();
  }
  KqBlkDisk::cleanupKqBlkDev(dir.path().c_str(), "stale", true);
  EXPECT_EQ(driverDouble().countCalls("abort:stale"), 1u);
  EXPECT_EQ(driverDouble().countCalls("destroy:stale"), 0u);
  EXPECT_TRUE(exists(dir / "stale/rbstore"));

  KqBlkDisk::cleanupKqBlkDev(dir.path().c_str(), "stale", false);
  EXPECT_EQ(driverDouble().countCalls("destroy:stale"), 1u);
  EXPECT_FALSE(exists(dir / "stale/pbstore"));
  EXPECT_FALSE(exists(dir / "stale/rbstore"));

  driverDouble().abortResult = FXErrorUtil::ErrorErrNo(FX_HERE, ENOENT, "no such device");
  EXPECT_NO_THROW(KqBlkDisk::cleanupKqBlkDev("", "gone", false));
  EXPECT_THAT([] { KqBlkDisk::cleanupKqBlkDev("", nullptr, false); },
              throwsKq(EINVAL, "Failed to delete device: no device name given"));
  driverDouble().abortResult = FXErrorUtil::ErrorErrNo(FX_HERE, EBUSY, "busy");
  EXPECT_THAT([] { KqBlkDisk::cleanupKqBlkDev("", "stuck", false); },
              throwsKq(EBUSY, "Failed to delete device stuck"));
}

TEST_F(DiskDevice, ReadinessUsesTheConfiguredTimeout) {
  {
    ScopedConfig config("[Session]\nnHLXDeviceReadyTimeout = 7\n");
    disk.waitForDeviceReady();
    EXPECT_EQ(driverDouble().lastReadyTimeout, 7u);
  }
  disk.waitForDeviceReady();
  EXPECT_EQ(driverDouble().lastReadyTimeout, 300u);
  driverDouble().waitReadyResult = FXErrorUtil::ErrorErrNo(FX_HERE, ETIMEDOUT, "not ready");
  EXPECT_THAT([&] { disk.waitForDeviceReady(); },
              throwsKq(ETIMEDOUT, "Device dev0 is not ready to mount"));
}
