// Shared libraries loaded at run time.
#pragma once

#include <string>

#include "kq_error.h"

class CUxLibrary {
 public:
  // unloadOnDestroy false keeps the library loaded after the object goes.
  explicit CUxLibrary(bool unloadOnDestroy);
  ~CUxLibrary();
  CUxLibrary(const CUxLibrary&) = delete;
  CUxLibrary& operator=(const CUxLibrary&) = delete;

  // Loads with lazy binding.
  CUxError Load(const std::string& path);
  CUxError GetAddress(const std::string& symbol, void** address) const;
  template <typename T>
  CUxError GetAddress(const std::string& symbol, T* function) const {
    void* p = nullptr;
    CUxError e = GetAddress(symbol, &p);
    if (!e.IsError()) *function = reinterpret_cast<T>(p);
    return e;
  }

 private:
  bool m_unloadOnDestroy;
  void* m_handle = nullptr;
};
