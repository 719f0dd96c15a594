// What a disk path names: NBD URIs we connect to or refuse, and image
// formats by their headers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "kq_disk_source.h"
#include "support/temp_dir.h"

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

TEST(ImageFormat, IsTakenFromTheHeader) {
  TempDir dir;
  const struct {
    size_t offset;
    std::string magic;
    const char* format;
  } cases[] = {
      {0, std::string("QFI\xfb\0\0\0\3", 8), "qcow2"},
      {0, std::string("QFI\xfb\0\0\0\1", 8), "qcow"},
      {0, "KDMV", "vmdk"},
      {0, "# Disk DescriptorFile\n", "vmdk"},
      {0, "vhdxfile", "vhdx"},
      {0x40, "\x7f\x10\xda\xbe", "vdi"},
      {0, "conectix", "vpc"},
      {0, std::string("QED\0", 4), "qed"},
      {0, "\xeb\x63\x90", "raw"},
  };
  for (const auto& c : cases) {
    const std::string path = dir / "image";
    std::ofstream(path, std::ios::trunc) << std::string(c.offset, '\0') << c.magic
                                         << std::string(1024, 'x');
    EXPECT_EQ(kqImageFormat(path), c.format) << c.format;
  }
  EXPECT_EQ(kqImageFormat(dir / "missing"), "");
}
