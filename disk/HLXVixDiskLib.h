// Loads VMware's VixDiskLib at run time from the machine's VDDK installation
// (base home + "/VMware/vddk/" + version + "/lib64/libvixDiskLib.so") and
// publishes its entry points, so code built without the VDDK can call it.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "kq_error.h"

// VixDiskLib's published types, as far as the entry points need them.
typedef uint64_t VixError;
typedef uint64_t VixDiskLibSectorType;
typedef struct VixDiskLibConnectParam VixDiskLibConnectParam;
typedef struct VixDiskLibConnection_* VixDiskLibConnection;
typedef struct VixDiskLibHandle_* VixDiskLibHandle;
typedef struct VixDiskLibInfo VixDiskLibInfo;
typedef void(VixDiskLibGenericLogFunc)(const char* format, va_list args);

#define VIXDISKLIB_VERSION_DIR "VDDK700"

class HLXVixDiskLib {
 public:
  // Success when the entry points are (or already were) resolved; a failed
  // load may be tried again.
  static CUxError Load(const std::string& version);

  static VixError (*pVixDiskLib_InitEx)(uint32_t majorVersion, uint32_t minorVersion,
                                        VixDiskLibGenericLogFunc* log,
                                        VixDiskLibGenericLogFunc* warn,
                                        VixDiskLibGenericLogFunc* panic, const char* libDir,
                                        const char* configFile);
  static void (*pVixDiskLib_Exit)(void);
  static VixError (*pVixDiskLib_ConnectEx)(const VixDiskLibConnectParam* connectParams,
                                           char readOnly, const char* snapshotRef,
                                           const char* transportModes,
                                           VixDiskLibConnection* connection);
  static VixError (*pVixDiskLib_Disconnect)(VixDiskLibConnection connection);
  static VixError (*pVixDiskLib_Open)(const VixDiskLibConnection connection, const char* path,
                                      uint32_t flags, VixDiskLibHandle* diskHandle);
  static VixError (*pVixDiskLib_Close)(VixDiskLibHandle diskHandle);
  static VixError (*pVixDiskLib_Read)(VixDiskLibHandle diskHandle,
                                      VixDiskLibSectorType startSector,
                                      VixDiskLibSectorType numSectors, uint8_t* readBuffer);
  static VixError (*pVixDiskLib_Write)(VixDiskLibHandle diskHandle,
                                       VixDiskLibSectorType startSector,
                                       VixDiskLibSectorType numSectors,
                                       const uint8_t* writeBuffer);
  static char* (*pVixDiskLib_GetErrorText)(VixError err, const char* locale);
  static VixError (*pVixDiskLib_GetInfo)(VixDiskLibHandle diskHandle, VixDiskLibInfo** info);
  static void (*pVixDiskLib_FreeInfo)(VixDiskLibInfo* info);
};
