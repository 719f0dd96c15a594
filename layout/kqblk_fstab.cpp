#include "kqblk_fstab.h"

#include <cerrno>
#include <cstring>
#include <functional>

#include "kq_error.h"

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
  FILE* file = std::fopen(path.c_str(), "re");
  if (!file) return;
  slurp(file);
  std::fclose(file);
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
  kqblk_fstab_entry work;
  while (getmntent_r(file, &work.m_view, work.m_buffer, kqblk_fstab_entry::kBufferSize)) {
    m_entries.push_back(work);
  }
}
