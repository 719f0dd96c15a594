// What a disk path names: NBD URIs we connect to or refuse, and image
// formats by their file names.


#include "kq_disk_source.h"
#include "support/test_util.h"

using ::testing::HasSubstr;
using ::testing::IsEmpty;

TEST(NbdUri, AcceptsHostsAndPlainUnixSockets) {
  for (const char* uri : {"nbd://backup-host/vm-disk0", "nbd://10.0.0.2:10809/", "nbds://host/e",
                          "nbd+unix:///disk0?socket=/run/nbd/s.sock", "nbds+unix://?socket=/s"}) {
    EXPECT_THAT(kqNbdUriProblem(uri), IsEmpty()) << uri;
  }
}

TEST(NbdUri, RefusesWhatWouldOpenLocalFilesOrRunPrograms) {
  const struct {
    const char* uri;
    const char* why;
  } cases[] = {
      {"/images/disk.img", "not an nbd"},
      {"nbd+ssh://host/e", "not an nbd"},
      {"nbd://host/e?tls-psk-file=/etc/shadow", "takes no parameters"},
      {"nbds+unix:///e?socket=/s&tls-certificates=/root", "only ?socket"},
      {"nbd+unix:///e?socket=/run/%2e%2e/s", "only ?socket"},
      {"nbd+unix:///e?socket=relative.sock", "plain absolute path"},
      {"nbd+unix:///e?socket=/run/../etc/s", "plain absolute path"},
      {"nbd+unix:///e", "needs ?socket"},
      {"nbd+unix://host/e?socket=/s", "names no host"},
      {"nbd:///e", "names no host"},
      {"nbds://user@host/e", "names a user"},
      {"nbd://host/e#x", "fragment"},
      {"nbd://host/a b", "spaces"},
  };
  for (const auto& c : cases) EXPECT_THAT(kqNbdUriProblem(c.uri), HasSubstr(c.why)) << c.uri;
}

TEST(ImageFormat, IsTheFileNamesExtensionNeverTheContent) {
  TempDir dir;
  const struct {
    const char* name;
    const char* format;
  } cases[] = {
      {"disk.qcow2", "qcow2"}, {"DISK.QCOW2", "qcow2"}, {"old.qcow", "qcow"},
      {"d.vmdk", "vmdk"},      {"d.VmDk", "vmdk"},      {"d.vhdx", "vhdx"},
      {"d.vhd", "vpc"},        {"d.vdi", "vdi"},        {"d.qed", "qed"},
      {"d.img", "raw"},        {"d.raw", "raw"},        {"qcow2", "raw"},
      {".qcow2", "raw"},       {"d.qcow2.bak", "raw"},  {"x.vmdk/disk", "raw"},
      {"qcow2-header.img", "raw"},  // holds a qcow2 header: the bytes are the guest's
  };
  std::ofstream(dir / "qcow2-header.img") << std::string("QFI\xfb\0\0\0\3", 8)
                                          << std::string(1024, 'x');
  for (const auto& c : cases) EXPECT_EQ(kqImageFormatByName(dir / c.name), c.format) << c.name;
}
