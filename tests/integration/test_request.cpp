// The request object against the real driver (root): a two-disk Linux guest
// started, served and taken down; a failure at any step of the start takes
// down whatever was made; a second teardown is harmless.
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "kq_config.h"
#include "kqblk_request.h"
#include "support/linux_guest.h"
#include "support/request_leftovers.h"
#include "support/temp_dir.h"
#include "support/test_util.h"

namespace {

class Request : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    guest = std::make_unique<LinuxGuest>(dir.path());
  }

  KqBlkRequestOptions options(const std::string& id) const {
    KqBlkRequestOptions o;
    o.id = id;
    o.mountRoot = dir / ("root-" + id);
    o.storeDir = dir / ("store-" + id);
    o.baseDir = std::string(KQBLK_UNIX_DRV).substr(0, std::string(KQBLK_UNIX_DRV).rfind('/'));
    o.disks = {{guest->system.path()}, {guest->data.path()}};
    return o;
  }

  TempDir dir;
  std::unique_ptr<LinuxGuest> guest;
};

}  // namespace

TEST_F(Request, ServesTheGuestsTreeReportingEachStepThenLeavesNothing) {
  std::vector<std::string> steps;
  uint64_t lastRecalled = 0;
  bool recalledGrew = true;
  {
    KqBlkRequest request(options("rqok"));
    request.setProgress([&](const KqBlkProgress& p) {
      recalledGrew = recalledGrew && p.bytesRecalled >= lastRecalled;
      lastRecalled = p.bytesRecalled;
      if (!p.tick) steps.push_back(std::string(kqblkStepName(p.step)) + (p.disk.empty() ? "" : " disk"));
    });
    ASSERT_TRUE(request.start()) << request.error();
    EXPECT_EQ(request.failedStep(), KqBlkStep::Done);
    EXPECT_EQ(readFile(request.tree() + "/etc/hostname").size(), 12u);
    EXPECT_EQ(fileText(request.tree() + "/home/admin/notes.txt"), "at home\n");  // placed by fstab
    ASSERT_EQ(request.devices().size(), 2u);
    EXPECT_EQ(request.devices()[0].rfind("/dev/kqblk/rqok-", 0), 0u);
    EXPECT_FALSE(request.layers().empty());
    EXPECT_GT(request.recallStats().bytes, 0u);
    // The EFI partition's vfat: this kernel has none, and the record says so.
    bool vfatCause = false;
    for (const kqblk_mountpoint& m : request.records()) vfatCause |= m.cause == "unknown filesystem type 'vfat'";
    EXPECT_TRUE(vfatCause);
    EXPECT_TRUE(request.tearDown()) << request.error();
    EXPECT_TRUE(request.tearDown());  // again: nothing to do
  }  // and the destructor
  EXPECT_TRUE(recalledGrew);
  const std::vector<std::string> expected = {
      "checking the request", "loading the driver", "exposing disk", "exposing disk",
      "discovering and mounting", "reporting the layers", "serving", "unmounting",
      "stopping md arrays and LUKS volumes", "removing the devices", "done"};
  EXPECT_EQ(steps, expected);
  EXPECT_EQ(requestLeftovers("rqok", dir / "root-rqok"), "");
  EXPECT_FALSE(exists(dir / "store-rqok"));
}

// A failure at each step of the start: from the progress report (as a
// caller that stops early does) or from the request itself.
TEST_F(Request, AFailureAtAnyStepOfTheStartLeavesNothing) {
  struct Case {
    const char* name;
    KqBlkStep throwAt;  // Done: no injected failure
    int atDisk;         // for Exposing: which disk's report throws
    std::function<void(KqBlkRequestOptions&)> change;
    KqBlkStep failedStep;
    const char* says;
  };
  const Case cases[] = {
      {"ThrowsWhileChecking", KqBlkStep::Checking, 0, nullptr, KqBlkStep::Checking,
       "stopped while checking the request: injected"},
      {"ThrowsAtTheDriver", KqBlkStep::LoadingDriver, 0, nullptr, KqBlkStep::LoadingDriver, "injected"},
      {"ThrowsAtTheFirstDisk", KqBlkStep::Exposing, 0, nullptr, KqBlkStep::Exposing, "injected"},
      {"ThrowsAtTheSecondDisk", KqBlkStep::Exposing, 1, nullptr, KqBlkStep::Exposing, "injected"},
      {"ThrowsAtDiscovery", KqBlkStep::Discovering, 0, nullptr, KqBlkStep::Discovering, "injected"},
      {"ThrowsAtTheReport", KqBlkStep::Reporting, 0, nullptr, KqBlkStep::Reporting, "injected"},
      {"ThrowsWhenServing", KqBlkStep::Serving, 0, nullptr, KqBlkStep::Serving, "injected"},
      {"BadId", KqBlkStep::Done, 0, [](KqBlkRequestOptions& o) { o.id = "-x"; }, KqBlkStep::Checking,
       "-x: not a usable request id"},
      {"NoDriverScript", KqBlkStep::Done, 0, [](KqBlkRequestOptions& o) { o.baseDir = "/nonexistent"; },
       KqBlkStep::LoadingDriver, "the kqblk driver cannot be loaded"},
      {"SecondDiskMissing", KqBlkStep::Done, 0,
       [](KqBlkRequestOptions& o) { o.disks[1].path += ".gone"; }, KqBlkStep::Exposing,
       ".gone: cannot expose it"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string id = "rqf" + std::to_string(++n);
    KqBlkRequestOptions o = options(id);
    if (c.change) c.change(o);
    const std::string root = o.mountRoot, store = o.storeDir;
    KqBlkRequest request(o);
    int disk = 0;
    request.setProgress([&](const KqBlkProgress& p) {
      if (p.tick || p.step != c.throwAt) return;
      if (p.step == KqBlkStep::Exposing && disk++ != c.atDisk) return;
      throw std::runtime_error("injected");
    });
    EXPECT_FALSE(request.start());
    EXPECT_EQ(request.failedStep(), c.failedStep);
    EXPECT_NE(request.error().find(c.says), std::string::npos) << request.error();
    EXPECT_EQ(requestLeftovers(id, root), "");
    EXPECT_FALSE(exists(store));
    const std::string said = request.error();
    EXPECT_TRUE(request.tearDown());
    EXPECT_EQ(request.error(), said);
    EXPECT_FALSE(request.start()) << "a request starts once";
  }
}

// A mount root the caller made and filled is refused and kept as it was.
TEST_F(Request, ARootThatIsNotEmptyIsRefusedAndKept) {
  KqBlkRequestOptions o = options("rqfull");
  ASSERT_EQ(::mkdir(o.mountRoot.c_str(), 0700), 0);
  std::ofstream(o.mountRoot + "/mine") << "x";
  KqBlkRequest request(o);
  EXPECT_FALSE(request.start());
  EXPECT_EQ(request.failedStep(), KqBlkStep::Checking);
  EXPECT_EQ(request.error(), o.mountRoot + ": not empty");
  EXPECT_EQ(fileText(o.mountRoot + "/mine"), "x");
  EXPECT_FALSE(exists(o.storeDir)) << "nothing made past the refusal";
}

// A write-back reports what it writes, and a later request sees the change.
TEST_F(Request, AWriteBackReportsItsBytesAndTheNextRequestSeesTheChange) {
  uint64_t written = 0;
  {
    KqBlkRequestOptions o = options("rqwb");
    o.writeBack = true;
    KqBlkRequest request(o);
    request.setProgress([&](const KqBlkProgress& p) { written = std::max(written, p.bytesWrittenBack); });
    ASSERT_TRUE(request.start()) << request.error();
    std::ofstream(request.tree() + "/etc/motd") << "written back\n";
    ASSERT_TRUE(request.tearDown()) << request.error();
  }
  EXPECT_GT(written, 0u);
  KqBlkRequest again(options("rqwb2"));
  ASSERT_TRUE(again.start()) << again.error();
  EXPECT_EQ(fileText(again.tree() + "/etc/motd"), "written back\n");
}
