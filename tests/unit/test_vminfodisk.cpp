// The reader-backed disk over the real reader plugin and a small image.

#include <algorithm>

#include "doubles/test_disk.h"
#include "kqblk_store.h"
#include "kqblk_vminfodisk.h"
#include "support/test_util.h"

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Property;
using ::testing::Throws;
using ::testing::ThrowsMessage;

namespace {

const int64_t kSectors = 100;

void writeImage(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// Points `disk` at an image of `bytes`, hands it `context` and connects it.
void connect(KqBlkVMInfoDisk& disk, const std::string& path, int64_t bytes, HLXVMContext& context) {
  disk.setDiskParams(0, bytes, 512, path);
  HLXCtxSpecialOpts options;
  options.vmContext = &context;
  disk.setSpecialOpts(CTX_OTYPE_VMINFO, options);
  disk.connect();
}

bool read(KqBlkVMInfoDisk& disk, long long offset, std::vector<UINT8>& buffer) {
  long size = static_cast<long>(buffer.size());
  UINT8* p = buffer.data();
  return disk.readData(&disk, offset, &size, &p);
}

class VMInfoDisk : public DiskFixture {
 protected:
  void SetUp() override {
    DiskFixture::SetUp();
    writeImage(imagePath, image);
  }
  std::string imagePath = dir / "disk.img";
  std::vector<uint8_t> image = randomBytes<uint8_t>(kSectors * 512, 1);
  HLXVMContext context;
  KqBlkVMInfoDisk disk{"/vm/disk0", dir.path()};
};

}  // namespace

TEST_F(VMInfoDisk, ReadsTheImageAndTrimsAtItsEnd) {
  connect(disk, imagePath + "\\", kSectors * 512, context);  // opened without the backslash
  EXPECT_EQ(disk.getState(), STATE_CONNECTED);
  std::vector<UINT8> buf(4096, 0xEE);
  KqLogCapture log;
  ASSERT_TRUE(read(disk, 512 * 10, buf));
  EXPECT_TRUE(std::equal(buf.begin(), buf.end(), image.begin() + 512 * 10));
  ASSERT_TRUE(read(disk, (kSectors - 8) * 512, buf));  // ends exactly at the end
  EXPECT_TRUE(log.find("out of bounds").empty());

  std::fill(buf.begin(), buf.end(), 0xEE);
  ASSERT_TRUE(read(disk, (kSectors - 3) * 512, buf));
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 3 * 512, image.end() - 3 * 512));
  EXPECT_TRUE(std::all_of(buf.begin() + 3 * 512, buf.end(), [](UINT8 b) { return b == 0; }));
  EXPECT_EQ(log.find("Attempt to read out of bounds data: Capacity : 100, sector 97:8").size(), 1u);
  EXPECT_EQ(log.find("Trimmed read to fit disk bounds: Capacity : 100, sector 97:3").size(), 1u);
  EXPECT_FALSE(read(disk, kSectors * 512, buf));

  disk.disconnect_direct();  // a no-op for this disk
  EXPECT_EQ(disk.getState(), STATE_CONNECTED);
  disk.disconnect();
  EXPECT_EQ(disk.getState(), STATE_INIT);
  EXPECT_THAT([&] { read(disk, 0, buf); },
              Throws<KqException>(
                  AllOf(Property("getMessage", &KqException::getMessage,
                                 "/vm/disk0 cannot read: need state 1, curr(0)"),
                        Property("getFileName", &KqException::getFileName, "kqblk_vminfodisk"))));
}

TEST_F(VMInfoDisk, InjectedFailuresAndMissingSourcesFailReadsAndAMissingImageFailsTheOpen) {
  context.readerOptions.failReadsFrom = 1;
  context.readerOptions.failReadCount = 2;
  connect(disk, imagePath, kSectors * 512, context);
  std::vector<UINT8> buf(4096);
  for (bool expected : {true, false, false, true}) EXPECT_EQ(read(disk, 0, buf), expected);

  KqBlkVMInfoDisk unsupported("/vm/disk1", dir.path());
  HLXVMContext other;
  other.instanceType = 300;
  KqLogCapture log;
  connect(unsupported, imagePath, kSectors * 512, other);  // connected, with nothing to read from
  EXPECT_EQ(log.find("InstanceType [300] not supported").size(), 1u);
  EXPECT_FALSE(read(unsupported, 0, buf));
  EXPECT_FALSE(unsupported.writeBackChanges());

  KqBlkVMInfoDisk missing("/vm/missing", dir.path());
  EXPECT_THAT([&] { connect(missing, dir / "no-such.img", 4096, context); },
              ThrowsMessage<KqException>(HasSubstr(dir / "no-such.img : open failed. Error: ")));
  EXPECT_FALSE(missing.isConnected());
  EXPECT_EQ(missing.getState(), STATE_INIT);
}

TEST_F(VMInfoDisk, WriteBackPutsEachChangedExtentAtItsSectors) {
  const std::string bigPath = dir / "big.img";
  // Its last extent lies partly past the end: only two sectors of it go back.
  std::vector<uint8_t> big = randomBytes<uint8_t>(130 * 4096 + 1024, 3);
  writeImage(bigPath, big);
  connect(disk, bigPath, static_cast<int64_t>(big.size()), context);
  // Reading first puts the source block holding extent 7 in the reader's cache.
  std::vector<UINT8> buf(4096);
  ASSERT_TRUE(read(disk, 7 * 4096, buf));
  disk.createKqBlkDev();
  // Extents 0 and 7 (bits 1 and 128 of the first byte), 130 past an empty chunk.
  std::vector<uint8_t> expected = big;
  for (int64_t e : {0, 7, 130}) {
    const auto data = randomBytes<uint8_t>(4096, static_cast<int>(e) + 100);
    ASSERT_FALSE(disk.getPrivateStore()->writeExtent(e, data.data()).IsError());
    const size_t inside = std::min<size_t>(4096, big.size() - static_cast<size_t>(e) * 4096);
    std::copy(data.begin(), data.begin() + static_cast<long>(inside), expected.begin() + e * 4096);
  }
  ASSERT_TRUE(disk.writeBackChanges());  // in state 2: connects first
  // The device still exists, so the disk stays destroyable.
  EXPECT_EQ(disk.getState(), STATE_DEVICE_CREATED);
  // Byte-exact: an extent at the wrong sectors, or past the end, shows here.
  EXPECT_EQ(fileText(bigPath), std::string(expected.begin(), expected.end()));

  disk.destroyKqBlkDev();
  EXPECT_EQ(disk.getState(), STATE_INIT);
  // The same reader, reconnected: its cached block follows what was written.
  disk.connect();
  ASSERT_TRUE(read(disk, 7 * 4096, buf));
  EXPECT_TRUE(std::equal(buf.begin(), buf.end(), expected.begin() + 7 * 4096));
}
