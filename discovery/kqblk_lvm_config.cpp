// Writing the private LVM configuration directories.
#include "kqblk_lvm_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "kq_error.h"
#include "kq_fs.h"
#include "kq_log.h"
#include "kq_string.h"

namespace {

const char kFile[] = "kqblk_disk_utils";
const char kFunc[] = "createConfig";
const char kDriverDir[] = "/dev/kqblk/";
// Every node the driver makes, for a configuration without an accept list.
const char kAllDriverNodes[] = " \"a|^/dev/kqblk/[^/]+$|\"";
// Whatever no entry accepted: without it LVM would accept every device.
const char kRejectTheRest[] = " \"r|.*|\"";
const char kLockDir[] = "lock";

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool safeNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '.' || c == '_' || c == '+' || c == '-';
}

// The disk name of an entry ("NAME" or "/dev/kqblk/NAME"). A name reaches
// lvm.conf and a regular expression, so anything that could end the quoted
// string, the "|" delimiters or widen the expression is refused.
std::string diskName(const std::string& entry) {
  std::string name = entry;
  if (name.compare(0, sizeof kDriverDir - 1, kDriverDir) == 0) name.erase(0, sizeof kDriverDir - 1);
  bool safe = !name.empty() && name != "." && name != "..";
  for (char c : name) safe = safe && safeNameCharacter(c);
  if (!safe) {
    throw KqException("createFilterString",
                      "Disk name [" + entry +
                          "] cannot be given to LVM: a disk name may hold only letters, digits, "
                          "\".\", \"_\", \"+\" and \"-\"",
                      kFile, __LINE__, -1);
  }
  return name;
}

// `name` as a regular expression that matches only itself.
std::string literal(const std::string& name) {
  std::string pattern;
  for (char c : name) {
    if (c == '.' || c == '+') {
      pattern += std::string("[") + c + "]";
    } else {
      pattern += c;
    }
  }
  return pattern;
}

// Writes `text` to `file` whole or not at all: a short file would leave LVM
// with its built-in defaults, that is unconfined.
void writeWhole(const std::string& file, const std::string& text) {
  std::string temp = file + ".XXXXXX";
  const int fd = mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) {
    throw KqException(kFunc, "Failed to create lvm config @ " + file, kFile, __LINE__, -1);
  }
  int error = 0;
  for (size_t done = 0; done < text.size() && !error;) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      error = errno;
    } else if (n == 0) {
      error = EIO;
    }
  }
  if (!error && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && !error) error = errno;
  if (!error && rename(temp.c_str(), file.c_str()) != 0) error = errno;
  if (error) {
    unlink(temp.c_str());
    throw KqException(kFunc,
                      "Failed to write lvm config @ " + file + ": " + std::strerror(error),
                      kFile, __LINE__, error);
  }
}

}  // namespace

std::string createFilterString(const std::list<std::string>& entries, bool accept) {
  const char letter = accept ? 'a' : 'r';
  std::string filter;
  for (const std::string& entry : entries) {
    filter += " \"";
    filter += letter;
    filter += "|^/dev/kqblk/" + literal(diskName(entry)) + "(p[0-9]+)?$|\",";
  }
  if (!filter.empty() && filter.back() == ',') filter.pop_back();
  return filter;
}

LVMConfig::LVMConfig(std::string configDir) : m_configDir(std::move(configDir)) {}

LVMConfig::LVMConfig(std::string configDir, std::list<std::string> accept,
                     std::list<std::string> reject)
    : m_accept(std::move(accept)), m_reject(std::move(reject)), m_configDir(std::move(configDir)) {}

LVMConfig::~LVMConfig() = default;

void LVMConfig::acceptStackedDevice(const std::string& node) {
  static const char kNodeCharacters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/_-.";
  if (node.compare(0, 5, "/dev/") != 0 || node.find("..") != std::string::npos ||
      node.find_first_not_of(kNodeCharacters) != std::string::npos) {
    throw KqException("LVMConfig::acceptStackedDevice", "Not a node LVM may see: " + node, kFile,
                      __LINE__, -1);
  }
  m_stacked.push_back(node);
}

void LVMConfig::rewriteFilters() {
  for (const bool activation : {true, false}) {
    const std::string variantDir = m_configDir + (activation ? lvm_def_cfg_dir : lvm_alt_cfg_dir);
    writeWhole(variantDir + "/lvm.conf", variantText(variantDir, activation));
  }
}

std::string LVMConfig::filterEntries() const {
  std::string entries;
  for (const std::string& node : m_stacked) entries += " \"a|^" + literal(node) + "$|\",";
  entries += m_accept.empty() ? kAllDriverNodes : createFilterString(m_accept, true);
  const std::string rejects = createFilterString(m_reject, false);
  if (!rejects.empty()) entries += "," + rejects;
  return entries + "," + kRejectTheRest;
}

std::string LVMConfig::variantText(const std::string& variantDir, bool activation) const {
  const size_t placeholder = defCfg.find(DEVICE_FILTERS);
  const std::string entries = filterEntries();
  std::string text = defCfg.substr(0, placeholder);
  text += "filter = [ " + entries + " ]\n";
  text += kqblk_lvm203Settings(entries);
  text += defCfg.substr(placeholder + DEVICE_FILTERS.size());

  const struct {
    const char* marker;
    std::string value;
  } paths[] = {{"LVM_CACHE_DIR", variantDir + "/lvm_cache"}, {"LVM_LOCK_DIR", m_configDir + kLockDir}};
  for (const auto& path : paths) {
    const size_t at = text.find(path.marker);
    if (at != std::string::npos) text.replace(at, std::strlen(path.marker), path.value);
  }
  if (!activation) {
    const size_t on = text.find(ACTIVATION_ON);
    if (on != std::string::npos) text.replace(on, ACTIVATION_ON.size(), ACTIVATION_OFF);
  }
  return text;
}

int LVMConfig::createConfig(bool reuseExisting) {
  if (m_configDir.empty() || m_configDir.back() != '/') m_configDir += '/';
  struct stat st = {};
  errno = 0;
  if (stat(m_configDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    const std::string why = FXString::Format("errno : %d, mode: %x", errno,
                                             static_cast<unsigned>(st.st_mode));
    throw KqException(kFunc, "Failed to stat config directory:" + m_configDir + ":" + why, kFile,
                      __LINE__, -1);
  }
  const std::string defaultDir = m_configDir + lvm_def_cfg_dir;
  const std::string noActivationDir = m_configDir + lvm_alt_cfg_dir;
  if (reuseExisting && isDirectory(defaultDir) && isDirectory(noActivationDir)) return 0;
  filterEntries();  // refuses unsafe names before anything is touched
  const std::string lockDir = m_configDir + kLockDir;
  if (mkdir(lockDir.c_str(), 0700) != 0 && !(errno == EEXIST && isDirectory(lockDir))) {
    throw KqException(kFunc, "Failed to create LVM lock directory " + lockDir + ": " +
                                 std::strerror(errno),
                      kFile, __LINE__, -1);
  }
  createConfig(defaultDir, true);
  createConfig(noActivationDir, false);
  return 0;
}

int LVMConfig::createConfig(const std::string& variantDir, bool activation) {
  EvDebug::Debug(kFunc, "Attempt to clean up kqblk lvm config dir [%s]", variantDir.c_str());
  CUxError error = CUxDirectory::Remove(variantDir, true, false);
  if (error.IsError()) {
    EvDebug::Error(kFunc, "Failed to remove [%s] err[%s]. Error ignored", variantDir.c_str(),
                   error.AsString().c_str());
  }
  error = CUxDirectory::Create(variantDir, true);
  if (error.IsError()) {
    EvDebug::Error(kFunc, "Failed to Create [%s] err[%s]. Error ignored", variantDir.c_str(),
                   error.AsString().c_str());
  }

  // A file that survived the removal would be written over half-way; refuse.
  const std::string file = variantDir + "/lvm.conf";
  struct stat st;
  if (stat(file.c_str(), &st) == 0) {
    throw KqException(kFunc, "Failed to stat [" + file + "]", kFile, __LINE__, -1);
  }
  const std::string text = variantText(variantDir, activation);
  EvDebug::Debug(kFunc, "Filters = [%s]", filterEntries().c_str());
  writeWhole(file, text);
  return 0;
}
