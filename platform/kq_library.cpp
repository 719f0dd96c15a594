#include "kq_library.h"

#include <dlfcn.h>

CUxLibrary::CUxLibrary(bool unloadOnDestroy) : m_unloadOnDestroy(unloadOnDestroy) {}

CUxLibrary::~CUxLibrary() {
  if (m_handle && m_unloadOnDestroy) dlclose(m_handle);
}

CUxError CUxLibrary::Load(const std::string& path) {
  if (m_handle && m_unloadOnDestroy) dlclose(m_handle);
  m_handle = dlopen(path.c_str(), RTLD_LAZY);
  if (!m_handle) {
    const char* why = dlerror();
    return FXErrorUtil::ErrorWin32(FX_HERE, 126, "cannot load %s: %s", path.c_str(),
                                   why ? why : "unknown error");
  }
  return CUxError();
}

CUxError CUxLibrary::GetAddress(const std::string& symbol, void** address) const {
  if (!m_handle) return FXErrorUtil::ErrorWin32(FX_HERE, 6, "no library loaded");
  dlerror();
  void* p = dlsym(m_handle, symbol.c_str());
  if (!p) {
    const char* why = dlerror();
    return FXErrorUtil::ErrorWin32(FX_HERE, 127, "symbol %s not found: %s", symbol.c_str(),
                                   why ? why : "null address");
  }
  *address = p;
  return CUxError();
}
