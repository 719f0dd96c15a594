#include "ktntfs_qemu_nbd.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "ktntfs_image_chain.h"
#include "ktntfs_nbd_source.h"

namespace {

const char kQemuNbd[] = "/usr/bin/qemu-nbd";
const int kStartSeconds = 30;

// Where the private directory goes: $TMPDIR when it is absolute, else /tmp.
std::string privateParent() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp && tmp[0] == '/' ? tmp : "/tmp";
}

}  // namespace

CUxError QemuNbdSource::start(const std::string& path, const std::string& format,
                              std::unique_ptr<Source>& out) {
  CUxError err = checkImageChain(path, format);
  if (err.IsError()) return err;
  std::unique_ptr<QemuNbdSource> source(new QemuNbdSource());
  std::string dir = privateParent() + "/kqblk-qemu-nbd.XXXXXX";
  if (mkdtemp(&dir[0]) == nullptr) {  // mode 0700
    return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot make a directory for qemu-nbd");
  }
  source->m_dir = dir;
  source->m_socket = dir + "/nbd.sock";
  const std::string socketArg = "--socket=" + source->m_socket;
  const std::string formatArg = "--format=" + format;
  const char* argv[] = {kQemuNbd,          "--read-only", "--shared=1",
                        socketArg.c_str(), formatArg.c_str(), "--",    path.c_str(),
                        nullptr};
  std::string why;
  source->m_process.TrapIO(false, true);
  if (!source->m_process.StartProcess(argv, &why, 0)) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "%s", why.c_str());
  }
  // Serving once its socket answers; a qemu-nbd that ends first failed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStartSeconds);
  struct stat st;
  while (::stat(source->m_socket.c_str(), &st) != 0) {
    if (source->m_process.Reap(0)) {
      return FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "qemu-nbd ended before serving %s",
                                     path.c_str());
    }
    if (std::chrono::steady_clock::now() > deadline) {
      return FXErrorUtil::ErrorErrNo(FX_HERE, ETIMEDOUT, "qemu-nbd did not serve %s within %d s",
                                     path.c_str(), kStartSeconds);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  err = NbdSource::connectUnix(source->m_socket, source->m_nbd);
  if (err.IsError()) return err;
  out = std::move(source);
  return CUxError();
}

QemuNbdSource::~QemuNbdSource() {
  m_nbd.reset();
  stop();
}

void QemuNbdSource::stop() {
  const pid_t pid = m_process.GetPid();
  if (pid > 0 && !m_process.Reap(0)) {
    kill(pid, SIGTERM);
    if (!m_process.Reap(5000)) {
      kill(pid, SIGKILL);
      m_process.Reap(5000);
    }
  }
  if (m_dir.empty()) return;
  ::unlink(m_socket.c_str());
  ::rmdir(m_dir.c_str());
}
