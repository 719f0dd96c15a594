// A private LVM configuration directory: two complete lvm.conf files that
// confine LVM to the library's own devices, one allowing activation
// ("/default") and one forbidding it ("/noactivation").
#pragma once

#include <list>
#include <string>

// Variant directories, appended to the configuration directory.
extern const std::string lvm_def_cfg_dir;  // "/default": activation allowed
extern const std::string lvm_alt_cfg_dir;  // "/noactivation"

// The lvm.conf template and the pieces replaced in it.
extern const std::string DEVICE_FILTERS;  // placeholder of the filter line
extern const std::string ACTIVATION_ON;
extern const std::string ACTIVATION_OFF;
extern const std::string defCfg;
// Settings written right after the filter line. LVM 2.03 would otherwise
// let a devices file replace the filter and keep hints in /run/lvm, which
// the proxy's own LVM shares.
std::string kqblk_lvm203Settings(const std::string& filterEntries);

// The LVM filter entries of one list: for each entry, the part after its
// last slash or backslash as ' "a|part|"' (accept) or ' "r|part|"',
// comma-separated. An empty list gives an empty text.
std::string createFilterString(const std::list<std::string>& entries, bool accept);

class LVMConfig {
 public:
  explicit LVMConfig(std::string configDir);
  // Empty lists are replaced by the defaults {"kqblk"} and {".*"}.
  LVMConfig(std::string configDir, std::list<std::string> accept,
            std::list<std::string> reject);
  ~LVMConfig();

  std::string getConfigDir() const { return m_configDir; }

  // Writes both variants into the configuration directory, which must
  // exist; with reuseExisting, two existing variant directories are kept as
  // they are. Returns 0; throws KqException on failure.
  int createConfig(bool reuseExisting);
  // Writes one variant's lvm.conf, replacing the variant directory.
  int createConfig(const std::string& variantDir, bool activation);

 private:
  std::list<std::string> m_accept;
  std::list<std::string> m_reject;
  std::string m_configDir;
};
