#include "HLXVixDiskLib.h"

#include <map>
#include <mutex>

#include "kq_config.h"
#include "kq_library.h"
#include "kq_log.h"

#define HLX_VIX_POINTER(name) decltype(HLXVixDiskLib::p##name) HLXVixDiskLib::p##name = nullptr
HLX_VIX_POINTER(VixDiskLib_InitEx);
HLX_VIX_POINTER(VixDiskLib_Exit);
HLX_VIX_POINTER(VixDiskLib_ConnectEx);
HLX_VIX_POINTER(VixDiskLib_Disconnect);
HLX_VIX_POINTER(VixDiskLib_Open);
HLX_VIX_POINTER(VixDiskLib_Close);
HLX_VIX_POINTER(VixDiskLib_Read);
HLX_VIX_POINTER(VixDiskLib_Write);
HLX_VIX_POINTER(VixDiskLib_GetErrorText);
HLX_VIX_POINTER(VixDiskLib_GetInfo);
HLX_VIX_POINTER(VixDiskLib_FreeInfo);
#undef HLX_VIX_POINTER

namespace {

const char kFile[] = "HLXVixDiskLib";

// Entry-point name to the member that receives it; looked up in key order.
#define HLX_VIX_ENTRY(name) {#name, reinterpret_cast<void**>(&HLXVixDiskLib::p##name)}
const std::map<std::string, void**> fnmap = {
    HLX_VIX_ENTRY(VixDiskLib_InitEx),      HLX_VIX_ENTRY(VixDiskLib_Exit),
    HLX_VIX_ENTRY(VixDiskLib_ConnectEx),   HLX_VIX_ENTRY(VixDiskLib_Disconnect),
    HLX_VIX_ENTRY(VixDiskLib_Open),        HLX_VIX_ENTRY(VixDiskLib_Close),
    HLX_VIX_ENTRY(VixDiskLib_Read),        HLX_VIX_ENTRY(VixDiskLib_Write),
    HLX_VIX_ENTRY(VixDiskLib_GetErrorText), HLX_VIX_ENTRY(VixDiskLib_GetInfo),
    HLX_VIX_ENTRY(VixDiskLib_FreeInfo),
};
#undef HLX_VIX_ENTRY

// A once-flag that stays unset when the guarded call throws, so that a failed
// load can be tried again; concurrent first callers wait for the one loading.
std::mutex loadMutex;
bool loaded = false;

FXCodeLocation here(int line) { return FXCodeLocation("void load_map(const string&)", kFile, line); }

void load_map(const std::string& version) {
  const std::string base = KQPI_PlatformBase::getBaseHomeDirectory();
  if (base.empty()) {
    EvDebug::Error("void load_map(const string&)", "Failed to get base home directory.");
    CUxError err = FXErrorUtil::ErrorWin32(here(__LINE__), 3, "Failed to get base directory");
    err.Push(here(__LINE__));
    throw err;
  }
  const std::string path = base + "/VMware/vddk/" + version + "/lib64/libvixDiskLib.so";
  CUxLibrary library(false);
  CUxError err = library.Load(path);
  if (err.IsError()) {
    err.Push(here(__LINE__));
    throw err;
  }
  for (const auto& entry : fnmap) {
    err = library.GetAddress(entry.first, entry.second);
    if (err.IsError()) {
      err.Push(here(__LINE__));
      throw err;
    }
  }
}

}  // namespace

CUxError HLXVixDiskLib::Load(const std::string& version) {
  CUxError result;
  std::lock_guard<std::mutex> lock(loadMutex);
  if (loaded) return result;
  try {
    load_map(version);
    loaded = true;
  } catch (const CUxError& err) {
    result = err;
  }
  return result;
}
