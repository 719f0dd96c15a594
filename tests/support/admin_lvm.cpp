#include "support/admin_lvm.h"

#include <sys/stat.h>

#include <fstream>

#include "support/run_tool.h"

void writeAdminLvmConfig(const std::string& configDir, const std::vector<std::string>& devices) {
  ::mkdir(configDir.c_str(), 0755);
  std::string filter = "[ ";
  for (const std::string& device : devices) filter += "\"a|^" + device + "$|\", ";
  filter += "\"r|.*|\" ]";
  std::ofstream(configDir + "/lvm.conf")
      << "devices { filter = " << filter << " global_filter = " << filter
      << " use_devicesfile = 0 hints = \"none\" obtain_device_list_from_udev = 0 }\n"
      << "global { locking_dir = \"" << configDir << "/lock\" use_lvmpolld = 0 event_activation = 0 }\n"
      << "activation { monitoring = 0 }\nbackup { backup = 0 archive = 0 }\n";
}

AdminLvm::AdminLvm(const std::string& configDir, const std::vector<std::string>& devices)
    : m_dir(configDir) {
  writeAdminLvmConfig(m_dir, devices);
}

std::string AdminLvm::operator()(const std::string& command) const {
  return runTool("LVM_SYSTEM_DIR=" + shellQuote(m_dir) + " " + command);
}
