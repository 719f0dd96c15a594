// MD5 digests.
#pragma once

#include <cstddef>
#include <cstdint>

struct evp_md_ctx_st;

class CMd5 {
 public:
  CMd5();
  ~CMd5();
  CMd5(const CMd5&) = delete;
  CMd5& operator=(const CMd5&) = delete;

  void Start();
  void Process(const void* data, size_t length);
  void End();
  // The 16 digest bytes of the last Start..End.
  void GetCode(uint8_t code[16]) const;

 private:
  evp_md_ctx_st* m_ctx;
  uint8_t m_code[16] = {};
};
