#include "kq_md5.h"

#include <openssl/evp.h>

#include <cstring>
#include <new>

CMd5::CMd5() : m_ctx(EVP_MD_CTX_new()) {
  if (!m_ctx) throw std::bad_alloc();
}

CMd5::~CMd5() { EVP_MD_CTX_free(m_ctx); }

void CMd5::Start() { EVP_DigestInit_ex(m_ctx, EVP_md5(), nullptr); }

void CMd5::Process(const void* data, size_t length) { EVP_DigestUpdate(m_ctx, data, length); }

void CMd5::End() {
  unsigned int len = 0;
  EVP_DigestFinal_ex(m_ctx, m_code, &len);
}

void CMd5::GetCode(uint8_t code[16]) const { std::memcpy(code, m_code, sizeof m_code); }
