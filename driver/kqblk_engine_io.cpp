#include "kqblk_engine_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kqblk_driver_log.h"
#include "kqblk_store.h"

namespace {

const char kFunc[] = "KqBlkExtentIO";

// One extent of scratch space per server thread, reused across requests.
char* scratch(size_t bytes) {
  thread_local std::vector<char> buffer;
  if (buffer.size() < bytes) buffer.resize(bytes);
  return buffer.data();
}

}  // namespace

KqBlkExtentIO::KqBlkExtentIO(KqBlkRecallStore* privateStore, KqBlkRecallStore* recallStore,
                             KqBlkRecallQueue& queue)
    : m_private(privateStore),
      m_recall(recallStore),
      m_queue(queue),
      m_size(recallStore->getSize()),
      m_extentSize(recallStore->getExtentSize()),
      m_extentCount((m_size + m_extentSize - 1) / m_extentSize),
      m_ahead(m_extentCount, kFirstReadAhead / m_extentSize, kMaxReadAhead / m_extentSize) {
  // A 4 KiB write into the page cache costs about four times as much per
  // byte as a 256 KiB one, and the service thread pays it for every extent.
  m_recall->setStagedRun(kStagedRun);
}

void KqBlkExtentIO::recallDone(int64_t extent) {
  std::lock_guard<std::mutex> lock(m_doneMutex);
  if (m_recall->stagedRuns().holds(extent)) {
    m_deferred.push_back(extent);
  } else {
    m_queue.done(extent);  // written, or dropped for want of cache room
  }
  if (m_deferred.empty()) return;
  // A failed write leaves its extents absent; their readers fetch them again.
  if (m_queue.finishTakenNow()) m_recall->flushStaged();
  reportWritten();
}

void KqBlkExtentIO::finishDeferred() {
  std::lock_guard<std::mutex> lock(m_doneMutex);
  if (m_deferred.empty()) return;
  m_recall->flushStaged();
  reportWritten();
}

void KqBlkExtentIO::reportWritten() {
  // The deferred extents written meanwhile, here or by the store's thread.
  const KqBlkPendingRuns pending = m_recall->stagedRuns();
  size_t kept = 0;
  for (int64_t e : m_deferred) {
    if (pending.holds(e)) {
      m_deferred[kept++] = e;
    } else {
      m_queue.done(e);
    }
  }
  m_deferred.resize(kept);
}

int KqBlkExtentIO::readPresent(int64_t extent, char* dst) const {
  if (m_private->hasExtent(extent)) {
    return m_private->readExtent(extent, dst).IsError() ? EIO : 0;
  }
  const CUxError err = m_recall->readExtent(extent, dst);
  if (!err.IsError()) return 0;
  // Absent, perhaps evicted a moment ago: fetch it again.
  return FXErrorUtil::GetErrNo(err) == ENOENT ? ENOENT : EIO;
}

bool KqBlkExtentIO::present(int64_t extent) const {
  return m_private->hasExtent(extent) || m_recall->hasExtent(extent);
}

void KqBlkExtentIO::readAhead(int64_t first, int64_t count) {
  int64_t from = 0;
  int64_t to = 0;
  {
    std::lock_guard<std::mutex> lock(m_aheadMutex);
    m_ahead.onRead(first, count, from, to);
  }
  if (from >= to) return;
  std::vector<int64_t> wanted;
  wanted.reserve(static_cast<size_t>(to - from));
  for (int64_t e = from; e < to; ++e) {
    if (!m_private->hasExtent(e) && !m_recall->hasExtent(e)) wanted.push_back(e);
  }
  if (!wanted.empty()) m_queue.prefetch(wanted, [this](int64_t e) { return present(e); });
}

int KqBlkExtentIO::read(char* out, size_t length, int64_t offset, size_t& done) {
  done = 0;
  kqDriverLog(kFunc, 4, "read %zu bytes at %lld", length, static_cast<long long>(offset));
  if (m_queue.aborted()) return EIO;
  if (offset < 0) return EINVAL;
  if (offset >= m_size || length == 0) return 0;
  const int64_t end = std::min<int64_t>(offset + static_cast<int64_t>(length), m_size);
  const int64_t es = m_extentSize;
  const int64_t first = offset / es;
  const int64_t last = (end - 1) / es;

  // Copies extent e into its place in `out`; whole extents go there directly.
  auto place = [&](int64_t e) -> int {
    const int64_t start = e * es;
    if (start >= offset && start + es <= end) return readPresent(e, out + (start - offset));
    char* tmp = scratch(static_cast<size_t>(es));
    const int rc = readPresent(e, tmp);
    if (rc != 0) return rc;
    const int64_t lo = std::max(start, offset);
    const int64_t hi = std::min(start + es, end);
    std::memcpy(out + (lo - offset), tmp + (lo - start), static_cast<size_t>(hi - lo));
    return 0;
  };

  // Runs of whole recalled extents come in one read each.
  auto placeRun = [&](int64_t e) -> int64_t {
    int64_t n = 0;
    while (e + n <= last && (e + n) * es >= offset && (e + n + 1) * es <= end &&
           !m_private->hasExtent(e + n) && m_recall->hasExtent(e + n)) {
      ++n;
    }
    if (n < 2) return 0;
    return m_recall->readExtents(e, n, out + (e * es - offset)).IsError() ? 0 : n;
  };

  std::vector<int64_t> missing;
  for (int64_t e = first; e <= last; ++e) {
    const int64_t run = placeRun(e);
    if (run > 0) {
      e += run - 1;
      continue;
    }
    const int rc = place(e);
    if (rc == ENOENT) {
      missing.push_back(e);
    } else if (rc != 0) {
      return rc;
    }
  }
  m_recall->noteRead(first, last - first + 1);
  readAhead(first, last - first + 1);
  const int rc = recallAndPlace(missing, place);
  if (rc != 0) return rc;
  done = static_cast<size_t>(end - offset);
  return 0;
}

int KqBlkExtentIO::recallAndPlace(std::vector<int64_t>& missing,
                                  const std::function<int(int64_t)>& place) {
  // Done but absent: an eviction took the extent between its recall and
  // this copy, or a full cache never kept it. Recall it again a few times:
  // a race is lost now and then, a cache without room every time.
  for (int attempt = 0; !missing.empty(); ++attempt) {
    if (attempt == kRecallAttempts) return EIO;
    kqDriverLog(kFunc, 3, "recalling %zu extents from extent %lld", missing.size(),
                static_cast<long long>(missing.front()));
    if (!m_queue.recallAndWait(missing, [this](int64_t e) { return present(e); },
                               [this] { finishDeferred(); })) {
      return EIO;
    }
    size_t still = 0;
    for (int64_t e : missing) {
      const int rc = place(e);
      if (rc == ENOENT) {
        missing[still++] = e;
      } else if (rc != 0) {
        return rc;
      }
    }
    missing.resize(still);
  }
  return 0;
}

int KqBlkExtentIO::recallMissing(size_t length, int64_t offset) {
  if (m_queue.aborted()) return EIO;
  if (offset < 0 || offset >= m_size || length == 0) return 0;
  const int64_t end = std::min<int64_t>(offset + static_cast<int64_t>(length), m_size);
  const int64_t first = offset / m_extentSize;
  const int64_t last = (end - 1) / m_extentSize;
  std::vector<int64_t> missing;
  for (int64_t e = first; e <= last; ++e) {
    if (!present(e)) missing.push_back(e);
  }
  // Read-ahead goes behind this read's own extents, so queue it first.
  readAhead(first, last - first + 1);
  if (missing.empty()) return 0;
  kqDriverLog(kFunc, 3, "recalling %zu extents from extent %lld", missing.size(),
              static_cast<long long>(missing.front()));
  return m_queue.recallAndWait(missing, [this](int64_t e) { return present(e); },
                               [this] { finishDeferred(); })
             ? 0
             : EIO;
}

int KqBlkExtentIO::readHeld(size_t length, int64_t offset, const PieceSink& send,
                            bool readAhead) {
  if (m_queue.aborted()) return EIO;
  if (offset < 0 || offset >= m_size || length == 0) return ENOENT;
  const int64_t end = std::min<int64_t>(offset + static_cast<int64_t>(length), m_size);
  const int64_t es = m_extentSize;
  const int64_t first = offset / es;
  const int64_t count = (end - 1) / es - first + 1;
  // One hold per store over the whole range, private first: the private
  // store is never evicted, so this order cannot deadlock with an eviction.
  KqBlkExtentHold privateHold;
  KqBlkExtentHold recallHold;
  m_private->holdExtents(first, count, privateHold);
  m_recall->holdExtents(first, count, recallHold);
  thread_local std::vector<KqBlkReadPiece> pieces;
  pieces.clear();
  const int privateFd = m_private->dataDescriptor();
  const int recallFd = m_recall->dataDescriptor();
  for (int64_t e = first; e < first + count; ++e) {
    // The private store (what was written) wins over what was recalled.
    int fd = -1;
    if (m_private->hasExtent(e)) {
      fd = privateFd;
    } else if (m_recall->hasExtent(e)) {
      fd = recallFd;
    } else {
      return ENOENT;
    }
    const int64_t lo = std::max(e * es, offset);
    const int64_t hi = std::min((e + 1) * es, end);
    if (!pieces.empty() && pieces.back().fd == fd &&
        pieces.back().position + static_cast<int64_t>(pieces.back().length) == lo) {
      pieces.back().length += static_cast<size_t>(hi - lo);
    } else {
      pieces.push_back({fd, lo, static_cast<size_t>(hi - lo)});
    }
  }
  send(pieces, static_cast<size_t>(end - offset));
  privateHold.release();
  recallHold.release();
  m_recall->noteRead(first, count);
  if (readAhead) this->readAhead(first, count);
  return 0;
}

int KqBlkExtentIO::writeExtent(int64_t e, const char* data, size_t skip, size_t length) {
  const size_t es = static_cast<size_t>(m_extentSize);
  // Bytes of the extent that lie inside the device.
  const size_t used = static_cast<size_t>(std::min<int64_t>(m_extentSize, m_size - e * es));
  std::lock_guard<std::mutex> lock(writeLock(e));
  if (skip == 0 && length == es) {
    return m_private->writeExtent(e, data).IsError() ? EIO : 0;
  }
  char* tmp = scratch(es);
  if (skip == 0 && length >= used) {
    std::memset(tmp + length, 0, es - length);
  } else {
    int rc = readPresent(e, tmp);
    if (rc == ENOENT) {
      std::vector<int64_t> missing{e};
      rc = recallAndPlace(missing, [&](int64_t) { return readPresent(e, tmp); });
    }
    if (rc != 0) return EIO;
  }
  std::memcpy(tmp + skip, data, length);
  return m_private->writeExtent(e, tmp).IsError() ? EIO : 0;
}

int KqBlkExtentIO::write(const char* data, size_t length, int64_t offset, size_t& done) {
  done = 0;
  kqDriverLog(kFunc, 4, "write %zu bytes at %lld", length, static_cast<long long>(offset));
  if (m_queue.aborted()) return EIO;
  if (offset < 0) return EINVAL;
  if (length == 0) return 0;
  if (offset >= m_size) return ENOSPC;
  const int64_t end = std::min<int64_t>(offset + static_cast<int64_t>(length), m_size);
  const int64_t es = m_extentSize;
  const int64_t first = offset / es;
  const int64_t last = (end - 1) / es;

  // The partial extents at both ends need their old contents; fetch the
  // missing ones together rather than one after the other.
  std::vector<int64_t> missing;
  for (int64_t e : {first, last}) {
    const int64_t start = e * es;
    const bool partial = start < offset || (end < start + es && end < m_size);
    if (partial && !m_private->hasExtent(e) && !m_recall->hasExtent(e) &&
        (missing.empty() || missing.back() != e)) {
      missing.push_back(e);
    }
  }
  if (!missing.empty() &&
      !m_queue.recallAndWait(missing, nullptr, [this] { finishDeferred(); })) {
    return EIO;
  }

  for (int64_t e = first; e <= last; ++e) {
    const int64_t start = e * es;
    const int64_t lo = std::max(start, offset);
    const int64_t hi = std::min(start + es, end);
    const int rc = writeExtent(e, data + (lo - offset), static_cast<size_t>(lo - start),
                               static_cast<size_t>(hi - lo));
    if (rc != 0) return rc;
    if (m_queue.aborted()) return EIO;
  }
  done = static_cast<size_t>(end - offset);
  return 0;
}
