// The block device list: partitions of each disk in order, or the whole
// disk when it has none. Images are plain files with real partition tables;
// the partition "nodes" are files beside them.


#include "kqblk_disk.h"
#include "kqblk_disk_utils.h"
#include "kqblk_guestdisk.h"
#include "support/disk_image.h"
#include "support/test_util.h"

using ::testing::ElementsAre;

namespace {

// A disk whose device is an image file, with the driver's "p" prefix.
class ImageDisk : public KqBlkDisk {
 public:
  ImageDisk(const std::string& device, const std::string& dir) : KqBlkDisk(device, dir) {
    m_devPath = device;
  }
};

const char kTwoPartitions[] =
    "label: dos\nstart=2048, size=2048, type=83\nstart=4096, size=2048, type=83\n";

void touch(const std::string& path) { std::ofstream(path) << ""; }

}  // namespace

// A guest disk's partitions follow its name directly (sdb1), the driver's
// after a "p" (d1p1).
TEST(BlockDevList, PartitionsOrWholeDisksInDiskOrder) {
  TempDir dir;
  DiskImage partitioned(dir / "d1", 4);
  partitioned.partition(kTwoPartitions);
  touch(dir / "d1p1");
  touch(dir / "d1p2");
  DiskImage bare(dir / "d2", 4);
  DiskImage lostNode(dir / "d3", 4);
  lostNode.partition(kTwoPartitions);
  touch(dir / "d3p1");  // partition 2 has no node
  DiskImage noNodes(dir / "d4", 4);
  noNodes.partition(kTwoPartitions);
  DiskImage guestImage(dir / "sdb", 4);
  guestImage.partition(kTwoPartitions);
  touch(dir / "sdb1");
  touch(dir / "sdb2");

  std::list<boost::shared_ptr<KqBlkDisk>> disks;
  for (const char* name : {"d1", "d2", "d3", "d4"}) {
    disks.push_back(boost::shared_ptr<KqBlkDisk>(new ImageDisk(dir / name, dir.path())));
  }
  KqBlkGuestDisk* guest = new KqBlkGuestDisk(dir / "sdb", dir.path());
  guest->setDiskPath(dir / "sdb");
  disks.push_back(boost::shared_ptr<KqBlkDisk>(guest));
  EXPECT_THAT(KqBlkDiskUtils::getBlockDevList(disks),
              ElementsAre(dir / "d1p1", dir / "d1p2", dir / "d2", dir / "d3p1", dir / "sdb1",
                          dir / "sdb2"));
  EXPECT_TRUE(KqBlkDiskUtils::getBlockDevList({}).empty());
}
