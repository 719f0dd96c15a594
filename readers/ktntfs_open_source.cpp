#include "ktntfs_open_source.h"

#include <cerrno>
#include <cstdlib>

#include "kq_disk_source.h"
#include "ktntfs_file_source.h"
#include "ktntfs_nbd_source.h"
#include "ktntfs_qemu_nbd.h"

CUxError openSource(const std::string& path, const std::string& givenFormat,
                    std::unique_ptr<Source>& out) {
  if (kqIsNbdUri(path)) {
    const std::string problem = kqNbdUriProblem(path);
    if (!problem.empty()) {
      return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "refused NBD URI %s: %s", path.c_str(),
                                     problem.c_str());
    }
    if (!givenFormat.empty() && givenFormat != "raw") {
      return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "%s: an NBD export is read as raw, not %s",
                                     path.c_str(), givenFormat.c_str());
    }
    return NbdSource::connectUri(path, out);
  }
  const std::string format = givenFormat.empty() ? kqImageFormatByName(path) : givenFormat;
  if (!kqIsImageFormat(format)) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "%s: unknown image format %s", path.c_str(),
                                   format.c_str());
  }
  if (format == "raw") return FileSource::open(path, out);
  char* absolute = realpath(path.c_str(), nullptr);
  if (absolute == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot resolve %s", path.c_str());
  }
  const std::string resolved = absolute;
  free(absolute);
  return QemuNbdSource::start(resolved, format, out);
}
