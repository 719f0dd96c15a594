#include "kqblk_fstab.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>

#include "kq_error.h"
#include "kq_log.h"

namespace {
const char kFunc[] = "kqblk_fstab_reader";
}  // namespace

kqblk_fstab_entry::kqblk_fstab_entry() {
  std::memset(m_buffer, 0, sizeof m_buffer);
  m_view.mnt_fsname = &m_empty;
  m_view.mnt_dir = &m_empty;
  m_view.mnt_type = &m_empty;
  m_view.mnt_opts = &m_empty;
  m_view.mnt_freq = 0;
  m_view.mnt_passno = 0;
}

kqblk_fstab_entry::kqblk_fstab_entry(const kqblk_fstab_entry& other) { *this = other; }

kqblk_fstab_entry& kqblk_fstab_entry::operator=(const kqblk_fstab_entry& other) {
  if (this == &other) return *this;
  std::memcpy(m_buffer, other.m_buffer, sizeof m_buffer);
  m_view.mnt_fsname = rebase(other, other.m_view.mnt_fsname);
  m_view.mnt_dir = rebase(other, other.m_view.mnt_dir);
  m_view.mnt_type = rebase(other, other.m_view.mnt_type);
  m_view.mnt_opts = rebase(other, other.m_view.mnt_opts);
  m_view.mnt_freq = other.m_view.mnt_freq;
  m_view.mnt_passno = other.m_view.mnt_passno;
  return *this;
}

char* kqblk_fstab_entry::rebase(const kqblk_fstab_entry& from, const char* text) {
  // The C library points a missing field at a constant empty text of its own.
  const std::less<const char*> before;
  if (!text || before(text, from.m_buffer) || !before(text, from.m_buffer + kBufferSize)) {
    return &m_empty;
  }
  return m_buffer + (text - from.m_buffer);
}

kqblk_fstab_reader::kqblk_fstab_reader(std::string path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  FILE* file = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? ::fdopen(fd, "r") : nullptr;
  if (!file) {
    EvDebug::Debug(kFunc, "Not reading %s: not a regular file", path.c_str());
    ::close(fd);
    return;
  }
  const std::unique_ptr<FILE, int (*)(FILE*)> closer(file, std::fclose);
  slurp(file);
}

kqblk_fstab_reader::kqblk_fstab_reader(FILE* file) {
  if (!file) {
    throw FXErrorUtil::ErrorErrNo(
        FXCodeLocation("kqblk_fstab_reader::kqblk_fstab_reader(FILE*)", __FILE__, __LINE__),
        EINVAL, "NULL file pointer to fstab file.");
  }
  slurp(file);
}

void kqblk_fstab_reader::slurp(FILE* file) {
  std::string text(kMaxBytes + 1, '\0');
  text.resize(std::fread(&text[0], 1, text.size(), file));
  if (text.size() > kMaxBytes) {
    throw FXErrorUtil::ErrorErrNo(FX_HERE, EFBIG, "the fstab is larger than %zu bytes: refused",
                                  kMaxBytes);
  }
  if (text.empty()) return;
  const std::unique_ptr<FILE, int (*)(FILE*)> lines(
      ::fmemopen(&text[0], text.size(), "r"), std::fclose);
  if (!lines) {
    throw FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot read the fstab from memory");
  }
  std::list<kqblk_fstab_entry> entries;
  kqblk_fstab_entry work;
  while (getmntent_r(lines.get(), &work.m_view, work.m_buffer, kqblk_fstab_entry::kBufferSize)) {
    if (entries.size() == kMaxEntries) {
      throw FXErrorUtil::ErrorErrNo(FX_HERE, EFBIG, "the fstab has more than %zu entries: refused",
                                    kMaxEntries);
    }
    entries.push_back(work);
  }
  m_entries.splice(m_entries.end(), entries);
}
