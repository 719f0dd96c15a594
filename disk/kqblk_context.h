// Context records handed to a disk by the restore service: which protected
// machine a disk belongs to and how its reader reaches the backup.
#pragma once

#include <cstdint>
#include <string>

typedef uint8_t UINT8;

// Kind of the options passed to setSpecialOpts.
enum ctxOType { CTX_OTYPE_NONE = 0, CTX_OTYPE_VMINFO = 1 };

// The only instance type a reader-backed disk supports.
const int32_t HLX_INSTANCE_TYPE_VMINFO = 301;

// Settings the reader takes from the context (its third member): a test
// reader can be slowed down or made to fail.
struct HLXReaderOptions {
  uint32_t delayMicros = 0;     // added before every source read
  int64_t failReadsFrom = -1;   // the source read (0-based) from which reads fail; -1 never
  uint32_t failReadCount = 0;   // how many reads fail from there; 0 all of them
};

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
