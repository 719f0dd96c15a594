// Unmounting records over scripted umount, fuser and kill: the order of the
// paths tried, bind paths resolved inside the guest root, status 32, the
// order and passes over a list, and which holders are killed. The paths are
// real directories, so that bind paths resolve as they would on a proxy.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>

#include "doubles/tool_doubles.h"
#include "integration/discovery_devices.h"
#include "kq_log.h"
#include "kq_shell.h"
#include "kqblk_disk_utils.h"
#include "kqblk_mountpoint_cleanup.h"
#include "support/run_tool.h"
#include "support/sleeping_child.h"

using Strings = std::vector<std::string>;

namespace {

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class MountPointCleanup : public ::testing::Test {
 protected:
  MountPointCleanup() { kqblk_unmountTimings.retryPauseMs = 0; }
  ~MountPointCleanup() override { kqblk_unmountTimings = KqBlkUnmountTimings(); }

  // `text` with $M written for the mount directory and $T for the temporary one.
  std::string expand(const std::string& text) const {
    return replaced(replaced(text, "$M", mountDir), "$T", tmp.path());
  }
  // The calls of `tool`, one argument each, written as in expand().
  Strings argsOf(const ToolDoubles& doubles, const std::string& tool) const {
    Strings args;
    for (const Strings& call : doubles.argsOf(tool)) {
      args.push_back(replaced(replaced(call.size() == 1 ? call[0] : "?", mountDir, "$M"),
                              tmp.path(), "$T"));
    }
    return args;
  }
  void makeDirs(const Strings& paths) {
    for (const std::string& path : paths) runTool("mkdir -p " + shellQuote(expand(path)));
  }

  TempDir tmp;
  // Full of shell syntax: it must reach each tool as one argument.
  const std::string mountDir = tmp / "m/h 'q' $(touch m1);`touch m2`";
};

}  // namespace

TEST_F(MountPointCleanup, OneRecordTriesBindPathDeviceAndMountPathInTurn) {
  makeDirs({"$T/root/home", "$T/root/outside", "$T/outside"});
  ASSERT_EQ(symlink("../outside", (tmp / "root/escape").c_str()), 0);
  ASSERT_EQ(symlink("root", (tmp / "link").c_str()), 0);
  const std::string dev = "/dev/kqblk/d1p2";
  const struct {
    const char *bindPath, *guestPath, *device;
    std::vector<std::pair<const char*, int>> failing;  // umount argument glob, status
    Strings umounts;
    int result;
    const char* failedPath;  // of the last failed umount, in `error`
  } cases[] = {
      {"$T/root//home", "//home", dev.c_str(), {}, {"$T/root/home", dev}, 0, ""},
      {"$T/root//home", "//home", dev.c_str(), {{"/dev/*", 32}}, {"$T/root/home", dev, "$M"}, 0,
       "/dev/kqblk/d1p2"},
      // Status 32 to the end, but nothing is mounted on the directories.
      {"$T/root//home", "//home", dev.c_str(), {{"*", 32}},
       {"$T/root/home", dev, "$M", "$T/root/home", dev, "$M", "$T/root/home", dev, "$M"}, 0, "$M"},
      {"", "/MountDir-1", dev.c_str(), {{"*", 1}}, {dev, "$M", dev, "$M", dev, "$M"}, 1, "$M"},
      // A guest link that leads out of the root is followed inside it.
      {"$T/root//escape", "//escape", dev.c_str(), {}, {"$T/root/outside", dev}, 0, ""},
      // Without the guest path in it, a bind path may not pass a link at all.
      {"$T/link/home", "/MountDir-2", dev.c_str(), {}, {dev}, 0, ""},
      {"$T/root/home", "/MountDir-2", dev.c_str(), {}, {"$T/root/home", dev}, 0, ""},
      {"$T/root//missing", "//missing", "-a", {}, {"$M"}, 0, ""},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(++index);
    makeDirs({"$M"});
    ToolDoubles tools({"umount", "fuser", "kill"});
    for (const auto& [glob, status] : c.failing) tools.on("umount", glob, "", "busy", status);
    kqblk_mountpoint record;
    record.bindPath = expand(c.bindPath);
    record.guestPath = c.guestPath;
    record.device = c.device;
    record.mountPath = mountDir;
    EXPECT_EQ(cleanup_one_mtpt(record), c.result);
    EXPECT_EQ(argsOf(tools, "umount"), c.umounts);
    EXPECT_EQ(record.error, *c.failedPath ? "Failed to run umount " +
                                               KqShellQuote(expand(c.failedPath)) + ":err:busy\nout:"
                                         : "");
    EXPECT_NE(access(record.mountPath.c_str(), F_OK), 0);
  }
}

TEST_F(MountPointCleanup, ListGoesChildrenFirstAndKeepsWhatFailedTwice) {
  makeDirs({"$T/r/home/u", "$T/m/a/b"});
  // device, mountPath, bindPath, guestPath
  const std::vector<std::array<const char*, 4>> records = {
      {"/dev/kqblk/a", "$T/m/a", "", "/MountDir-1"},
      {"/dev/kqblk/h", "$T/m/h", "$T/r//home", "//home"},
      {"/dev/kqblk/b", "$T/m/a/b", "", "/MountDir-2"},
      {"/dev/kqblk/u", "$T/m/u", "$T/r//home/u", "//home/u"},
  };
  for (bool bFails : {false, true}) {
    SCOPED_TRACE(bFails);
    ToolDoubles tools({"umount", "fuser", "kill"});
    if (bFails) tools.on("umount", "*b", "", "busy", 1);
    std::list<kqblk_mountpoint> list;
    for (const auto& [device, mountPath, bindPath, guestPath] : records) {
      list.emplace_back();
      list.back().device = device;
      list.back().mountPath = expand(mountPath);
      list.back().bindPath = expand(bindPath);
      list.back().guestPath = guestPath;
    }
    KqLogCapture log;
    EXPECT_EQ(KqBlkDiskUtils::cleanupMountPoints("unused", list), 0);
    Strings expected = {"$T/r/home/u", "/dev/kqblk/u", "$T/r/home", "/dev/kqblk/h"};
    for (int pass = 0; pass < (bFails ? 2 : 1); ++pass) {
      for (int attempt = 0; attempt < (bFails ? 3 : 1); ++attempt) {
        expected.push_back("/dev/kqblk/b");
        if (bFails) expected.push_back("$T/m/a/b");
      }
      if (pass == 0) expected.push_back("/dev/kqblk/a");
    }
    EXPECT_EQ(argsOf(tools, "umount"), expected);
    ASSERT_EQ(list.size(), bFails ? 1u : 0u);
    EXPECT_EQ(log.find("[1] attempt to cleanup mount points. size [1]").size(), bFails);
    EXPECT_EQ(log.find("[2] attempt to cleanup mount points. size [1]").size(), bFails);
    if (bFails) {
      EXPECT_EQ(list.front().error, "Failed to run umount " + KqShellQuote(tmp / "m/a/b") +
                                        ":err:busy\nout:");
    }
  }
}

TEST_F(MountPointCleanup, KillsListedHoldersButNeverItselfInitOrKernelThreads) {
  SleepingChild a(tmp.path()), b(tmp.path());
  // kthreadd, where this process can see kernel threads at all.
  const std::string kthread = fileText("/proc/2/comm") == "kthreadd\n" ? " 2" : "";
  const struct {
    const char* listed;  // fuser's output, process ids written <self>, <kt>, <a>, <b>
    int fuserStatus, killStatus, result;
    const char* killed;  // kill's arguments, or none
    const char* line;
  } cases[] = {
      {"", 1, 0, 1, nullptr, "Failed to run fuser "},
      {" junk -5 0 0x10 3.5 12345678901\n", 0, 0, 1, nullptr, "No process id in the output"},
      {" <self>\n", 0, 0, 0, nullptr, "ODS holding mount point [$M]. Ignore"},
      {" <self> <a>", 0, 0, 0, nullptr, "ODS holding mount point [$M]. Ignore"},
      {" <a> <self> <b>", 0, 0, 0, "-9 <a> <b>", "Killed holding process [<a>]"},
      {" 1<kt> <a>", 0, 0, 0, "-9 <a>", "found process [1] holding mount point [$M]. kill it"},
      {" 1<kt>", 0, 0, 1, nullptr, "Failed to kill holding process [1]"},
      {" <a>", 0, 1, 1, "-9 <a>", "Failed to kill holding process [<a>]"},
  };
  auto ids = [&](std::string text) {
    for (const auto& [name, id] : {std::pair<std::string, std::string>{"<self>", std::to_string(getpid())},
                                   {"<kt>", kthread}, {"<a>", std::to_string(a.pid())},
                                   {"<b>", std::to_string(b.pid())}}) {
      text = replaced(text, name, id);
    }
    return expand(text);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.listed);
    ToolDoubles tools({"fuser", "kill"});
    tools.on("fuser", "*", ids(c.listed), "", c.fuserStatus);
    tools.on("kill", "*", "", "", c.killStatus);
    KqLogCapture log;
    EXPECT_EQ(kill_holding_proc(mountDir), c.result);
    EXPECT_EQ(argsOf(tools, "fuser"), Strings{"$M"});
    Strings killed;
    for (const std::string& call : tools.trace()) {
      if (call.rfind("kill ", 0) == 0) killed.push_back(call);
    }
    EXPECT_EQ(killed, c.killed ? Strings{ids(std::string("kill  ") + c.killed)} : Strings{});
    EXPECT_EQ(log.find(ids(c.line)).size(), 1u);
  }
}
