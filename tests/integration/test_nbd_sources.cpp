// Disks whose source is NBD: images in other formats served by the reader
// plugin's own qemu-nbd, and NBD URIs, through the real driver.
#include <dirent.h>
#include <signal.h>
#include <sys/sysmacros.h>

#include <cstdlib>

#include "kq_process.h"
#include "support/child_process.h"
#include "support/driver_fixture.h"
#include "support/exposed_guest_test.h"
#include "support/loop_device.h"
#include "support/test_util.h"

using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

// This process's children running `name`: the plugin's qemu-nbd.
std::vector<pid_t> ourChildren(const std::string& name) {
  std::vector<pid_t> found;
  DIR* tasks = opendir("/proc/self/task");
  while (dirent* t = readdir(tasks)) {
    if (t->d_name[0] == '.') continue;
    std::ifstream children(std::string("/proc/self/task/") + t->d_name + "/children");
    for (pid_t pid; children >> pid;) {
      std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
      std::string command;
      if (std::getline(comm, command) && command == name) found.push_back(pid);
    }
  }
  closedir(tasks);
  return found;
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d ? readdir(d) : nullptr) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  if (d) closedir(d);
  return names;
}

void waitForPath(const std::string& path) {
  struct stat st;
  for (int i = 0; i < 1000 && ::stat(path.c_str(), &st) != 0; ++i) usleep(10000);
}

class NbdSources : public ExposedGuestTest {
 protected:
  static void SetUpTestSuite() {
    ExposedGuestTest::SetUpTestSuite();
    if (!guest) return;
    const std::string raw = shellQuote(guest->image.path());
    const std::string at = shellQuote(suiteDir->path()) + "/";
    runTool("qemu-img convert -O qcow2 " + raw + " " + at + "base.qcow2");
    runTool("qemu-img create -q -f qcow2 -b base.qcow2 -F qcow2 " + at + "top.qcow2");
    runTool("qemu-img convert -O vmdk " + raw + " " + at + "guest.vmdk");
    runTool("qemu-img convert -O vhdx " + raw + " " + at + "guest.vhdx");
    runTool("ln " + at + "guest.vmdk " + at + "guest-vmdk.bin");  // named as raw
  }
  void SetUp() override {
    ExposedGuestTest::SetUp();
    if (IsSkipped()) return;
    // The plugin's private directories go here, to be seen gone.
    mkdir(runDir.c_str(), 0700);
    setenv("TMPDIR", runDir.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TMPDIR");
    ExposedGuestTest::TearDown();
  }
  void expectFilesOf(const ExposedDisk& e) {
    ScopedMount root(e.devPath + "p1", dir / "p1", "ro");
    for (const auto& file : guest->files[1]) {
      EXPECT_EQ(readFile(root.path() + "/" + file.first), file.second) << file.first;
    }
  }
  void expectNothingLeft() {
    EXPECT_THAT(ourChildren("qemu-nbd"), IsEmpty());
    EXPECT_THAT(entries(runDir), IsEmpty());
  }

  const std::string runDir = dir / "run";
};

}  // namespace

TEST_F(NbdSources, ImagesInOtherFormatsAndNbdUrisReadByteExactAndLeaveNothing) {
  const std::string socket = dir / "nbdkit.sock";
  const std::string pidFile = dir / "nbdkit.pid";  // written once it listens
  Child nbdkit({"/usr/bin/nbdkit", "-f", "-r", "-U", socket, "-P", pidFile, "file",
                guest->image.path()});
  waitForPath(pidFile);
  const struct {
    std::string path;
    std::string format;  // the caller's; empty: by the name
    size_t qemuNbds;     // the plugin's own, ended with the disk
  } sources[] = {{*suiteDir / "top.qcow2", "", 1},
                 {*suiteDir / "guest.vmdk", "", 1},
                 {*suiteDir / "guest-vmdk.bin", "vmdk", 1},
                 {*suiteDir / "guest.vhdx", "", 1},
                 {"nbd+unix:///?socket=" + socket, "", 0}};
  for (const auto& source : sources) {
    SCOPED_TRACE(source.path);
    {
      ExposedDisk e(source.path, 0, dir.path());
      e.context.readerOptions.format = source.format;
      e.expose();
      EXPECT_EQ(ourChildren("qemu-nbd").size(), source.qemuNbds);
      expectFilesOf(e);
    }
    expectNothingLeft();
  }
}

// A raw image holds what the guest wrote, here a qcow2 header whose backing
// file is a file of this machine: the device shows the image's own bytes.
TEST_F(NbdSources, ARawImageIsServedAsItsOwnBytesWhateverItsHeaderSays) {
  const std::string secret = dir / "secret", image = dir / "guest-disk.img";
  std::ofstream(secret) << std::string(1 << 20, 'S');
  runTool("qemu-img create -q -f qcow2 -F raw -b " + shellQuote(secret) + " " +
          shellQuote(image) + " 1M");
  ExposedDisk e(image, 0, dir.path());
  e.expose();
  EXPECT_THAT(ourChildren("qemu-nbd"), IsEmpty());
  const IoResult got = readDirect(e.devPath, 0, 4096);
  EXPECT_EQ(got.data, readFile(image, 0, 4096));
}

// Backing files may also lie in a directory the configuration names.
TEST_F(NbdSources, BackingFilesInAConfiguredImageDirectoryAreServed) {
  ScopedConfig config("[VirtualServer]\ndKqBlkImageDirs = /nonexistent:" + suiteDir->path() + "\n");
  const std::string top = dir / "top.qcow2";
  runTool("qemu-img create -q -f qcow2 -F qcow2 -b " + shellQuote(*suiteDir / "base.qcow2") + " " +
          shellQuote(top));
  ExposedDisk e(top, 0, dir.path());
  e.expose();
  expectFilesOf(e);
}

TEST_F(NbdSources, AKilledQemuNbdGivesReadersEIOWithoutAHang) {
  ExposedDisk e(*suiteDir / "top.qcow2", 0, dir.path());
  e.expose();
  const std::vector<pid_t> servers = ourChildren("qemu-nbd");
  ASSERT_EQ(servers.size(), 1u);
  kill(servers[0], SIGKILL);
  std::string err;
  EXPECT_NE(readBlockDirect(e.devPath, 50000, &err), -1) << "the read hung";
  EXPECT_THAT(err, HasSubstr("Input/output error"));
}

TEST_F(NbdSources, BadInputFailsWithOneClearErrorAndLeavesNothing) {
  const std::string at = shellQuote(dir.path()) + "/";
  const std::string socket = dir / "named.sock";
  std::unique_ptr<Child> server;  // a qemu-nbd of the test's own
  LoopDevice loop(guest->image.path(), LoopOptions{0, 0, true, ""});
  struct Case {
    const char* what;
    std::function<std::string()> make;  // the disk path
    const char* error;
  };
  const Case cases[] = {
      {"unreachable host", [] { return std::string("nbd://127.0.0.1:1/disk0"); },
       "Connection refused"},
      {"wrong export name",
       [&] {
         server.reset(new Child({"/usr/bin/qemu-nbd", "-r", "-x", "disk0", "-f", "raw", "-k",
                                 socket, guest->image.path()}));
         waitForPath(socket);
         return "nbd+unix:///other?socket=" + socket;
       },
       "other"},
      {"URI naming a key file",
       [] { return std::string("nbd://127.0.0.1/disk0?tls-psk-file=/etc/shadow"); },
       "takes no parameters"},
      {"corrupt qcow2 header",
       [&] {
         runTool("head -c 65536 " + shellQuote(*suiteDir / "base.qcow2") + " > " + at + "bad.qcow2");
         runTool("printf '\\377\\377\\377\\377' | dd of=" + at +
                 "bad.qcow2 bs=1 seek=4 conv=notrunc status=none");
         return dir / "bad.qcow2";
       },
       "qcow2"},
      {"missing backing file",
       [&] {
         runTool("qemu-img create -q -u -f qcow2 -b " + at + "gone.qcow2 -F qcow2 " + at +
                 "orphan.qcow2 400M");
         return dir / "orphan.qcow2";
       },
       "backing file"},
      {"backing file outside the image's directory",
       [&] {
         runTool("qemu-img create -q -f qcow2 -F qcow2 -b " + shellQuote(*suiteDir / "base.qcow2") +
                 " " + at + "outside.qcow2");
         return dir / "outside.qcow2";
       },
       "is outside the image's own directory"},
      {"backing file a link",
       [&] {
         runTool("ln -s " + shellQuote(*suiteDir / "base.qcow2") + " " + at + "link.qcow2");
         runTool("qemu-img create -q -f qcow2 -F qcow2 -b link.qcow2 " + at + "linked.qcow2");
         return dir / "linked.qcow2";
       },
       "is a symbolic link"},
      {"backing file a block device",
       [&] {
         struct stat st;
         stat(loop.path().c_str(), &st);
         mknod((dir / "disk.raw").c_str(), S_IFBLK | 0600, st.st_rdev);
         runTool("qemu-img create -q -u -f qcow2 -F raw -b disk.raw " + at + "ondevice.qcow2 1M");
         return dir / "ondevice.qcow2";
       },
       "regular file"},
      {"backing file a directory",
       [&] {
         mkdir((dir / "dir.raw").c_str(), 0700);
         runTool("qemu-img create -q -u -f qcow2 -F raw -b dir.raw " + at + "ondir.qcow2 1M");
         return dir / "ondir.qcow2";
       },
       "regular file"},
      {"backing file of no recorded format",
       [&] {
         runTool("truncate -s 1M " + at + "plain.raw");
         runTool("qemu-img create -q -f qcow2 -F raw -b plain.raw " + at + "unsure.qcow2");
         // The backing format's header extension becomes one qemu skips.
         std::fstream f(dir / "unsure.qcow2", std::ios::in | std::ios::out | std::ios::binary);
         std::string head(4096, '\0');
         f.read(&head[0], head.size());
         f.clear();
         f.seekp(static_cast<std::streamoff>(head.find("\xe2\x79\x2a\xca"))).write("\x12\x34\x56\x78", 4);
         return dir / "unsure.qcow2";
       },
       "is not recorded"},
      {"VMDK extent line with leading blanks",
       [&] {
         std::ofstream(dir / "blank.vmdk")
             << "# Disk DescriptorFile\nversion=1\nCID=12b139ee\nparentCID=ffffffff\n"
             << "createType=\"monolithicFlat\"\n\n   RW 2048 FLAT \"" << guest->image.path()
             << "\" 0\n\nddb.adapterType = \"ide\"\n";
         return dir / "blank.vmdk";
       },
       "extent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = c.make();
    ExposedDisk e(path, 0, dir.path());
    try {
      e.disk->connect();
      ADD_FAILURE() << "connected";
    } catch (const KqException& ex) {
      EXPECT_THAT(ex.getMessage(), HasSubstr(c.error));
      EXPECT_EQ(std::string(ex.getMessage()).find('\n'), std::string::npos) << ex.getMessage();
      std::printf("%s: %s\n", c.what, ex.getMessage().c_str());
    }
    server.reset();
    expectNothingLeft();
  }
}
