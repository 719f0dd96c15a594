// Context records handed to a disk by the restore service: which protected
// machine a disk belongs to and how its reader reaches the backup.
#pragma once

#include <cstdint>
#include <string>

#include "kq_hard_disk_reader.h"

typedef uint8_t UINT8;

// Kind of the options passed to setSpecialOpts.
enum ctxOType { CTX_OTYPE_NONE = 0, CTX_OTYPE_VMINFO = 1 };

// The only instance type a reader-backed disk supports.
const int32_t HLX_INSTANCE_TYPE_VMINFO = 301;

// The protected machine's context record.
struct HLXVMContext {
  std::string location;           // first: where the backup lives
  std::string machineId;          // second: the protected machine
  HLXReaderOptions readerOptions; // third: handed to the reader by address
  int32_t instanceType = HLX_INSTANCE_TYPE_VMINFO;
  uint64_t sessionId = 0;         // the 64-bit value given to the reader
};

struct HLXCtxSpecialOpts {
  HLXVMContext* vmContext = nullptr;
};
