// The partition lister: the partitions of one device as the kernel numbers
// their nodes, read from the device's own table with libblkid. The table is
// guest data, so its entries are checked against the device before use.
#include <blkid/blkid.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "kq_log.h"
#include "kqblk_blkid.h"

namespace {

const char* const kLogTag = "getPartitions";
// More than any real disk carries (GPT's usual array holds 128); keeps a
// hostile table from making callers create and mount thousands of nodes.
const size_t kMaxPartitions = 256;
const uint64_t kSectorSize = 512;

class PartitionProbe {
 public:
  explicit PartitionProbe(const char* device) {
    m_fd = open(device, O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) return;
    m_probe = blkid_new_probe();
    if (m_probe && blkid_probe_set_device(m_probe, m_fd, 0, 0) != 0) {
      blkid_free_probe(m_probe);
      m_probe = nullptr;
    }
  }
  ~PartitionProbe() {
    if (m_probe) blkid_free_probe(m_probe);
    if (m_fd >= 0) close(m_fd);
  }
  PartitionProbe(const PartitionProbe&) = delete;
  PartitionProbe& operator=(const PartitionProbe&) = delete;

  blkid_probe get() const { return m_probe; }
  int fd() const { return m_fd; }

 private:
  int m_fd = -1;
  blkid_probe m_probe = nullptr;
};

}  // namespace

int getPartitions(const char* device, std::list<slice>* partitions) {
  if (!device || !partitions) return -1;
  errno = 0;
  PartitionProbe probe(device);
  if (!probe.get()) {
    const int err = errno;
    EvDebug::Error(kLogTag, "Cannot open %s: %s", device, strerror(err));
    return -1;
  }
  blkid_probe pr = probe.get();
  const blkid_loff_t deviceBytes = blkid_probe_get_size(pr);
  if (deviceBytes < 0) {
    EvDebug::Error(kLogTag, "Cannot read the size of %s", device);
    return -1;
  }
  const uint64_t deviceSectors = static_cast<uint64_t>(deviceBytes) / kSectorSize;
  // libblkid reports an unreadable table the same as no table; a failing
  // first sector is what tells the caller that the device is unusable.
  char first[kSectorSize];
  if (deviceBytes > 0 && pread(probe.fd(), first, sizeof(first), 0) < 0) {
    const int err = errno;
    EvDebug::Error(kLogTag, "Cannot read %s: %s", device, strerror(err));
    return -1;
  }

  // No table (or an unreadable one) is not an error here: the caller then
  // uses the whole device.
  blkid_partlist list = blkid_probe_get_partitions(pr);
  const int count = list ? blkid_partlist_numof_partitions(list) : 0;

  std::list<slice> found;
  std::set<int> numbers;
  for (int i = 0; i < count; ++i) {
    blkid_partition par = blkid_partlist_get_partition(list, i);
    if (!par) continue;
    const int number = blkid_partition_get_partno(par);
    const blkid_loff_t start = blkid_partition_get_start(par);
    const blkid_loff_t size = blkid_partition_get_size(par);
    // The extended container holds only the chain of logical partitions;
    // it carries no file system, so nothing should try to mount it.
    if (blkid_partition_is_extended(par)) {
      EvDebug::DebugLvl(kLogTag, 3, "%s: skipping extended container %d", device, number);
      continue;
    }
    if (number <= 0 || start <= 0 || size <= 0 ||
        static_cast<uint64_t>(start) > deviceSectors ||
        static_cast<uint64_t>(size) > deviceSectors - static_cast<uint64_t>(start)) {
      EvDebug::Error(kLogTag, "%s: ignoring partition %d (start %lld, %lld sectors of %llu)",
                     device, number, static_cast<long long>(start),
                     static_cast<long long>(size),
                     static_cast<unsigned long long>(deviceSectors));
      continue;
    }
    if (!numbers.insert(number).second) {
      EvDebug::Error(kLogTag, "%s: ignoring second partition numbered %d", device, number);
      continue;
    }
    if (found.size() == kMaxPartitions) {
      EvDebug::Error(kLogTag, "%s: more than %zu partitions, ignoring the rest", device,
                     kMaxPartitions);
      break;
    }
    found.push_back(slice{number, static_cast<uint64_t>(start), static_cast<uint64_t>(size)});
  }
  EvDebug::DebugLvl(kLogTag, 2, "%s: %zu partitions", device, found.size());
  partitions->splice(partitions->end(), found);
  return 0;
}
