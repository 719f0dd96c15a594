// Block-id tags and partition lists read from real images: MBR with logical
// partitions, GPT, garbage and hostile tables. Device tests need root.

#include <list>

#include "kq_error.h"
#include "kqblk_blkid.h"
#include "support/disk_image.h"
#include "support/loop_device.h"
#include "support/run_tool.h"
#include "support/test_util.h"

namespace {

const char* const kMbrSignature = "5eed1234";
// Two primaries, an extended container from sector 26624 to the end of the
// 64 MiB disk, and two logical partitions inside it.
const char* const kMbrScript =
    "label: dos\n"
    "label-id: 0x5eed1234\n"
    "start=2048, size=16384, type=83\n"
    "start=18432, size=8192, type=7\n"
    "start=26624, type=5\n"
    "start=28672, size=8192, type=83\n"
    "start=38912, type=83\n";
const char* const kExt4Uuid = "0b7f3c2e-4d61-4f0a-9b3e-2c1d5e6f7a80";

const char* const kGptPart1Uuid = "11111111-2222-4333-8444-555555555555";
const char* const kGptScript =
    "label: gpt\n"
    "label-id: 6A1B2C3D-0000-4000-8000-00000000ABCD\n"
    "first-lba: 2048\n"
    "start=2048, size=32768, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, "
    "uuid=11111111-2222-4333-8444-555555555555, name=\"alpha\"\n"
    // mkfs.xfs wants more than 300 MB.
    "start=34816, size=675840, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, "
    "uuid=A1B2C3D4-E5F6-4711-8899-AABBCCDDEEFF, name=\"beta data\"\n";
const char* const kXfsUuid = "7c1e9d24-3a5b-4c6d-8e7f-90a1b2c3d4e5";

std::string tag(const std::string& device, const std::string& name) {
  kqblk_blkid blkid(device);
  std::string value;
  return blkid.getTag(name, value) ? value : "<absent>";
}

// Each tag's value on one device ("<absent>" for a tag it must not carry).
void expectTags(const std::string& device,
                const std::vector<std::pair<std::string, std::string>>& expected) {
  for (const auto& want : expected) {
    EXPECT_EQ(want.second, tag(device, want.first)) << device << " " << want.first;
  }
}

std::vector<std::vector<uint64_t>> listed(const std::string& device) {
  std::list<slice> slices;
  EXPECT_EQ(0, getPartitions(device.c_str(), &slices));
  std::vector<std::vector<uint64_t>> rows;
  for (const slice& s : slices) {
    rows.push_back({static_cast<uint64_t>(s.number), s.startSector, s.sectorCount});
  }
  return rows;
}

// Every tag `blkid -p -o export` reports (backslash escapes undone) has the
// same value here.
void expectAgreesWithBlkidTool(const std::string& device) {
  SCOPED_TRACE(device);
  kqblk_blkid blkid(device);
  std::istringstream lines(runTool("blkid -p -o export " + shellQuote(device)));
  int compared = 0;
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string value;
    for (size_t i = eq + 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) ++i;
      value += line[i];
    }
    std::string ours;
    EXPECT_TRUE(blkid.getTag(line.substr(0, eq), ours)) << line;
    EXPECT_EQ(value, ours) << line;
    ++compared;
  }
  EXPECT_NE(0, compared);
}

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for loop devices";
  }
  // Attaches a new image of `mebibytes` MiB partitioned by `script`, with
  // its partition nodes, and expects the kernel to list `partitions`.
  void attach(const std::string& name, uint64_t mebibytes, const char* script,
              const std::vector<int>& partitions) {
    m_image = std::make_unique<DiskImage>(m_dir / name, mebibytes);
    m_image->partition(script);
    m_loop = std::make_unique<LoopDevice>(m_image->path());
    ASSERT_EQ(partitions, m_loop->addPartitions());
  }
  std::string part(int n) const { return m_loop->partitionPath(n); }

  TempDir m_dir;  // members go in reverse: the loop device first, the directory last
  std::unique_ptr<DiskImage> m_image;
  std::unique_ptr<LoopDevice> m_loop;
};

// The MBR disk attached with its partition nodes, ext4 on partition 1.
class MbrDiskTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_NO_FATAL_FAILURE(attach("mbr.img", 64, kMbrScript, {1, 2, 3, 5, 6}));
    makeFileSystem(part(1), {"ext4", "mbr-root", kExt4Uuid});
  }
};

TEST_F(MbrDiskTest, ListsPrimariesAndLogicalsButNotTheExtendedContainer) {
  // The kernel names logical partitions from 5 on; the container (3) holds
  // no file system and is left out.
  EXPECT_EQ((std::vector<std::vector<uint64_t>>{
                {1, 2048, 16384}, {2, 18432, 8192}, {5, 28672, 8192}, {6, 38912, 92160}}),
            listed(m_loop->path()));

  std::list<slice> slices{slice{42, 1, 1}};
  ASSERT_EQ(0, getPartitions(m_loop->path().c_str(), &slices));
  EXPECT_EQ(5u, slices.size()) << "appends after what the list held";
  EXPECT_EQ(42, slices.front().number);

  EXPECT_TRUE(listed(part(1)).empty()) << "a file system is not a partition table";
}

// Every tag the blkid tool reports must match it; beyond those, the disk
// signature only this reader derives, and the tags that must be absent.
TEST_F(MbrDiskTest, DiskAndPartitionsCarryTableEntryAndSignatureTags) {
  for (const std::string& device : {m_loop->path(), part(1), part(2), part(3), part(5)}) {
    expectAgreesWithBlkidTool(device);
  }
  expectTags(m_loop->path(), {{"PTTYPE", "dos"},
                              {"DISK_SIGNATURE", kMbrSignature},
                              {"TYPE", "<absent>"},
                              {"PART_ENTRY_SCHEME", "<absent>"}});
  expectTags(part(1), {{"TYPE", "ext4"}, {"UUID", kExt4Uuid}, {"DISK_SIGNATURE", kMbrSignature}});
  // A logical partition: entry from the extended chain, same disk signature.
  expectTags(part(5),
             {{"TYPE", "<absent>"}, {"PART_ENTRY_NUMBER", "5"}, {"DISK_SIGNATURE", kMbrSignature}});
  // The container holds an MBR-like table of its own, but its disk's
  // signature is still the one it reports.
  EXPECT_EQ(kMbrSignature, tag(part(3), "DISK_SIGNATURE"));
}

TEST_F(MbrDiskTest, TwoFileSystemSignaturesGiveNoTypeButKeepTheEntryTags) {
  // An xfs superblock (sector 0) over an ext4 whose superblock sits at 1 KiB:
  // both are valid, so neither type can be believed.
  DiskImage xfs(m_dir / "xfs.img", 320);
  makeFileSystem(xfs.path(), {"xfs", "", ""});
  makeFileSystem(part(6), {"ext4", "", ""});
  runTool("dd if=" + shellQuote(xfs.path()) + " of=" + shellQuote(part(6)) +
          " bs=512 count=1 conv=notrunc,fsync status=none");

  expectTags(part(6), {{"TYPE", "<absent>"},
                       {"UUID", "<absent>"},
                       {"PART_ENTRY_NUMBER", "6"},
                       {"DISK_SIGNATURE", kMbrSignature}});
}

// The GPT disk: ext4 on partition 1, xfs on partition 2.
class GptDiskTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_NO_FATAL_FAILURE(attach("gpt.img", 400, kGptScript, {1, 2}));
    makeFileSystem(part(1), {"ext4", "gpt-boot", ""});
    makeFileSystem(part(2), {"xfs", "gptdata", kXfsUuid});
  }
};

TEST_F(GptDiskTest, ListsPartitionsAndTheirEntryTags) {
  EXPECT_EQ((std::vector<std::vector<uint64_t>>{{1, 2048, 32768}, {2, 34816, 675840}}),
            listed(m_loop->path()));

  for (const std::string& device : {m_loop->path(), part(1), part(2)}) {
    expectAgreesWithBlkidTool(device);
  }
  // No MBR signature on a GPT disk, neither on a partition nor on the disk.
  expectTags(part(2),
             {{"TYPE", "xfs"}, {"PART_ENTRY_NAME", "beta data"}, {"DISK_SIGNATURE", "<absent>"}});
  expectTags(m_loop->path(), {{"PTTYPE", "gpt"}, {"DISK_SIGNATURE", "<absent>"}});
}

TEST_F(GptDiskTest, HasTagMatchesFstabSpecifications) {
  kqblk_blkid xfs(part(2));
  const std::string uuid = kXfsUuid;
  const std::vector<std::string> matching = {
      "UUID=" + uuid, "UUID=7C1E9D24-3A5B-4C6D-8E7F-90A1B2C3D4E5" /* UUIDs ignore case */,
      "UUID=\"" + uuid + "\"", "LABEL=gptdata", "LABEL='gptdata'", "LABEL=\"gptdata\"",
      "PARTUUID=A1B2C3D4-E5F6-4711-8899-AABBCCDDEEFF", "PARTLABEL=\"beta data\"",
      "PARTLABEL=beta data"};
  for (const std::string& spec : matching) EXPECT_TRUE(xfs.hasTag(spec)) << spec;
  const std::vector<std::string> notMatching = {
      "UUID=7c1e9d24-3a5b-4c6d-8e7f-90a1b2c3d4e6", "LABEL=GPTDATA" /* labels keep their case */,
      "LABEL=gpt", "LABEL=\"gptdata'", "LABEL=gpt-boot" /* another partition's */,
      std::string("PARTUUID=") + kGptPart1Uuid, "PARTLABEL=beta", "UUID=", "uuid=" + uuid, part(2),
      "/dev/disk/by-label/gptdata"};
  for (const std::string& spec : notMatching) EXPECT_FALSE(xfs.hasTag(spec)) << spec;

  kqblk_blkid whole(m_loop->path());
  EXPECT_FALSE(whole.hasTag(std::string("UUID=") + kXfsUuid));
}

TEST(BlkidFailureTest, MissingDeviceThrowsAndListsNothing) {
  TempDir dir;
  const std::string missing = dir / "no-such-device";
  try {
    kqblk_blkid blkid(missing);
    ADD_FAILURE() << "constructed on a missing device";
  } catch (const CUxError& error) {
    EXPECT_EQ(ENOENT, FXErrorUtil::GetErrNo(error));
  }

  std::list<slice> slices{slice{7, 8, 9}};
  EXPECT_EQ(-1, getPartitions(missing.c_str(), &slices));
  ASSERT_EQ(1u, slices.size()) << "list untouched on failure";
  EXPECT_EQ(7, slices.front().number);
  EXPECT_EQ(-1, getPartitions(nullptr, &slices));
}

TEST_F(DeviceTest, GarbageDeviceHasNoTypeAndNoPartitions) {
  DiskImage image(m_dir / "garbage.img", 8);
  image.fillRandom(0, image.sizeBytes(), 0x6b71626c6b);
  LoopDevice loop(image.path());

  EXPECT_EQ("<absent>", tag(loop.path(), "TYPE"));
  EXPECT_EQ("<absent>", tag(loop.path(), "PTTYPE"));
  EXPECT_TRUE(listed(loop.path()).empty());
  kqblk_blkid blkid(loop.path());
  EXPECT_FALSE(blkid.hasTag("UUID=00000000-0000-0000-0000-000000000000"));
}

// Tables that lie: checked on plain image files, which need no privileges.
TEST(HostileTableTest, PartitionsBeyondTheDeviceEndAreSkipped) {
  TempDir dir;
  DiskImage image(dir / "cut.img", 64);
  image.partition(
      "label: dos\n"
      "start=2048, size=16384, type=83\n"
      "start=40960, size=81920, type=83\n");
  image.resize(32 * 1024 * 1024);  // the second partition now ends past the disk

  EXPECT_EQ((std::vector<std::vector<uint64_t>>{{1, 2048, 16384}}), listed(image.path()));
}

TEST(HostileTableTest, PartitionCountIsCapped) {
  TempDir dir;
  DiskImage image(dir / "many.img", 16);
  std::string script = "label: gpt\ntable-length: 300\nfirst-lba: 2048\n";
  for (int i = 0; i < 300; ++i) {
    script += "start=" + std::to_string(2048 + i * 8) + ", size=8\n";
  }
  image.partition(script);

  const auto rows = listed(image.path());
  ASSERT_EQ(256u, rows.size());
  EXPECT_EQ((std::vector<uint64_t>{1, 2048, 8}), rows.front());
  EXPECT_EQ((std::vector<uint64_t>{256, 2048 + 255 * 8, 8}), rows.back());
}

// The fixture itself: later tests rely on it leaving nothing behind.
TEST_F(DeviceTest, LoopDeviceRemovesItsPartitionsAndDetachesOnlyItself) {
  DiskImage image(m_dir / "fixture.img", 16);
  image.partition("label: dos\nstart=2048, size=4096, type=83\nstart=6144, type=83\n");
  LoopDevice other(image.path());
  std::string path;
  std::string partition;
  {
    LoopDevice loop(image.path());
    path = loop.path();
    ASSERT_NE(other.path(), path);
    EXPECT_EQ((std::vector<int>{1, 2}), loop.addPartitions());
    partition = loop.partitionPath(2);
    struct stat st;
    ASSERT_EQ(0, stat(partition.c_str(), &st));
    EXPECT_TRUE(S_ISBLK(st.st_mode));
  }
  struct stat st;
  EXPECT_NE(0, stat(partition.c_str(), &st)) << "partition node left behind";
  const std::string name = path.substr(path.rfind('/') + 1);
  EXPECT_NE(0, stat(("/sys/block/" + name + "/loop").c_str(), &st)) << path << " still attached";
  const std::string otherName = other.name();
  EXPECT_EQ(0, stat(("/sys/block/" + otherName + "/loop").c_str(), &st))
      << "detached a device it did not make";

  // A window onto partition 1 alone, for kernels that make no partition nodes.
  LoopDevice window(image.path(), LoopOptions{2048 * 512, 4096 * 512, true, ""});
  EXPECT_EQ("4096\n", runTool("cat /sys/block/" + window.name() + "/size"));
  EXPECT_EQ("1\n", runTool("cat /sys/block/" + window.name() + "/ro"));
}

}  // namespace
