#define FUSE_USE_VERSION 312
#include "kqblk_engine_fuse.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kq_log.h"
#include "kq_string.h"
#include "kqblk_engine_io.h"

const char* const KqBlkFuseServer::kFileName = "disk";

namespace {

const char kFunc[] = "KqBlkFuseServer";
const fuse_ino_t kRootIno = FUSE_ROOT_ID;
const fuse_ino_t kFileIno = 2;
// The file's size never changes and nobody else writes it: cache for long.
const double kAttrTimeout = 86400.0;
// How long stop() waits for the server threads once the connection ends.
const auto kStopWait = std::chrono::seconds(10);

KqBlkFuseServer* serverOf(fuse_req_t req) {
  return static_cast<KqBlkFuseServer*>(fuse_req_userdata(req));
}

void fillAttr(const KqBlkFuseServer* server, fuse_ino_t ino, struct stat& st) {
  std::memset(&st, 0, sizeof st);
  st.st_ino = ino;
  st.st_uid = 0;
  st.st_gid = 0;
  if (ino == kRootIno) {
    st.st_mode = S_IFDIR | 0700;
    st.st_nlink = 2;
  } else {
    const int64_t size = server->io()->size();
    st.st_mode = S_IFREG | 0600;
    st.st_nlink = 1;
    st.st_size = size;
    st.st_blksize = server->io()->extentSize();
    st.st_blocks = (size + 511) / 512;
  }
}

void opInit(void*, fuse_conn_info* conn) {
  conn->max_write = KqBlkFuseServer::maxRequest();
  conn->max_read = KqBlkFuseServer::maxRequest();  // must match the mount option
  conn->max_background = 64;
  conn->congestion_threshold = 48;
  if (conn->capable & FUSE_CAP_ASYNC_DIO) conn->want |= FUSE_CAP_ASYNC_DIO;
  // Replies of recalled extents are spliced from the stores' data files.
  // Moving pages would take them out of the stores' page cache; reading
  // requests through a pipe only adds system calls for small writes.
  if (conn->capable & FUSE_CAP_SPLICE_WRITE) conn->want |= FUSE_CAP_SPLICE_WRITE;
  conn->want &= ~(FUSE_CAP_SPLICE_READ | FUSE_CAP_SPLICE_MOVE);
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  if (parent != kRootIno || std::strcmp(name, KqBlkFuseServer::kFileName) != 0) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  fuse_entry_param entry;
  std::memset(&entry, 0, sizeof entry);
  entry.ino = kFileIno;
  entry.attr_timeout = kAttrTimeout;
  entry.entry_timeout = kAttrTimeout;
  fillAttr(serverOf(req), kFileIno, entry.attr);
  fuse_reply_entry(req, &entry);
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  if (ino != kRootIno && ino != kFileIno) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  struct stat st;
  fillAttr(serverOf(req), ino, st);
  fuse_reply_attr(req, &st, kAttrTimeout);
}

void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if (ino != kFileIno) {
    fuse_reply_err(req, EISDIR);
    return;
  }
  // The loop device keeps its own page cache; a second one in the FUSE file
  // would only double the memory and hide aborts from cached readers.
  fi->direct_io = 1;
  fuse_reply_open(req, fi);
}

void opRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
  if (ino != kFileIno) {
    fuse_reply_err(req, EISDIR);
    return;
  }
  size = std::min<size_t>(size, KqBlkFuseServer::maxRequest());
  KqBlkExtentIO* io = serverOf(req)->io();
  const KqBlkExtentIO::PieceSink send = [req](const std::vector<KqBlkReadPiece>& pieces, size_t) {
    // The kernel takes the bytes from the data files' page cache; the
    // extents stay held until the reply has been written.
    thread_local std::vector<char> storage;
    const size_t bytes = sizeof(fuse_bufvec) + (pieces.size() - 1) * sizeof(fuse_buf);
    if (storage.size() < bytes) storage.resize(bytes);
    fuse_bufvec* vec = reinterpret_cast<fuse_bufvec*>(storage.data());
    std::memset(vec, 0, bytes);
    vec->count = pieces.size();
    for (size_t i = 0; i < pieces.size(); ++i) {
      fuse_buf& b = vec->buf[i];
      b.size = pieces[i].length;
      b.flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK | FUSE_BUF_FD_RETRY);
      b.fd = pieces[i].fd;
      b.pos = pieces[i].position;
    }
    fuse_reply_data(req, vec, static_cast<fuse_buf_copy_flags>(0));
  };
  int rc = io->readHeld(size, off, send);
  if (rc == ENOENT) {
    // Recalled extents are answered from the stores like present ones.
    rc = io->recallMissing(size, off);
    if (rc == 0) rc = io->readHeld(size, off, send, false);
  }
  if (rc == 0) return;
  if (rc != ENOENT) {
    fuse_reply_err(req, rc);
    return;
  }
  // Still absent: the end of the device, an eviction since the recall, or
  // a full cache that dropped the data; read() copes with each.
  thread_local std::vector<char> buffer;
  if (buffer.size() < size) buffer.resize(size);
  size_t done = 0;
  rc = io->read(buffer.data(), size, off, done);
  if (rc != 0) {
    fuse_reply_err(req, rc);
  } else {
    fuse_reply_buf(req, buffer.data(), done);
  }
}

void opWrite(fuse_req_t req, fuse_ino_t ino, const char* data, size_t size, off_t off,
             fuse_file_info*) {
  if (ino != kFileIno) {
    fuse_reply_err(req, EISDIR);
    return;
  }
  size_t done = 0;
  const int rc = serverOf(req)->io()->write(data, size, off, done);
  if (rc != 0) {
    fuse_reply_err(req, rc);
  } else {
    fuse_reply_write(req, done);
  }
}

// Every write is in a store when it is answered: nothing to flush.
void opNothing(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }
void opFsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) { fuse_reply_err(req, 0); }

void opOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if (ino != kRootIno) {
    fuse_reply_err(req, ENOTDIR);
    return;
  }
  fuse_reply_open(req, fi);
}

void opReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
  if (ino != kRootIno) {
    fuse_reply_err(req, ENOTDIR);
    return;
  }
  struct Item {
    const char* name;
    fuse_ino_t ino;
    mode_t mode;
  };
  const Item items[] = {{".", kRootIno, S_IFDIR}, {"..", kRootIno, S_IFDIR},
                        {KqBlkFuseServer::kFileName, kFileIno, S_IFREG}};
  std::vector<char> buf(size);
  size_t used = 0;
  for (off_t i = off; i < static_cast<off_t>(sizeof items / sizeof items[0]); ++i) {
    struct stat st;
    std::memset(&st, 0, sizeof st);
    st.st_ino = items[i].ino;
    st.st_mode = items[i].mode;
    const size_t need =
        fuse_add_direntry(req, buf.data() + used, size - used, items[i].name, &st, i + 1);
    if (need > size - used) break;
    used += need;
  }
  fuse_reply_buf(req, buf.data(), used);
}

fuse_lowlevel_ops makeOps() {
  fuse_lowlevel_ops ops;
  std::memset(&ops, 0, sizeof ops);
  ops.init = opInit;
  ops.lookup = opLookup;
  ops.getattr = opGetattr;
  ops.open = opOpen;
  ops.read = opRead;
  ops.write = opWrite;
  ops.flush = opNothing;
  ops.release = opNothing;
  ops.fsync = opFsync;
  ops.opendir = opOpendir;
  ops.readdir = opReaddir;
  ops.releasedir = opNothing;
  ops.fsyncdir = opFsync;
  return ops;
}

void logFromFuse(fuse_log_level level, const char* format, va_list ap) {
  const std::string text = FXString::FormatV(format, ap);
  EvDebug::write(level <= FUSE_LOG_ERR ? -1 : 3, "libfuse", text);
}

}  // namespace

bool kqblk_abortFuseConnection(dev_t mountDev) {
  // The control file system names a connection by the kernel's encoding of
  // the mount's device number.
  const unsigned long id = (static_cast<unsigned long>(major(mountDev)) << 20) | minor(mountDev);
  const std::string path = FXString::Format("/sys/fs/fuse/connections/%lu/abort", id);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::write(fd, "1", 1) == 1;
  ::close(fd);
  return ok;
}

unsigned KqBlkFuseServer::maxRequest() {
  static const unsigned bytes = [] {
    const unsigned kMost = 1024 * 1024;
    const unsigned kLeast = 128 * 1024;
    // The reply's header and libfuse's estimate of partial pages.
    const unsigned kPipeSlack = 16 * 1024;
    unsigned long pipeMax = 0;
    FILE* f = std::fopen("/proc/sys/fs/pipe-max-size", "re");
    if (f != nullptr) {
      if (std::fscanf(f, "%lu", &pipeMax) != 1) pipeMax = 0;
      std::fclose(f);
    }
    if (pipeMax < kLeast + kPipeSlack) return kLeast;
    const unsigned long fits = (pipeMax - kPipeSlack) / 4096 * 4096;
    return static_cast<unsigned>(std::min<unsigned long>(kMost, fits));
  }();
  return bytes;
}

// The engine keeps a server whose stop() failed alive for good, so this
// stop() only ever finds nothing running or ends it cleanly.
KqBlkFuseServer::~KqBlkFuseServer() { stop(); }

CUxError KqBlkFuseServer::start(const std::string& mountDir, KqBlkExtentIO* io) {
  static std::once_flag logInstalled;
  std::call_once(logInstalled, [] { fuse_set_log_func(logFromFuse); });
  m_mountDir = mountDir;
  m_io = io;
  const std::string options =
      FXString::Format("fsname=kqblk,subtype=kqblk,default_permissions,max_read=%u", maxRequest());
  const char* argv[] = {"kqblk", "-o", options.c_str(), nullptr};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  static const fuse_lowlevel_ops ops = makeOps();
  m_session = fuse_session_new(&args, &ops, sizeof ops, this);
  fuse_opt_free_args(&args);  // parsing may have made copies
  if (m_session == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "cannot make a FUSE session for %s",
                                   mountDir.c_str());
  }
  if (fuse_session_mount(m_session, mountDir.c_str()) != 0) {
    const int err = errno ? errno : EIO;
    fuse_session_destroy(m_session);
    m_session = nullptr;
    return FXErrorUtil::ErrorErrNo(FX_HERE, err, "cannot mount the FUSE file system on %s",
                                   mountDir.c_str());
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running = kWorkers;
  }
  fuse_session* session = m_session;
  for (int i = 0; i < kWorkers; ++i) {
    m_threads.emplace_back([this, session] { serve(session); });
  }
  struct stat st;
  if (::stat(mountDir.c_str(), &st) != 0) {
    const int err = errno;
    stop();
    return FXErrorUtil::ErrorErrNo(FX_HERE, err, "the FUSE mount on %s does not answer",
                                   mountDir.c_str());
  }
  m_mountDev = st.st_dev;
  return CUxError();
}

void KqBlkFuseServer::serve(fuse_session* session) {
  // Signals belong to the application's threads, not to the server's.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  fuse_buf buf;
  std::memset(&buf, 0, sizeof buf);
  while (!fuse_session_exited(session)) {
    const int res = fuse_session_receive_buf(session, &buf);
    if (res == -EINTR || res == -EAGAIN) continue;
    if (res <= 0) break;  // 0: the connection has ended
    fuse_session_process_buf(session, &buf);
  }
  std::free(buf.mem);
  std::lock_guard<std::mutex> lock(m_mutex);
  if (--m_running == 0) m_exited.notify_all();
}

bool KqBlkFuseServer::stop() {
  if (m_session == nullptr) return true;
  fuse_session_exit(m_session);
  // The threads block reading the connection; ending it wakes them all.
  ::umount2(m_mountDir.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
  if (m_mountDev != 0) kqblk_abortFuseConnection(m_mountDev);
  bool ended;
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    ended = m_exited.wait_for(lock, kStopWait, [this] { return m_running == 0; });
  }
  if (!ended) {
    // Something still holds the file system open: rather than hang, leave
    // the threads and their session to the end of the process.
    EvDebug::Error(kFunc, "FUSE server threads of %s did not end; leaving them",
                   m_mountDir.c_str());
    for (std::thread& t : m_threads) t.detach();
    m_threads.clear();
    m_session = nullptr;
    return false;
  }
  for (std::thread& t : m_threads) t.join();
  m_threads.clear();
  fuse_session_unmount(m_session);  // closes the (now dead) connection descriptor
  fuse_session_destroy(m_session);
  m_session = nullptr;
  return true;
}
