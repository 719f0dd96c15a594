#define FUSE_USE_VERSION 35
#include "support/silent_fuse.h"

#include <fuse_lowlevel.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

const fuse_ino_t kFileIno = 2;

struct stat attributes(fuse_ino_t ino) {
  struct stat st;
  std::memset(&st, 0, sizeof st);
  st.st_ino = ino;
  if (ino == FUSE_ROOT_ID) {
    st.st_mode = S_IFDIR | 0755;
    st.st_nlink = 2;
  } else {
    st.st_mode = S_IFREG | 0444;
    st.st_nlink = 1;
    st.st_size = 1 << 20;
  }
  return st;
}

void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  if (parent != FUSE_ROOT_ID || std::strcmp(name, "file") != 0) {
    fuse_reply_err(req, ENOENT);
    return;
  }
  fuse_entry_param entry;
  std::memset(&entry, 0, sizeof entry);
  entry.ino = kFileIno;
  entry.attr = attributes(kFileIno);
  fuse_reply_entry(req, &entry);
}

void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  const struct stat st = attributes(ino);
  fuse_reply_attr(req, &st, 0);
}

void open(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  fi->direct_io = 1;  // every read goes to the server, none to the page cache
  fuse_reply_open(req, fi);
}

void read(fuse_req_t req, fuse_ino_t, size_t, off_t, fuse_file_info*) {
  static_cast<SilentFuse*>(fuse_req_userdata(req))->hold(req);
}

}  // namespace

SilentFuse::SilentFuse() {
  fuse_lowlevel_ops ops;
  std::memset(&ops, 0, sizeof ops);
  ops.lookup = lookup;
  ops.getattr = getattr;
  ops.open = open;
  ops.read = read;
  char name[] = "silent_fuse";
  char* argv[] = {name, nullptr};
  fuse_args args = FUSE_ARGS_INIT(1, argv);
  m_session = fuse_session_new(&args, &ops, sizeof ops, this);
  fuse_opt_free_args(&args);  // the session may have added options of its own
  if (!m_session) throw std::runtime_error("cannot make a FUSE session");
  if (fuse_session_mount(m_session, m_dir.path().c_str()) != 0) {
    fuse_session_destroy(m_session);
    throw std::runtime_error("cannot mount FUSE on " + m_dir.path());
  }
  m_loop = std::thread([this] { fuse_session_loop(m_session); });
}

SilentFuse::~SilentFuse() {
  release();
  fuse_session_exit(m_session);
  fuse_session_unmount(m_session);  // ends the loop's read of /dev/fuse
  m_loop.join();
  fuse_session_destroy(m_session);
}

void SilentFuse::hold(fuse_req* request) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_released) {
    fuse_reply_err(request, EIO);
  } else {
    m_held.push_back(request);
  }
}

void SilentFuse::release() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_released = true;
  for (fuse_req* request : m_held) fuse_reply_err(request, EIO);
  m_held.clear();
}
