// A secret (a LUKS key) handed to a tool we run without a command line or a
// file on disk that shows it: it lives in an anonymous memory file of this
// process, which a root child opens again through /proc.
#pragma once

#include <string>

class KqSecretFile {
 public:
  // Throws KqException when the memory file cannot be made or written.
  explicit KqSecretFile(const std::string& secret);
  ~KqSecretFile();
  KqSecretFile(const KqSecretFile&) = delete;
  KqSecretFile& operator=(const KqSecretFile&) = delete;

  // "/proc/PID/fd/N": a path a child opens to read the secret from its start.
  const std::string& path() const { return m_path; }

 private:
  int m_fd = -1;
  std::string m_path;
};
