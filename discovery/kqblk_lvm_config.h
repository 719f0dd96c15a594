// A private LVM configuration directory: two complete lvm.conf files that
// confine LVM to the library's own devices, one allowing activation
// ("/default") and one forbidding it ("/noactivation").
#pragma once

#include <cstdint>
#include <list>
#include <string>

// Seconds before an external command of discovery is killed (Session /
// nHLXSystemCmdTimeout, default 120).
uint32_t kqblk_systemCmdTimeout();

// Variant directories, appended to the configuration directory.
extern const std::string lvm_def_cfg_dir;  // "/default": activation allowed
extern const std::string lvm_alt_cfg_dir;  // "/noactivation"

// The lvm.conf template and the pieces replaced in it ("LVM_CACHE_DIR" and
// "LVM_LOCK_DIR" are replaced by the variant's cache directory and the
// configuration's own lock directory).
extern const std::string DEVICE_FILTERS;  // placeholder of the filter line
extern const std::string ACTIVATION_ON;
extern const std::string ACTIVATION_OFF;
extern const std::string defCfg;
// Settings written right after the filter line. LVM 2.03 would otherwise
// let a devices file replace the filter, keep hints in /run/lvm, which the
// proxy's own LVM shares, and take its device list from udev.
std::string kqblk_lvm203Settings(const std::string& filterEntries);

// The LVM filter entries of one list of disks, comma-separated, each
// ' "a|^/dev/kqblk/NAME(p[0-9]+)?$|"' (accept) or the same with "r": the
// driver's node of the disk and of its partitions, nothing else. An entry is
// a disk name or its node "/dev/kqblk/NAME"; a name outside letters, digits,
// ".", "_", "+" and "-" (or "." or "..") throws KqException before anything
// is written. An empty list gives an empty text.
std::string createFilterString(const std::list<std::string>& entries, bool accept);

class LVMConfig {
 public:
  // Sees every node of the driver (what the crash sweep needs).
  explicit LVMConfig(std::string configDir);
  // Sees the nodes of the disks in `accept` (every node of the driver when
  // it is empty) except those in `reject`; every other device is rejected.
  LVMConfig(std::string configDir, std::list<std::string> accept,
            std::list<std::string> reject);
  ~LVMConfig();

  std::string getConfigDir() const { return m_configDir; }

  // Writes both variants and makes the configuration's lock directory
  // ("lock") in the configuration directory, which must exist; with
  // reuseExisting, two existing variant directories are kept as they are.
  // Returns 0; throws KqException on failure.
  int createConfig(bool reuseExisting);
  // Writes one variant's lvm.conf, replacing the variant directory. The
  // file is written whole or not at all (temporary file, fsync, rename).
  int createConfig(const std::string& variantDir, bool activation);

  // Lets LVM also see `node`, a device discovery built on the accepted ones
  // (an md array or an opened LUKS volume of the request), from the next
  // rewriteFilters on. Throws KqException for a node outside /dev/ or with a
  // character other than letters, digits, "/", "_", "-" and ".".
  void acceptStackedDevice(const std::string& node);
  // Writes both variants' lvm.conf again, in place and whole, after the
  // lists changed; LVM's caches beside them stay.
  void rewriteFilters();

  // The filter entries of both lists with the final reject-all entry;
  // throws KqException for a disk name that may not reach LVM.
  std::string filterEntries() const;
  // The complete lvm.conf of one variant directory of this configuration:
  // what createConfig writes and what the runner insists on finding.
  std::string variantText(const std::string& variantDir, bool activation) const;

 private:
  std::list<std::string> m_accept;
  std::list<std::string> m_reject;
  std::list<std::string> m_stacked;  // exact nodes, accepted before everything else
  std::string m_configDir;
};
