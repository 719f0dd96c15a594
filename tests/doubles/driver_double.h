// A scripted stand-in for the driver client, so the disk object can be
// tested without devices.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kq_error.h"

struct DriverDouble {
  // Scripted results.
  CUxError createResult;
  CUxError monitorResult;
  CUxError getFdResult;
  CUxError abortResult;
  CUxError waitReadyResult;
  int destroyFailures = 0;  // this many destroyDevice calls fail with EBUSY first
  std::set<int64_t> readAhead;  // requests no reader waits for
  uint32_t lastReadyTimeout = 0;
  std::set<std::pair<unsigned, unsigned>> ownedDevices;  // (major, minor) the driver made
  std::string controlDir = kControlDir;                  // missing: the driver is not loaded
  static constexpr const char* kControlDir = "/run/kqblk";

  // What the disk did.
  std::vector<std::string> calls;
  std::vector<int64_t> recallsDone;

  // Queues a recall request and makes the descriptor readable.
  void pushRequest(int64_t extent);
  // Makes the descriptor report an error condition.
  void raiseError();
  // Wakes the poll without a request (a readiness change).
  void poke();
  // Waits until `count` recalls were reported done (false on time-out).
  bool waitForRecalls(size_t count, int timeoutMs);
  size_t countCalls(const std::string& call);
  void reset();

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<int64_t> requests;
  int pipeFds[2] = {-1, -1};
};
DriverDouble& driverDouble();
