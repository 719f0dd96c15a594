#include "ktntfs_block_source.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
const size_t kCachedBlocks = 16;
const uint64_t kPrefetchBlocks = 4;
// Buffers of evicted blocks kept for the next reads: a fresh 1 MiB buffer
// per read costs an mmap, page faults and contention on the address space.
const size_t kSpareBuffers = kPrefetchBlocks + 2;
}  // namespace

BlockSource::~BlockSource() { close(); }

bool BlockSource::isOpen() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_source != nullptr;
}

uint64_t BlockSource::size() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_size;
}

void BlockSource::open(std::unique_ptr<Source> source, uint32_t blockSize) {
  close();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_size = source->size();
  m_source = std::move(source);
  m_blockSize = blockSize;
  m_stopping = false;
  m_prefetcher = std::thread(&BlockSource::prefetchLoop, this);
}

void BlockSource::close() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
    m_queue.clear();
  }
  m_changed.notify_all();
  if (m_prefetcher.joinable()) m_prefetcher.join();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_source.reset();
  m_blocks.clear();
  m_spare.clear();
  m_inFlight.clear();
  m_stale.clear();
}

CUxError BlockSource::fetch(uint64_t index, Block& block) {
  const uint64_t start = index * m_blockSize;
  block.index = index;
  block.length = std::min<uint64_t>(m_blockSize, m_size - start);
  if (!block.data) {
    // Every buffer has room for a whole block, so that any can be reused.
    const size_t full = (m_blockSize + Source::kAlign - 1) / Source::kAlign * Source::kAlign;
    void* p = nullptr;
    if (posix_memalign(&p, Source::kAlign, full) != 0) {
      return FXErrorUtil::ErrorErrNo(FX_HERE, ENOMEM, "no memory for a source block");
    }
    block.data.reset(static_cast<uint8_t*>(p));
  }
  const HLXReaderOptions* options = m_options;
  if (options && options->delayMicros) usleep(options->delayMicros);
  return m_source->readAt(start, block.data.get(), block.length);
}

void BlockSource::insert(Block&& block) {
  m_blocks.push_front(std::move(block));
  if (m_blocks.size() > kCachedBlocks) {
    if (m_spare.size() < kSpareBuffers) m_spare.push_back(std::move(m_blocks.back().data));
    m_blocks.pop_back();
  }
}

void BlockSource::takeSpare(Block& block) {
  if (m_spare.empty()) return;
  block.data = std::move(m_spare.back());
  m_spare.pop_back();
}

CUxError BlockSource::blockAt(std::unique_lock<std::mutex>& lock, uint64_t index,
                              const Block*& out) {
  for (;;) {
    auto it = std::find_if(m_blocks.begin(), m_blocks.end(),
                           [&](const Block& b) { return b.index == index; });
    if (it != m_blocks.end()) {
      m_blocks.splice(m_blocks.begin(), m_blocks, it);
      out = &m_blocks.front();
      return CUxError();
    }
    if (!m_inFlight.count(index)) break;
    m_changed.wait(lock);  // the prefetcher is reading it
  }
  m_inFlight.insert(index);
  m_queue.remove(index);
  Block block;
  takeSpare(block);
  lock.unlock();
  CUxError err = fetch(index, block);
  lock.lock();
  m_inFlight.erase(index);
  const bool stale = m_stale.erase(index) > 0;
  m_changed.notify_all();
  if (err.IsError()) return err;
  if (stale) return blockAt(lock, index, out);  // written meanwhile: read it again
  insert(std::move(block));
  out = &m_blocks.front();
  return CUxError();
}

bool BlockSource::isCached(uint64_t index) const {
  return std::any_of(m_blocks.begin(), m_blocks.end(),
                     [&](const Block& b) { return b.index == index; });
}

void BlockSource::prefetchAfter(Block& block) {
  if (block.followed || block.index == 0 || !isCached(block.index - 1)) return;
  block.followed = true;
  const uint64_t blocks = (m_size + m_blockSize - 1) / m_blockSize;
  for (uint64_t next = block.index + 1; next <= block.index + kPrefetchBlocks && next < blocks;
       ++next) {
    if (isCached(next) || m_inFlight.count(next) ||
        std::find(m_queue.begin(), m_queue.end(), next) != m_queue.end()) {
      continue;
    }
    m_queue.push_back(next);
  }
  m_changed.notify_all();
}

void BlockSource::prefetchLoop() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_changed.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
    if (m_stopping) return;
    const uint64_t index = m_queue.front();
    m_queue.pop_front();
    m_inFlight.insert(index);
    Block block;
    takeSpare(block);
    lock.unlock();
    const bool ok = !fetch(index, block).IsError();
    lock.lock();
    m_inFlight.erase(index);
    // A failed prefetch is simply not cached: the reader's own read reports it.
    if (ok && m_stale.erase(index) == 0) insert(std::move(block));
    m_stale.erase(index);
    m_changed.notify_all();
  }
}

CUxError BlockSource::read(uint64_t offset, void* out, uint64_t bytes) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (!m_source) return FXErrorUtil::ErrorErrNo(FX_HERE, EBADF, "disk not open");
  if (offset + bytes > m_size || offset + bytes < offset) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "read beyond the disk");
  }
  uint8_t* dst = static_cast<uint8_t*>(out);
  for (uint64_t pos = offset, end = offset + bytes; pos < end;) {
    const uint64_t index = pos / m_blockSize;
    const Block* block = nullptr;
    CUxError err = blockAt(lock, index, block);
    if (err.IsError()) return err;
    prefetchAfter(m_blocks.front());
    const uint64_t within = pos - index * m_blockSize;
    const uint64_t n = std::min(end - pos, block->length - within);
    std::memcpy(dst, block->data.get() + within, n);
    dst += n;
    pos += n;
  }
  return CUxError();
}

CUxError BlockSource::write(uint64_t offset, const void* in, uint64_t bytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_source) return FXErrorUtil::ErrorErrNo(FX_HERE, EBADF, "disk not open");
  if (offset + bytes > m_size || offset + bytes < offset) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "write beyond the disk");
  }
  const uint8_t* src = static_cast<const uint8_t*>(in);
  CUxError err = m_source->writeAt(offset, src, bytes);
  if (err.IsError()) return err;
  // Keep cached blocks coherent; blocks still being read are read again.
  for (Block& block : m_blocks) {
    const uint64_t start = block.index * m_blockSize;
    const uint64_t from = std::max(start, offset);
    const uint64_t to = std::min(start + block.length, offset + bytes);
    if (from < to) std::memcpy(block.data.get() + (from - start), src + (from - offset), to - from);
  }
  const uint64_t firstBlock = offset / m_blockSize;
  const uint64_t lastBlock = (offset + bytes - 1) / m_blockSize;
  for (uint64_t index : m_inFlight) {
    if (index >= firstBlock && index <= lastBlock) m_stale.insert(index);
  }
  return CUxError();
}
