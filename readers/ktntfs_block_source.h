// The blocks of a raw image file or block device, kept in a small cache and
// read ahead by a background thread on sequential runs, so that the
// service thread's 4 KiB recalls are memory copies. Source reads bypass the
// page cache where the file system allows it: the data goes to the device
// and its stores anyway, and filling the page cache costs more than the read.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kq_hard_disk_reader.h"

class BlockSource {
 public:
  BlockSource() = default;
  ~BlockSource();
  BlockSource(const BlockSource&) = delete;
  BlockSource& operator=(const BlockSource&) = delete;

  CUxError open(const std::string& path, uint32_t blockSize);
  void close();
  bool isOpen() const;
  uint64_t size() const;
  // Options are read where the caller keeps them (a test may change them).
  void setOptions(const HLXReaderOptions* options) { m_options = options; }

  CUxError read(uint64_t offset, void* out, uint64_t bytes);
  CUxError write(uint64_t offset, const void* in, uint64_t bytes);

 private:
  struct Buffer {
    void operator()(uint8_t* p) const { free(p); }
  };
  struct Block {
    uint64_t index;
    uint64_t length;  // shorter than the block size at the end of the source
    std::unique_ptr<uint8_t, Buffer> data;
    bool followed = false;  // the blocks after it were asked for
  };

  // The cached block `index`, reading it (or waiting for the prefetch) if
  // needed. Called and returns with the lock held.
  CUxError blockAt(std::unique_lock<std::mutex>& lock, uint64_t index, const Block*& out);
  // Reads one block from the source without the lock.
  CUxError fetch(uint64_t index, Block& block);
  void insert(Block&& block);
  // Hands `block` a spare buffer, if there is one; call with the lock held.
  void takeSpare(Block& block);
  bool isCached(uint64_t index) const;
  // Queues the blocks after `block` once, when the one before it is cached:
  // recalls come nearly, not strictly, in order.
  void prefetchAfter(Block& block);
  void prefetchLoop();

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_fd = -1;        // buffered: writes, and reads where direct I/O is refused
  int m_directFd = -1;  // O_DIRECT reads
  uint64_t m_size = 0;
  uint32_t m_blockSize = 0;
  const HLXReaderOptions* m_options = nullptr;
  std::list<Block> m_blocks;       // most recent first
  std::vector<std::unique_ptr<uint8_t, Buffer>> m_spare;
  std::set<uint64_t> m_inFlight;   // being read
  std::set<uint64_t> m_stale;      // in flight while written: drop on arrival
  std::list<uint64_t> m_queue;     // to prefetch
  bool m_stopping = false;
  std::thread m_prefetcher;
};
