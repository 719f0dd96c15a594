// Drive letters from a guest's SYSTEM hive, made here as Windows would have
// left it on the guest's system volume.


#include "kq_hive.h"
#include "support/fifo.h"
#include "support/hive_builder.h"
#include "support/test_util.h"

using ::testing::HasSubstr;

namespace {

const uint32_t kSignature = 0x1234abcd;
const char kPartitionGuid[] = "6b7a1c3e-2f4d-4e5a-9b8c-0d1e2f3a4b5c";

DiskPartInfo mbrVolume(uint32_t signature, int64_t offset) {
  DiskPartInfo v;
  v.signature = signature;
  v.offset = offset;
  return v;
}

DiskPartInfo gptVolume(const std::string& guid) {
  DiskPartInfo v;  // left marked MBR, as the layout leaves GPT volumes
  FXMisc::ConvertStringToUuid(guid, &v.partitionGuid);
  return v;
}

class Hive : public ::testing::Test {
 protected:
  // A volume directory with the hive at `hivePath` (relative), or none.
  std::string volume(const std::string& name, const std::string& hivePath = "") {
    const std::string root = dir / name;
    mkdirs(root);
    if (!hivePath.empty()) {
      mkdirs(root + "/" + hivePath.substr(0, hivePath.rfind('/')));
      writeEmptyHive(root + "/" + hivePath);
    }
    return root;
  }
  static void mkdirs(const std::string& path) {
    for (size_t at = 1; at != std::string::npos; at = path.find('/', at + 1)) {
      ::mkdir(path.substr(0, at).c_str(), 0755);
    }
    ::mkdir(path.c_str(), 0755);
  }
  CUxError letters(std::list<std::string> mountPaths, std::list<DiskPartInfo> volumes,
                   std::list<std::string>& out, std::string& hivePath) {
    std::list<std::string> devices(volumes.size(), "/dev/kqblk/x");
    return CSysHiveParser("guid", devices, mountPaths, volumes, false).GetDriveLetters(out, hivePath);
  }
  TempDir dir;
};

}  // namespace

TEST_F(Hive, EachVolumeGetsTheLetterThatNamesItsOwnData) {
  const char path[] = "windows/SYSTEM32/Config/system";  // NTFS keeps whatever case Windows wrote
  const std::string data = volume("data");
  const std::string system = volume("system", path);
  addHiveKey(system + "/" + path, "MountedDevices",
             {{"\\??\\Volume{0c1d7e1c-0000-0000-0000-100000000000}", mbrVolumeValue(kSignature, 1 << 20)},
              {"\\DosDevices\\E:", mbrVolumeValue(kSignature, 1 << 20)},
              {"\\DosDevices\\C:", mbrVolumeValue(kSignature, 1 << 20)},
              {"\\DosDevices\\D:", gptVolumeValue(kPartitionGuid)},
              {"\\DosDevices\\..", mbrVolumeValue(kSignature, 300 << 20)},
              {"\\DosDevices\\F:", {1, 2, 3, 4, 5}}});
  struct Case {
    DiskPartInfo volume;
    const char* letter;
  };
  const Case cases[] = {
      {mbrVolume(kSignature, 1 << 20), "C"},  // C before E: several letters, the first wins
      {gptVolume(kPartitionGuid), "D"},        // by GUID although marked MBR
      {mbrVolume(kSignature, 2 << 20), ""},    // no value names it
      {mbrVolume(kSignature + 1, 1 << 20), ""},
      {mbrVolume(kSignature, 300 << 20), ""},  // ".." is no directory name
      {DiskPartInfo(), ""},
  };
  std::list<DiskPartInfo> volumes;
  std::list<std::string> expected;
  for (const Case& c : cases) {
    volumes.push_back(c.volume);
    expected.push_back(c.letter);
  }
  std::list<std::string> got;
  std::string hivePath;
  const CUxError err = letters({data, system}, volumes, got, hivePath);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(got, expected);
  EXPECT_EQ(hivePath, system + "/" + path);
}

TEST_F(Hive, MissingUnreadableOrLinkedHivesAreErrors) {
  const std::string real = volume("real", "Windows/System32/config/SYSTEM");
  addHiveKey(real + "/Windows/System32/config/SYSTEM", "MountedDevices", {});
  // A guest's link must not lead the search anywhere, not even to a hive.
  const std::string linked = volume("linked");
  ASSERT_EQ(::symlink((real + "/Windows").c_str(), (linked + "/Windows").c_str()), 0);
  const std::string garbage = volume("garbage");
  mkdirs(garbage + "/Windows/System32/config");
  std::ofstream(garbage + "/Windows/System32/config/SYSTEM") << "not a hive";
  const std::string keyless = volume("keyless", "Windows/System32/config/SYSTEM");
  const std::string huge = volume("huge");
  mkdirs(huge + "/Windows/System32/config");
  std::ofstream(huge + "/Windows/System32/config/SYSTEM").close();
  // Sparse, one byte over the limit.
  ASSERT_EQ(::truncate((huge + "/Windows/System32/config/SYSTEM").c_str(), (256 << 20) + 1), 0);
  // A FIFO in the hive's place would block whoever opens it to read.
  const std::string fifo = volume("fifo");
  mkdirs(fifo + "/Windows/System32/config");
  makeFifo(fifo + "/Windows/System32/config/SYSTEM");
  struct Case {
    std::string volume;
    const char* text;
  };
  const Case cases[] = {{volume("empty"), "no Windows/System32/config/SYSTEM"},
                        {linked, "no Windows/System32/config/SYSTEM"},
                        {garbage, "cannot read the hive"},
                        {keyless, "no key MountedDevices"},
                        {fifo, "no Windows/System32/config/SYSTEM"},
                        {huge, "larger than 268435456 bytes"}};
  for (const Case& c : cases) {
    std::list<std::string> got;
    std::string hivePath;
    CUxError err;
    EXPECT_TRUE(returnsWithoutAWriter(fifo + "/Windows/System32/config/SYSTEM", [&] {
      err = letters({c.volume}, {mbrVolume(kSignature, 1 << 20)}, got, hivePath);
    })) << c.volume;
    ASSERT_TRUE(err.IsError()) << c.volume;
    EXPECT_THAT(err.AsString(), HasSubstr(c.text)) << c.volume;
  }
  // The linked volume is passed over; the real one further on is found.
  std::list<std::string> got;
  std::string hivePath;
  EXPECT_FALSE(letters({linked, real}, {DiskPartInfo()}, got, hivePath).IsError());
  EXPECT_EQ(hivePath, real + "/Windows/System32/config/SYSTEM");
}

// A D: partition on a large disk: its offset needs all 64 bits of the value.
TEST_F(Hive, VolumesBeyondFourGibibytesGetTheirLetters) {
  const std::string system = volume("system", "Windows/System32/config/SYSTEM");
  const int64_t k4G = int64_t(1) << 32, k1G = 1 << 30;
  addHiveKey(system + "/Windows/System32/config/SYSTEM", "MountedDevices",
             {{"\\DosDevices\\C:", mbrVolumeValue(kSignature, 1 << 20)},
              {"\\DosDevices\\D:", mbrVolumeValue(kSignature, k4G + k1G)}});
  std::list<std::string> got;
  std::string hivePath;
  // The last one shares the low 32 bits of D:'s offset.
  const CUxError err = letters({system},
                               {mbrVolume(kSignature, 1 << 20), mbrVolume(kSignature, k4G + k1G),
                                mbrVolume(kSignature, k1G)},
                               got, hivePath);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(got, (std::list<std::string>{"C", "D", ""}));
}
