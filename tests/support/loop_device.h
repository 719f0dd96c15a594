// A loop device over an image file for the lifetime of the object. Only the
// device this object attached is ever touched: its partitions are removed
// and it is detached on destruction, whatever the test did meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct LoopOptions {
  uint64_t offset = 0;     // bytes into the image
  uint64_t sizeLimit = 0;  // bytes; 0 is up to the image's end
  bool readOnly = false;
  std::string device;      // this free loop device (/dev/loopN); empty: any free one
};

class LoopDevice {
 public:
  // Attaches `image` to a free loop device (losetup --find --show) without
  // partition scanning; throws std::runtime_error when it cannot.
  explicit LoopDevice(const std::string& image, const LoopOptions& options = LoopOptions());
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  // The device node, such as /dev/loop3.
  const std::string& path() const { return m_path; }
  // The kernel name, such as loop3.
  std::string name() const;

  // Makes the kernel register the partitions of the image's table
  // (partx -a; this kernel does not scan loop devices by itself) and waits
  // for their nodes. Returns the partition numbers, ascending.
  std::vector<int> addPartitions();
  // The numbers of the partitions the kernel currently knows on the device.
  std::vector<int> partitions() const;
  // The node of partition `number`: path() + "p" + number.
  std::string partitionPath(int number) const;

  // Removes the partitions and detaches now; the destructor then does
  // nothing. Throws std::runtime_error when the kernel refuses (busy).
  void detach();

 private:
  // True while the device still serves the image this object attached.
  bool stillOurs() const;

  std::string m_image;  // canonical path
  std::string m_path;
  std::vector<std::string> m_madeNodes;  // nodes created here, not by devtmpfs
};
