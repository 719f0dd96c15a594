#include "driver_double.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "kqblk_driver.h"

DriverDouble& driverDouble() {
  static DriverDouble d;
  return d;
}

void DriverDouble::reset() {
  std::lock_guard<std::mutex> lock(mutex);
  createResult.Success();
  monitorResult.Success();
  getFdResult.Success();
  abortResult.Success();
  waitReadyResult.Success();
  destroyFailures = 0;
  readAhead.clear();
  lastReadyTimeout = 0;
  ownedDevices.clear();
  controlDir = kControlDir;
  calls.clear();
  recallsDone.clear();
  requests.clear();
  for (int& fd : pipeFds) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK);
}

void DriverDouble::pushRequest(int64_t extent) {
  std::lock_guard<std::mutex> lock(mutex);
  requests.push_back(extent);
  const char byte = 'r';
  (void)!write(pipeFds[1], &byte, 1);
}

void DriverDouble::poke() {
  const char byte = 'p';
  (void)!write(pipeFds[1], &byte, 1);
}

void DriverDouble::raiseError() {
  std::lock_guard<std::mutex> lock(mutex);
  close(pipeFds[1]);  // the reader then sees POLLHUP
  pipeFds[1] = -1;
}

bool DriverDouble::waitForRecalls(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex);
  return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return recallsDone.size() >= count; });
}

size_t DriverDouble::countCalls(const std::string& call) {
  std::lock_guard<std::mutex> lock(mutex);
  size_t n = 0;
  for (const std::string& c : calls) n += c == call;
  return n;
}

namespace {
void record(const std::string& call) {
  DriverDouble& d = driverDouble();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.calls.push_back(call);
}
}  // namespace

KqBlkDriverUnix::KqBlkDriverUnix() = default;
KqBlkDriverUnix::~KqBlkDriverUnix() = default;

CUxError KqBlkDriverUnix::createAutoAbortDevice(const std::string& name,
                                                std::shared_ptr<KqBlkRecallStore>,
                                                std::shared_ptr<KqBlkRecallStore>,
                                                std::string& devPath) {
  record("create:" + name);
  if (driverDouble().createResult.IsError()) return driverDouble().createResult;
  devPath = "/dev/kqblk/" + name;
  return CUxError();
}

CUxError KqBlkDriverUnix::monitorDevice(const std::string& name) {
  record("monitor:" + name);
  m_monitored = name;
  return driverDouble().monitorResult;
}

CUxError KqBlkDriverUnix::getFD(int& fd) {
  record("getFD");
  fd = driverDouble().pipeFds[0];
  return driverDouble().getFdResult;
}

CUxError KqBlkDriverUnix::getRecallRequest(const std::string&, int64_t& extent) {
  DriverDouble& d = driverDouble();
  std::lock_guard<std::mutex> lock(d.mutex);
  char byte;
  while (read(d.pipeFds[0], &byte, 1) == 1) {
  }
  if (d.requests.empty()) return FXErrorUtil::ErrorErrNo(FX_HERE, EAGAIN, "no request");
  extent = d.requests.front();
  d.requests.pop_front();
  if (!d.requests.empty()) {
    const char again = 'r';
    (void)!write(d.pipeFds[1], &again, 1);
  }
  return CUxError();
}

CUxError KqBlkDriverUnix::recallDone(const std::string&, int64_t extent) {
  DriverDouble& d = driverDouble();
  std::lock_guard<std::mutex> lock(d.mutex);
  d.recallsDone.push_back(extent);
  d.changed.notify_all();
  return CUxError();
}

bool KqBlkDriverUnix::isAwaited(const std::string&, int64_t extent) {
  DriverDouble& d = driverDouble();
  std::lock_guard<std::mutex> lock(d.mutex);
  return d.readAhead.count(extent) == 0;
}

CUxError KqBlkDriverUnix::abortDevice(const std::string& name) {
  record("abort:" + name);
  return driverDouble().abortResult;
}

CUxError KqBlkDriverUnix::destroyDevice(const std::string& name) {
  record("destroy:" + name);
  DriverDouble& d = driverDouble();
  if (d.destroyFailures > 0) {
    --d.destroyFailures;
    return FXErrorUtil::ErrorErrNo(FX_HERE, EBUSY, "device busy");
  }
  return CUxError();
}

CUxError KqBlkDriverUnix::waitForDeviceReady(const std::string& name, uint32_t seconds) {
  record("ready:" + name);
  driverDouble().lastReadyTimeout = seconds;
  return driverDouble().waitReadyResult;
}

bool KqBlkDriverUnix::ownsBlockDevice(unsigned major, unsigned minor) {
  return driverDouble().ownedDevices.count({major, minor}) != 0;
}

const char* KqBlkDriverUnix::controlDirectory() { return driverDouble().controlDir.c_str(); }

std::vector<std::string> KqBlkDriverUnix::devicesUnder(unsigned, unsigned) { return {}; }

pid_t KqBlkDriverUnix::servingProcess(const std::string&) { return 0; }

std::vector<std::string> KqBlkDriverUnix::storePathsOf(const std::string&) { return {}; }

const char* KqBlkDriverUnix::nodeDirectory() { return "/dev/kqblk"; }
