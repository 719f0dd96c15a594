// A disk whose source is a pattern in memory, with scripted failures.
#pragma once

#include <atomic>
#include <cstring>

#include "kqblk_disk.h"

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
    for (long i = 0; i < *size; ++i) (*buffer)[i] = static_cast<UINT8>((offset + i) % 251);
    if (returnSize > 0) *size = returnSize;
    return true;
  }

  void setSectors(int64_t sectors) { m_numSectors = sectors; }
  void forceState(KqBlkDiskState state) { m_state = state; }
  KqBlkRecallStore* recallStore() const { return m_recallStore; }
  const int32_t* pipeFds() const { return m_pipeFds; }

  std::atomic<int> connects{0};
  std::atomic<int> reads{0};
  std::atomic<long long> lastOffset{-1};
  int failReadsFrom = -1;  // reads from this one on fail; -1 never
  long returnSize = 0;     // when set, the size readData reports back
  bool failConnect = false;
};
