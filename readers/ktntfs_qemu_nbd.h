// An image in a format other than raw, served by a qemu-nbd of its own:
// read-only, on a Unix socket in a private directory (mode 0700), ended by
// its pid, reaped and its directory removed when the source goes. It serves
// one client and ends when that client goes, also when our process dies.
// Should the qemu-nbd die, reads fail.
#pragma once

#include <memory>
#include <string>

#include "kq_process.h"
#include "ktntfs_source.h"

class QemuNbdSource : public Source {
 public:
  // `path` is absolute and `format` is the one the image is read in.
  static CUxError start(const std::string& path, const std::string& format,
                        std::unique_ptr<Source>& out);
  ~QemuNbdSource() override;

  uint64_t size() const override { return m_nbd->size(); }
  CUxError readAt(uint64_t offset, uint8_t* buffer, uint64_t length) override {
    return m_nbd->readAt(offset, buffer, length);
  }
  CUxError writeAt(uint64_t offset, const uint8_t* data, uint64_t length) override {
    return m_nbd->writeAt(offset, data, length);
  }

 private:
  QemuNbdSource() = default;
  // Ends qemu-nbd and removes the directory; safe to call on a part-made one.
  void stop();

  std::string m_dir;
  std::string m_socket;
  KqProcess m_process;
  std::unique_ptr<Source> m_nbd;
};
