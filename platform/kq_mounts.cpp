#include "kq_mounts.h"

#include <mntent.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

const char kMountTable[] = "/proc/mounts";

}  // namespace

bool KqReadMountTable(std::vector<KqMountEntry>& entries) {
  entries.clear();
  FILE* table = std::fopen(kMountTable, "rbe");
  if (table == nullptr) return false;
  struct mntent entry;
  char buffer[4096];
  while (getmntent_r(table, &entry, buffer, sizeof buffer) != nullptr) {
    entries.push_back({entry.mnt_fsname, entry.mnt_dir, entry.mnt_type, entry.mnt_opts,
                       entry.mnt_freq, entry.mnt_passno});
  }
  std::fclose(table);
  return true;
}

bool KqIsMountedOn(const std::string& path) {
  char real[PATH_MAX];
  if (path.empty() || ::realpath(path.c_str(), real) == nullptr) return false;
  std::vector<KqMountEntry> entries;
  if (!KqReadMountTable(entries)) return true;
  for (const KqMountEntry& entry : entries) {
    if (entry.directory == real) return true;
  }
  return false;
}
