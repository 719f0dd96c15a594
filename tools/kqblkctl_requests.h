// The requests kqblkctl mount is serving, recorded while they run, so that
// cleanup can remove the directories of one whose process was killed.
#pragma once

#include <string>
#include <vector>

struct CtlRequest {
  std::string id, root, store;
};

// False when the record cannot be written (the request then runs without).
bool ctlRecordRequest(const CtlRequest& request);
void ctlForgetRequest(const std::string& id);
std::vector<CtlRequest> ctlRecordedRequests();
// The machine-wide lock a running request holds for its id.
std::string ctlRequestLockName(const std::string& id);
// What a request leaves in its own directories once its mounts and
// devices are gone: the private LVM configuration, then the store and
// mount root when they are empty. Never follows a link or crosses a mount.
void ctlRemoveRequestDirectories(const CtlRequest& request);
