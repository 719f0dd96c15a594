// The blocks of a Source, kept in a small cache and read ahead by a
// background thread on sequential runs, so that the service thread's 4 KiB
// recalls are memory copies.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "kq_hard_disk_reader.h"
#include "ktntfs_source.h"

class BlockSource {
 public:
  BlockSource() = default;
  ~BlockSource();
  BlockSource(const BlockSource&) = delete;
  BlockSource& operator=(const BlockSource&) = delete;

  // Serves `source`'s blocks of `blockSize` bytes (a multiple of Source::kAlign).
  void open(std::unique_ptr<Source> source, uint32_t blockSize);
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
  std::unique_ptr<Source> m_source;
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
