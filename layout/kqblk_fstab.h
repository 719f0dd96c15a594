// The guest's fstab as a list of self-contained entries, one per line, in
// file order, parsed by the C library's mount-table reader.
#pragma once

#include <mntent.h>

#include <cstdio>
#include <list>
#include <string>

// One parsed fstab line. Its text lives in the entry's own buffer; a copy
// owns a copy of that text, so an entry outlives whatever it was copied from.
class kqblk_fstab_entry {
 public:
  static constexpr size_t kBufferSize = 4096;

  kqblk_fstab_entry();
  kqblk_fstab_entry(const kqblk_fstab_entry& other);
  kqblk_fstab_entry& operator=(const kqblk_fstab_entry& other);

  const mntent& get() const { return m_view; }

 private:
  friend class kqblk_fstab_reader;
  // `text` of `from` at the same place in this entry's storage; text outside
  // `from`'s buffer (a field the parser left empty) becomes empty text.
  char* rebase(const kqblk_fstab_entry& from, const char* text);

  char m_buffer[kBufferSize];
  char m_empty = '\0';
  mntent m_view;
};

// The file is the guest's: it is read only up to kMaxBytes and kMaxEntries,
// and one beyond either is refused whole (CUxError, EFBIG), since every
// entry is later matched against every device with a fresh probe.
class kqblk_fstab_reader {
 public:
  static constexpr size_t kMaxBytes = 1 << 20;
  static constexpr size_t kMaxEntries = 4096;

  // A file that cannot be opened, a link or anything but a regular file
  // (a FIFO would block) gives an empty list.
  explicit kqblk_fstab_reader(std::string path);
  // Reads an open file, which stays the caller's. Throws CUxError (EINVAL)
  // for a null file.
  explicit kqblk_fstab_reader(FILE* file);

  // Appends the file's entries; stops at the end or at a read error. Throws
  // CUxError (EFBIG), appending nothing, for a file over the limits.
  void slurp(FILE* file);
  const std::list<kqblk_fstab_entry>& get() const { return m_entries; }

 private:
  std::list<kqblk_fstab_entry> m_entries;
};
