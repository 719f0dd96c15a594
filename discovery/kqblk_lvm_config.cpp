// Writing the private LVM configuration directories.
#include "kqblk_lvm_config.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "kq_error.h"
#include "kq_fs.h"
#include "kq_log.h"
#include "kq_string.h"

namespace {

const char kFile[] = "kqblk_disk_utils";
const char kFunc[] = "createConfig";

const std::list<std::string> kDefaultAccept = {"kqblk"};
const std::list<std::string> kDefaultReject = {".*"};

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string createFilterString(const std::list<std::string>& entries, bool accept) {
  const char letter = accept ? 'a' : 'r';
  std::string filter;
  for (const std::string& entry : entries) {
    const size_t slash = entry.find_last_of("/\\");
    const std::string part = slash == std::string::npos ? entry : entry.substr(slash + 1);
    filter += " \"";
    filter += letter;
    filter += "|" + part + "|\",";
  }
  if (!filter.empty() && filter.back() == ',') filter.pop_back();
  return filter;
}

LVMConfig::LVMConfig(std::string configDir)
    : m_accept(kDefaultAccept), m_reject(kDefaultReject), m_configDir(std::move(configDir)) {}

LVMConfig::LVMConfig(std::string configDir, std::list<std::string> accept,
                     std::list<std::string> reject)
    : m_accept(accept.empty() ? kDefaultAccept : std::move(accept)),
      m_reject(reject.empty() ? kDefaultReject : std::move(reject)),
      m_configDir(std::move(configDir)) {}

LVMConfig::~LVMConfig() = default;

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
  FILE* out = std::fopen(file.c_str(), "we");
  if (!out) {
    throw KqException(kFunc, "Failed to create lvm config @ " + file, kFile, __LINE__, -1);
  }
  const std::string cacheDir = variantDir + "/lvm_cache";

  const size_t placeholder = defCfg.find(DEVICE_FILTERS);
  std::string text = defCfg.substr(0, placeholder);
  std::string entries = createFilterString(m_accept, true);
  const std::string rejects = createFilterString(m_reject, false);
  if (!rejects.empty()) entries += "," + rejects;
  text += "filter = [ " + entries + " ]\n";
  EvDebug::Debug(kFunc, "Filters = [%s]", text.c_str());
  text += kqblk_lvm203Settings(entries);
  text += defCfg.substr(placeholder + DEVICE_FILTERS.size());

  const std::string cacheMarker = "LVM_CACHE_DIR";
  const size_t cachePos = text.find(cacheMarker);
  if (cachePos != std::string::npos) text.replace(cachePos, cacheMarker.size(), cacheDir);
  if (!activation) {
    const size_t on = text.find(ACTIVATION_ON);
    if (on != std::string::npos) text.replace(on, ACTIVATION_ON.size(), ACTIVATION_OFF);
  }
  std::fwrite(text.data(), 1, text.size(), out);
  std::fclose(out);
  return 0;
}
