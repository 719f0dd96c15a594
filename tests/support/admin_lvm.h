// LVM as an administrator of the machine runs it, under a configuration of
// its own that sees exactly the given devices (never the host's others).
#pragma once

#include <string>
#include <vector>

// Writes `configDir`/lvm.conf (making the directory) accepting `devices`
// only, with no daemons, udev lists, hints, backups or autoactivation.
void writeAdminLvmConfig(const std::string& configDir, const std::vector<std::string>& devices);

class AdminLvm {
 public:
  AdminLvm(const std::string& configDir, const std::vector<std::string>& devices);
  // Standard output; throws std::runtime_error when the command fails.
  std::string operator()(const std::string& command) const;

 private:
  std::string m_dir;
};
