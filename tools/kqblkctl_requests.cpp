#include "kqblkctl_requests.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "kq_fs.h"

namespace {

const char kDir[] = "/run/kqblkctl";

std::string fileOf(const std::string& id) { return std::string(kDir) + "/" + id; }

}  // namespace

bool ctlRecordRequest(const CtlRequest& request) {
  if (::mkdir(kDir, 0700) != 0 && errno != EEXIST) return false;
  std::ofstream out(fileOf(request.id), std::ios::trunc);
  out << request.root << "\n" << request.store << "\n";
  return static_cast<bool>(out);
}

void ctlForgetRequest(const std::string& id) { ::unlink(fileOf(id).c_str()); }

std::vector<CtlRequest> ctlRecordedRequests() {
  std::vector<CtlRequest> requests;
  KQFindData entry;
  KQFindHandle find = KQFindFirstFile(kDir, &entry);
  if (!find) return requests;
  do {
    CtlRequest r;
    r.id = entry.name;
    std::ifstream in(fileOf(r.id));
    if (std::getline(in, r.root) && std::getline(in, r.store)) requests.push_back(r);
  } while (KQFindNextFile(find, &entry));
  return requests;
}

std::string ctlRequestLockName(const std::string& id) { return "kqblkctl-id-" + id; }

void ctlRemoveRequestDirectories(const CtlRequest& request) {
  CUxDirectory::Remove(request.store + "/lvm", true, false);
  ::rmdir(request.store.c_str());
  ::rmdir(request.root.c_str());
}
