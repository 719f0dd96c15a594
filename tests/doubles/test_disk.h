// A disk whose source is a pattern in memory, with scripted failures.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "doubles/driver_double.h"
#include "kqblk_disk.h"
#include "support/kq_throws.h"
#include "support/temp_dir.h"

class TestDisk : public KqBlkDisk {
 public:
  TestDisk(const std::string& diskPath, const std::string& dirPath) : KqBlkDisk(diskPath, dirPath) {}
  ~TestDisk() override {
    // The source goes with this object: stop the thread while it still exists.
    if (m_state == STATE_MONITORING || m_thread.isJoinable()) KqBlkDisk::stopThread();
  }

  void connect() override {
    KqBlkDisk::connect();
    ++connects;
    if (failConnect) throw KqException("TestDisk::connect", "scripted connect failure", "test", 1, -1);
    m_connected = true;
    m_state = STATE_CONNECTED;
  }

  bool readData(KqBlkDisk*, long long offset, long* size, UINT8** buffer) override {
    const int n = reads++;
    if (failReadsFrom >= 0 && n >= failReadsFrom) return false;
    lastOffset = offset;
    if (returnSize > *size) {
      // More than the caller's buffer holds: hand back one of our own.
      ownBuffer.resize(static_cast<size_t>(returnSize));
      *buffer = ownBuffer.data();
      *size = returnSize;
    } else if (returnSize > 0) {
      *size = returnSize;
    }
    for (long i = 0; i < *size; ++i) (*buffer)[i] = static_cast<UINT8>((offset + i) % 251);
    return true;
  }

  void setSectors(int64_t sectors) {
    m_numSectors = sectors;
    m_diskBytes = sectors * 512;
  }
  void forceState(KqBlkDiskState state) { m_state = state; }
  KqBlkRecallStore* recallStore() const { return m_recallStore.get(); }
  const int32_t* pipeFds() const { return m_pipeFds; }

  std::atomic<int> connects{0};
  std::atomic<int> reads{0};
  std::atomic<long long> lastOffset{-1};
  int failReadsFrom = -1;  // reads from this one on fail; -1 never
  long returnSize = 0;     // when set, the size readData reports back
  std::vector<UINT8> ownBuffer;
  bool failConnect = false;
};

// A reset driver double, no pauses between retries, no cache manager.
class DiskFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    driverDouble().reset();
    KqBlkDisk::gTimings = KqBlkDeviceTimings{0, 0, 5};
    KqBlkDisk::setCacheManager(nullptr);
  }
  void TearDown() override { KqBlkDisk::setCacheManager(nullptr); }
  TempDir dir;
};
