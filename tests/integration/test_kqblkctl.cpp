// kqblkctl as an administrator runs it (root): mount in the background, read
// the guest's files, stop it; sweep up after a killed one; refuse bad input
// with one line, a non-zero status and nothing left behind.
#include <signal.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>

#include "integration/discovery_devices.h"
#include "kq_process.h"
#include "support/child_process.h"
#include "support/guest_image.h"
#include "support/linux_guest.h"
#include "support/loop_device.h"
#include "support/request_leftovers.h"
#include "support/run_tool.h"
#include "support/test_util.h"

namespace {

struct Ran {
  int status;
  std::string out, err;
};

// `prefix`: shell words in front, such as environment settings.
Ran kqblkctl(const std::string& args, const std::string& prefix = "") {
  Ran r;
  r.status = KqProcess::system(prefix + KQBLK_CTL + " " + args, &r.out, &r.err, 600, false);
  return r;
}

// A `kqblkctl mount` serving in the background, and the guest tree it printed.
struct Mounted {
  explicit Mounted(const std::vector<std::string>& args) : ctl(withCtl(args)) {
    for (std::string line; !(line = ctl.readLine()).empty();) {
      lines.push_back(line);
      if (line.rfind("tree: ", 0) == 0) {
        tree = line.substr(6, line.size() - 7);
        break;
      }
      const size_t json = line.find("\"tree\":\"");
      if (line.rfind("{", 0) == 0 && json != std::string::npos) {
        tree = line.substr(json + 8, line.find('"', json + 8) - json - 8);
        break;
      }
    }
    if (tree.empty()) throw std::runtime_error("kqblkctl mount printed no tree");
  }
  // A test that failed half-way still gets everything taken down.
  ~Mounted() {
    if (ctl.running()) {
      ctl.signal(SIGTERM);
      ctl.wait();
    }
  }
  static std::vector<std::string> withCtl(std::vector<std::string> args) {
    args.insert(args.begin(), {KQBLK_CTL, "mount"});
    return args;
  }
  Child ctl;
  std::string tree;
  std::vector<std::string> lines;  // what it printed
};

class Kqblkctl : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    // The build tree's driver script, not the one an installation would have.
    setenv("KQBLK_DRIVER_SCRIPT", KQBLK_UNIX_DRV, 1);
    // The log stays with the test, not in the machine's /var/log.
    config = std::make_unique<ScopedConfig>("[Log]\nsKqBlkLogFile = " + (dir / "kqblkctl.log") + "\n");
  }
  TempDir dir;
  std::unique_ptr<ScopedConfig> config;
};

}  // namespace

TEST_F(Kqblkctl, MountServesTheGuestTreeUntilSigtermThenLeavesNothing) {
  LinuxGuest guest(dir.path());
  const std::string root = dir / "root";
  {
    Mounted m({"--id", "ctlt", "--root", root, "--store", dir / "store", guest.system.path(),
               guest.data.path()});
    EXPECT_EQ(readFile(m.tree + "/etc/hostname").size(), 12u);
    EXPECT_EQ(readFile(m.tree + "/home/admin/notes.txt").size(), 8u);  // placed by fstab
    for (const std::string& own : {root, dir / "store"}) {
      struct stat st;
      EXPECT_TRUE(::stat(own.c_str(), &st) == 0 && (st.st_mode & 07777) == 0700) << own;
    }
    m.ctl.signal(SIGTERM);
    const int status = m.ctl.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(requestLeftovers("ctlt", root), "");
  EXPECT_FALSE(exists(dir / "store"));
}

// A disk of this machine that nothing uses is read in place: no device of
// ours, its partition by the kernel's name (loopNp1), and the disk is left
// as it was, unmounted.
TEST_F(Kqblkctl, AnIdleDiskOfThisMachineIsMountedInPlace) {
  DiskImage image(dir / "own.img", 16);
  image.partition("label: dos\ntype=83\n");
  LoopDevice own(image.path());
  own.addPartitions();
  fillFileSystem(own.partitionPath(1), {"ext4", "", ""}, {{"etc/hostname", "own\n"}});
  const std::string root = dir / "root";
  {
    Mounted m({"--id", "ctlown", "--root", root, "--store", dir / "store", "guest:" + own.path()});
    EXPECT_EQ(readFile(m.tree + "/etc/hostname").size(), 4u);
    m.ctl.signal(SIGTERM);
    EXPECT_EQ(m.ctl.wait(), 0);
  }
  EXPECT_EQ(requestLeftovers("ctlown", root), "");
  EXPECT_EQ(runTool("findmnt -n -S " + shellQuote(own.partitionPath(1)) + " || true"), "");
}

// The table is for people: devices by disk number, paths as written, a
// failed mount's real cause beside its fixed text. The JSON keeps the
// records' own texts and carries the shown ones beside them.
TEST_F(Kqblkctl, TheTableShowsShortDevicesPlainPathsAndRealCausesTheJsonBoth) {
  LinuxGuest guest(dir.path());
  std::string table;
  {
    Mounted m({"--id", "ctltab", "--root", dir / "root", "--store", dir / "store", guest.system.path(),
               guest.data.path()});
    for (const std::string& line : m.lines) table += line;
  }
  std::string json;
  {
    Mounted m({"--json", "--id", "ctltab", "--root", dir / "root", "--store", dir / "store",
               guest.system.path(), guest.data.path()});
    for (const std::string& line : m.lines) json += line;
  }
  const struct {
    const char* what;
    const std::string& text;
    std::string part;
    bool there;
  } cases[] = {
      {"BootRow", table, "\ndisk1p1  /boot  ", true},
      {"SrvOnTheSecondDisk", table, "\ndisk2p1  ", true},
      {"NoDoubleSlash", table, "//", false},
      {"NoFullNode", table, "\n/dev/kqblk/", false},
      {"Legend", table, "\ndisk2: /dev/kqblk/ctltab-", true},
      {"LegendSource", table, " (" + guest.data.path() + ")\n", true},
      {"VfatCause", table, "unknown filesystem type 'vfat' (Failed to mount devices. 1:", true},
      {"JsonGuestPath", json, "\"guestPath\":\"//boot\",\"guestPathShown\":\"/boot\"", true},
      {"JsonDevice", json, "\"device\":\"/dev/kqblk/ctltab-", true},
      {"JsonDeviceShown", json, "\"deviceShown\":\"disk1p1\"", true},
      {"JsonCause", json, "\"cause\":\"unknown filesystem type 'vfat'\"", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.text.find(c.part) != std::string::npos, c.there) << c.what << ":\n" << c.text;
  }
  EXPECT_EQ(requestLeftovers("ctltab", dir / "root"), "");
}

// What the sweep takes down, and what it leaves, is the crash-sweep tests'
// matter; here, what kqblkctl adds: the request's own directories, mounts
// told by device number in the listing, and a line for each thing removed
// (the library's own chatter kept out). One small disk each will do.
TEST_F(Kqblkctl, CleanupAfterSigkillLeavesNothingWhileALiveMountServes) {
  DiskImage deadImage(dir / "dead.img", 16), liveImage(dir / "live.img", 16);
  fillFileSystem(deadImage.path(), {"ext4", "", ""}, {{"etc/hostname", "dead\n"}});
  fillFileSystem(liveImage.path(), {"ext4", "", ""}, {{"etc/hostname", "live\n"}});
  Mounted live({"--id", "ctllive", "--root", dir / "live", "--store", dir / "store-live", liveImage.path()});
  std::string deadTree;
  {
    Mounted dead({"--id", "ctldead", "--root", dir / "dead", "--store", dir / "store-dead", deadImage.path()});
    deadTree = dead.tree;
    dead.ctl.kill();
  }
  const auto nodeOf = [](const std::string& id) {
    std::istringstream names(runTool("ls /dev/kqblk"));
    for (std::string name; names >> name;) {
      if (name.rfind(id + "-", 0) == 0) return "/dev/kqblk/" + name;
    }
    return std::string();
  };
  const std::string node = nodeOf("ctldead"), liveNode = nodeOf("ctllive");
  ASSERT_FALSE(node.empty());
  ASSERT_FALSE(liveNode.empty());
  // Anyone may name a driver node as the source of a mount of their own:
  // neither the listing nor the sweep takes it for the driver's, and its
  // holder lives on.
  const std::string impostor = dir / "impostor";
  auto impostorMount = std::make_unique<ScopedMount>(node, impostor, "size=1m", "tmpfs");
  std::ofstream(impostor + "/file") << "x\n";
  Child holder({"/bin/sh", "-c", "exec 3<\"$0\"; echo open; exec sleep 600", impostor + "/file"});
  ASSERT_EQ(holder.readLine(), "open\n");
  const Ran listed = kqblkctl("list --json");
  EXPECT_EQ(listed.out.rfind("[{\"device\":", 0), 0u) << "not JSON alone: " << listed.out;
  EXPECT_EQ(listed.out.find(impostor), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find(dir / "live/"), std::string::npos) << listed.out;
  const Ran swept = kqblkctl("cleanup");
  EXPECT_EQ(swept.status, 0) << swept.err;
  const Ran again = kqblkctl("cleanup");
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_TRUE(holder.running());
  EXPECT_NE(runTool("cat /proc/self/mounts").find(" " + impostor + " tmpfs "), std::string::npos);
  impostorMount.reset();
  EXPECT_EQ(requestLeftovers("ctldead", dir / "dead/"), "") << swept.out;
  EXPECT_FALSE(exists(dir / "store-dead")) << "its store directory";
  // What each cleanup said on standard output (`shown`), or said nowhere.
  // Other tests' requests may be served beside ours: the count of those
  // left alone is theirs too.
  const std::string leftAlone = "; left alone ";
  struct Said {
    const char* what;
    const Ran& ran;
    std::string text;
    bool shown;
  };
  const Said said[] = {
      {"TheDeadMount", swept, "unmounted " + deadTree + "\n", true},
      {"TheDeadDevice", swept, "destroyed " + node + "\n", true},
      {"ItsMountRoot", swept, "removed " + (dir / "dead") + " (the mount root of request ctldead)\n", true},
      {"ItsStore", swept, "removed " + (dir / "store-dead") + " (the store directory of request ctldead)\n", true},
      {"TheCount", swept, "\ncleanup: removed 1 mount, 1 device, 2 directories" + leftAlone, true},
      {"TheLiveDevice", swept,
       liveNode + ": left alone, served by process " + std::to_string(live.ctl.pid()) + "\n", true},
      {"TheLiveMount", swept, live.tree, false},
      {"TheImpostorsMount", swept, impostor, false},
      {"TheLibrarysDeviceListing", swept, "Adding device", false},
      {"TheLibrarysLog", swept, " DEBUG(", false},
      {"NothingTwice", again, "cleanup: removed nothing" + leftAlone, true},
      {"NoDeviceTwice", again, node, false},
  };
  for (const Said& s : said) {
    if (s.shown) {
      EXPECT_NE(s.ran.out.find(s.text), std::string::npos) << s.what << ": " << s.ran.out;
    } else {
      EXPECT_EQ((s.ran.out + s.ran.err).find(s.text), std::string::npos)
          << s.what << ": " << s.ran.out << s.ran.err;
    }
  }
  EXPECT_EQ(readFile(live.tree + "/etc/hostname").size(), 5u);
  live.ctl.signal(SIGTERM);
  EXPECT_EQ(live.ctl.wait(), 0);
  EXPECT_EQ(requestLeftovers("ctllive", dir / "live"), "");
}

// Each bad input: one line on standard error, a non-zero status, nothing left.
TEST_F(Kqblkctl, BadInputIsRefusedWithOneLineAndNothingLeft) {
  DiskImage blank(dir / "blank.img", 16);
  const std::string empty = dir / "empty.img";
  std::ofstream(empty).close();
  const std::string file = dir / "file";
  std::ofstream(file) << "x";
  const std::string readOnly = dir / "ro";
  const ScopedMount readOnlyMount("tmpfs", readOnly, "ro,size=1m", "tmpfs");
  // What another user could have planted: a link, their directory, one they may write.
  const std::string theirs = dir / "theirs", shared = dir / "shared";
  ::mkdir(theirs.c_str(), 0700);
  ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  ::mkdir(shared.c_str(), 0700);
  ::chmod(shared.c_str(), 0770);
  ASSERT_EQ(::symlink(theirs.c_str(), (dir / "link").c_str()), 0);
  // Disks of this machine that something here uses are not ours to read:
  // one mounted whole, one with a partition mounted; an idle one is.
  DiskImage wholeImage(dir / "whole.img", 16), partedImage(dir / "parted.img", 16);
  makeFileSystem(wholeImage.path(), {"ext4", "", ""});
  partedImage.partition("label: dos\nsize=8M, type=83\ntype=83\n");
  LoopDevice whole(wholeImage.path()), parted(partedImage.path()), idle(blank.path());
  parted.addPartitions();
  makeFileSystem(parted.partitionPath(2), {"ext4", "", ""});
  const ScopedMount wholeMount(whole.path(), dir / "whole", "ro");
  const ScopedMount partitionMount(parted.partitionPath(2), dir / "partition", "ro");
  struct Case {
    const char* name;
    std::string args;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {"MissingImage", dir / "missing.img", 2, "No such file or directory"},
      {"DirectoryAsImage", dir.path(), 2, "is a directory"},
      {"ZeroLengthImage", empty, 2, "is empty"},
      {"NothingToMount", blank.path(), 2, "nothing on the disks could be mounted"},
      {"GuestDiskMounted", "guest:" + whole.path(), 2, whole.path() + ": in use on this machine"},
      {"GuestDiskWithAPartitionMounted", "guest:" + parted.path(), 2, "in use on this machine"},
      {"GuestDiskIdle", "guest:" + idle.path(), 2, "nothing on the disks could be mounted"},
      {"GuestFileNotADisk", "guest:" + file, 2, "not a block device"},
      {"RootIsAFile", "--root " + file + " " + blank.path(), 2, "not a directory"},
      {"RootOnAReadOnlyFileSystem", "--root " + readOnly + "/r " + blank.path(), 2, "Read-only file system"},
      {"UnknownOption", "--frobnicate " + blank.path(), 2, "usage:"},
      {"UnknownFormat", "--format qcow3 " + blank.path(), 2, "qcow3: not an image format"},
      {"FormatAfterTheLastDisk", blank.path() + " --format qcow2", 2, "no DISK follows it"},
      {"StoreThroughALink", "--store " + dir / "link/s " + blank.path(), 2, "link is a symbolic link"},
      {"StoreInAnotherUsersDirectory", "--store " + theirs + "/s " + blank.path(), 2, "theirs is owned by uid 65534"},
      {"RootInAGroupWritableDirectory", "--root " + shared + "/r " + blank.path(), 2, "shared is writable by group"},
      {"MissingKeyFile", "--key-file " + dir / "no-key " + blank.path(), 2, "no-key: No such file or directory"},
      {"EmptyKeyFile", "--key-file " + empty + " " + blank.path(), 2, ": empty"},
  };
  for (const Case& c : cases) {
    const Ran r = kqblkctl("mount --id bad --store " + shellQuote(dir / "store") + " " + c.args);
    EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.name << ": " << r.err;
    EXPECT_EQ(requestLeftovers("bad", dir / "root-of-bad"), "") << c.name;
    EXPECT_EQ(runTool("find " + shellQuote(theirs) + " " + shellQuote(shared) + " -mindepth 1"), "") << c.name;
  }
}

TEST_F(Kqblkctl, ASecondMountOfTheSameIdOrRootIsRefused) {
  GuestImage image(dir / "guest.img");
  const std::string root = dir / "root";
  Mounted first({"--id", "ctlone", "--root", root, "--store", dir / "store", image.image.path()});
  const Ran sameId = kqblkctl("mount --id ctlone --root " + shellQuote(dir / "other") + " " +
                              shellQuote(image.image.path()));
  EXPECT_EQ(sameId.status, 2);
  EXPECT_NE(sameId.err.find("in use"), std::string::npos) << sameId.err;
  const Ran sameRoot = kqblkctl("mount --id ctltwo --root " + shellQuote(root) + " " +
                                shellQuote(image.image.path()));
  EXPECT_EQ(sameRoot.status, 2);
  EXPECT_NE(sameRoot.err.find("in use"), std::string::npos) << sameRoot.err;
  EXPECT_EQ(requestLeftovers("ctltwo", dir / "other"), "");
  EXPECT_EQ(readFile(first.tree + "/etc/hostname").size(), 6u);
  first.ctl.signal(SIGTERM);
  EXPECT_EQ(first.ctl.wait(), 0);
}

// A guest's names reach the table, but never a terminal's control
// sequences: a root subvolume named with an escape is shown as \x1b.
TEST_F(Kqblkctl, GuestNamesInTheTableCarryNoControlCharacters) {
  PhonyVolume btrfs{{"btrfs", "", ""}};
  btrfs.fstabName = "UUID";
  btrfs.subvolumes = {{"r\x1b[2Jx", "/", {{"etc/hostname", "evil\n"}, {"dev/", ""}}}};
  PhonyGuest guest(dir.path(), {{{"escape.img", 128, "", {{"", btrfs}}}}});
  Mounted m({"--id", "ctlesc", "--root", dir / "root", "--store", dir / "store", guest.paths()[0]});
  std::string table;
  for (const std::string& line : m.lines) table += line;
  EXPECT_EQ(table.find('\x1b'), std::string::npos) << table;
  EXPECT_NE(table.find("(/r\\x1b[2Jx)"), std::string::npos) << table;
  EXPECT_EQ(fileText(m.tree + "/etc/hostname"), "evil\n");
  m.ctl.signal(SIGTERM);
  EXPECT_EQ(m.ctl.wait(), 0);
  EXPECT_EQ(requestLeftovers("ctlesc", dir / "root"), "");
}

// A file system damaged beyond what fsck repairs keeps its reason in its
// record; the rest of the disk still mounts and is served.
TEST_F(Kqblkctl, ADamagedFileSystemCarriesItsReasonTheRestMounts) {
  GuestImage image(dir / "guest.img");
  image.image.fillRandom(2048 * 512, 163840 * 512, 7);  // all of the ext4 partition
  Mounted m({"--id", "ctldamaged", "--root", dir / "root", "--store", dir / "store", image.image.path()});
  std::string table;
  for (const std::string& line : m.lines) table += line;
  EXPECT_NE(table.find("No valid file system is found"), std::string::npos) << table;
  EXPECT_NE(table.find("skipped  no file system"), std::string::npos) << "no report line: " << table;
  EXPECT_EQ(readFile(m.tree + "/MountDir-2/docs/readme.txt").size(), 4u);
  m.ctl.signal(SIGTERM);
  EXPECT_EQ(m.ctl.wait(), 0);
  EXPECT_EQ(requestLeftovers("ctldamaged", dir / "root"), "");
}

// A stop while discovery runs, and a store on a full file system: a
// non-zero status and nothing left.
TEST_F(Kqblkctl, StoppedDuringDiscoveryOrOutOfStoreSpaceLeavesNothing) {
  GuestImage image(dir / "guest.img");
  {
    // Discovery pauses while this marker exists, so the stop lands in it.
    const std::string marker = "/tmp/KQBLKDISKUTIL_BLKDEVREADY.sleep";
    std::ofstream(marker).close();
    const ScopeExit removeMarker([&] { ::unlink(marker.c_str()); });
    Child ctl({KQBLK_CTL, "mount", "--id", "ctlstop", "--root", dir / "stop", "--store", dir / "store", image.image.path()});
    for (int i = 0; i < 100 && requestLeftovers("ctlstop", dir / "stop").find("device") == std::string::npos; ++i) {
      ::usleep(100000);
    }
    ::sleep(1);
    ctl.signal(SIGTERM);
    ::unlink(marker.c_str());
    const int status = ctl.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  }
  EXPECT_EQ(requestLeftovers("ctlstop", dir / "stop"), "");

  const std::string full = dir / "full";
  const ScopedMount fullMount("tmpfs", full, "size=1m", "tmpfs");
  runTool("dd if=/dev/zero of=" + shellQuote(full + "/filler") + " bs=64k 2>/dev/null || true");
  const Ran r = kqblkctl("mount --id ctlfull --root " + shellQuote(dir / "fullroot") + " --store " +
                         shellQuote(full + "/store") + " " + shellQuote(image.image.path()));
  EXPECT_NE(r.status, 0) << r.err;
  EXPECT_EQ(requestLeftovers("ctlfull", dir / "fullroot"), "") << r.err;
}

// Out of memory while the volume groups are looked for (pvs answers without
// end, the data limit stops the growth): a failure status, and the devices
// and mounts go as with any other failure.
TEST_F(Kqblkctl, AnyFailureDuringDiscoveryLeavesNothing) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "AddressSanitizer reserves its shadow memory beyond any data limit";
#endif
  GuestImage image(dir / "guest.img");
  const std::string bin = dir / "bin";
  ::mkdir(bin.c_str(), 0755);
  std::ofstream(bin + "/pvs") << "#!/bin/sh\nexec cat /dev/zero\n";
  ::chmod((bin + "/pvs").c_str(), 0755);
  const Ran r = kqblkctl("mount --id ctloom --root " + shellQuote(dir / "root") + " --store " +
                             shellQuote(dir / "store") + " " + shellQuote(image.image.path()),
                         "KQBLK_TOOL_PATH=" + shellQuote(bin) + ":/usr/sbin:/usr/bin:/sbin:/bin prlimit --data=768000000 ");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("discovery failed: finding the guest's volume groups failed: out of memory"),
            std::string::npos) << r.err;
  EXPECT_EQ(requestLeftovers("ctloom", dir / "root"), "") << r.err;
  if (r.status != 1) kqblkctl("cleanup");
}

// The main thread held in a ptrace stop when SIGTERM comes, as it is
// between its last look for a stop and its wait: the kernel hands the
// signal to any thread that does not block it. It must still stop promptly.
TEST_F(Kqblkctl, ASigtermTheMainThreadCannotTakeAtOnceStillStopsIt) {
  DiskImage image(dir / "disk.img", 16);
  Child ctl({KQBLK_CTL, "expose", "--store", dir / "store", "--prefix", "ctlsig-", image.path()});
  for (std::string line; (line = ctl.readLine()).rfind("ready", 0) != 0;) ASSERT_NE(line, "");
  ::usleep(300000);  // waiting by now
  ASSERT_EQ(::ptrace(PTRACE_SEIZE, ctl.pid(), nullptr, nullptr), 0) << std::strerror(errno);
  ASSERT_EQ(::ptrace(PTRACE_INTERRUPT, ctl.pid(), nullptr, nullptr), 0);
  ::waitpid(ctl.pid(), nullptr, __WALL);
  ctl.signal(SIGTERM);
  ::usleep(200000);
  ::ptrace(PTRACE_DETACH, ctl.pid(), nullptr, nullptr);
  for (int i = 0; i < 200 && ctl.running(); ++i) ::usleep(100000);
  const bool stopped = !ctl.running();
  EXPECT_TRUE(stopped) << "the SIGTERM was lost";
  if (!stopped) {
    ctl.signal(SIGTERM);  // a second one still takes it down
    ctl.wait();
  }
  EXPECT_EQ(requestLeftovers("ctlsig", dir / "none"), "");
}

// mount --write-back over a btrfs guest: its change reaches the source, with
// the fsid and label it had, not the ones the take-over gave it. When the
// guest's identity cannot be put back (btrfstune refuses the old fsid), the
// disk is not written back at all and the status and a line say so.
TEST_F(Kqblkctl, WriteBackCarriesTheGuestsChangeNotItsNewIdentity) {
  const std::string bin = dir / "bin";
  ::mkdir(bin.c_str(), 0755);
  std::ofstream(bin + "/btrfstune")
      << "#!/bin/sh\ncase \" $* \" in *' -U '*) echo 'ERROR: refused' >&2; exit 1;; esac\n"
         "exec /usr/bin/btrfstune \"$@\"\n";
  ::chmod((bin + "/btrfstune").c_str(), 0755);
  struct Case {
    const char* name;
    bool tuneRefused;
  };
  for (const Case& c : {Case{"Restored", false}, Case{"IdentityRefused", true}}) {
    SCOPED_TRACE(c.name);
    DiskImage image(dir / "btrfs.img", 128);
    fillFileSystem(image.path(), {"btrfs", "guestfs", ""}, {{"notes.txt", "as found\n"}});
    const std::string uuid = blkidValue(image.path(), "UUID");
    if (c.tuneRefused) setenv("KQBLK_TOOL_PATH", (bin + ":/usr/sbin:/usr/bin:/sbin:/bin").c_str(), 1);
    // Its lines on standard error too, to be read.
    Child ctl({"/bin/sh", "-c", "exec \"$0\" mount --write-back --id ctlwb --root \"$1\" --store \"$2\" \"$3\" 2>&1",
               KQBLK_CTL, dir / "root", dir / "store", image.path()});
    unsetenv("KQBLK_TOOL_PATH");
    std::string tree, said;
    for (std::string line; tree.empty() && !(line = ctl.readLine()).empty();) {
      said += line;
      if (line.rfind("tree: ", 0) == 0) tree = line.substr(6, line.size() - 7);
    }
    EXPECT_NE(tree, "") << said;
    if (!tree.empty()) writeFile(tree + "/notes.txt", {'c', 'h', 'a', 'n', 'g', 'e', 'd', '\n'});
    ctl.signal(SIGTERM);
    for (std::string line; !(line = ctl.readLine()).empty();) said += line;
    const int status = ctl.wait();
    EXPECT_EQ(requestLeftovers("ctlwb", dir / "root"), "");
    EXPECT_EQ(blkidValue(image.path(), "UUID"), uuid);
    EXPECT_EQ(blkidValue(image.path(), "LABEL"), "guestfs");
    TempDir look;
    ScopedMount mounted(image.path(), look.path(), "ro");
    const std::vector<char> notes = readFile(look / "notes.txt");
    if (c.tuneRefused) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << status;
      EXPECT_NE(said.find(image.path() + ": the changes were not written back: "), std::string::npos)
          << said;
      EXPECT_EQ(std::string(notes.begin(), notes.end()), "as found\n");
    } else {
      EXPECT_EQ(status, 0) << said;
      EXPECT_EQ(std::string(notes.begin(), notes.end()), "changed\n");
    }
  }
}
