// Device paths and mount directories reach the shell only as single-quoted
// words: a logical volume's path carries the guest's group and volume names,
// and the mount root is the caller's. Tools that take "--" get it before
// their operands. The file-system type is read with libblkid in-process
// rather than through a blkid pipeline.
#include "kqblk_mntftr.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "kq_error.h"
#include "kq_log.h"
#include "kq_process.h"
#include "kq_shell.h"
#include "kqblk_blkid.h"
#include "kqblk_mount_utils.h"

namespace {

const char* const kFunc = "MntFt::operator()";
const int kMountAttempts = 4;

const char* const kMountFailure =
    "Failed to mount devices. 1: The file system type or version in guest virtual machine may "
    "not be supported by Lumirest. Please deploy a Lumirest with operating system Redhat 8.x or "
    "other new operating system which has new file system driver. 2: Lumirest may not be able to "
    "get data from Ferrynode or hypervisor snap backup.";

// The mount tool's own words for a failure: its first line (later ones
// point to dmesg) without the "mount: DIR: " in front, at most 200 characters.
std::string mountCause(const std::string& err) {
  std::string line = err.substr(0, err.find('\n'));
  while (!line.empty() && (line.back() == ' ' || line.back() == '.')) line.pop_back();
  if (line.rfind("mount: ", 0) == 0) {
    const size_t dir = line.find(": ", 7);
    line = line.substr(dir == std::string::npos ? 7 : dir + 2);
  }
  return line.substr(0, 200);
}

bool contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// Runs `command` with no time-out; status 0 is success.
int run(const std::string& command, std::string& out, std::string& err) {
  return KqProcess::system(command, &out, &err, 0, false);
}

void logFailure(const std::string& command, int rc, const std::string& out,
                const std::string& err) {
  EvDebug::Debug(kFunc, "Failed to run %s, rc %d, out %s, err:%s", command.c_str(), rc,
                 out.c_str(), err.c_str());
}

std::string failedCommandText(const std::string& command, const std::string& out,
                              const std::string& err) {
  return "Failed to run " + command + ":err:" + err + "\nout:" + out;
}

// The device's file-system type followed by a newline, empty when it carries
// none; false when the device cannot be probed at all (unreadable).
bool readFsType(const std::string& device, std::string& type) {
  try {
    kqblk_blkid blkid(device);
    std::string value;
    type = blkid.getTag("TYPE", value) && !value.empty() ? value + "\n" : std::string();
    return true;
  } catch (const CUxError& e) {
    EvDebug::Debug(kFunc, "Failed to read the file system type of %s, err:%s", device.c_str(),
                   e.AsString().c_str());
    return false;
  }
}

// The file-system types we mount, each with the type given to mount: a
// guest picks the type by what it writes, and every other kernel driver is
// code that should never parse a hostile disk on the proxy. NTFS goes to
// ntfs-3g in user space.
const char* mountTypeOf(const std::string& type) {
  static const std::pair<const char*, const char*> kAllowed[] = {
      {"ext2", "ext2"},   {"ext3", "ext3"},   {"ext4", "ext4"},       {"xfs", "xfs"},
      {"btrfs", "btrfs"}, {"ntfs", "ntfs-3g"}, {"vfat", "vfat"},      {"iso9660", "iso9660"},
      {"udf", "udf"}};
  for (const auto& [found, mountAs] : kAllowed) {
    if (type == found) return mountAs;
  }
  return nullptr;
}

// "mount -t TYPE OPTIONS -- 'DEVICE' 'DIR'"; options end in a blank. The
// type is always given, so that mount never probes for one of its own.
std::string mountCommand(const char* mountType, const std::string& options,
                         const std::string& device, const std::string& dir) {
  return std::string("mount -t ") + mountType + " " + options + "-- " + KqShellQuote(device) +
         " " + KqShellQuote(dir);
}

}  // namespace

MntFtr::MntFtr(std::list<kqblk_mountpoint>& mountPoints, const std::string& mountRoot,
               const std::string& vgPrefix, std::map<std::string, std::string>& lvVolumeGroups,
               bool skipFsck, bool setReadOnly, bool doMount)
    : count(0),
      mountRoot(mountRoot),
      lvVolumeGroups(lvVolumeGroups),
      mountPoints(mountPoints),
      vgPrefix(vgPrefix),
      skipFsck(skipFsck),
      setReadOnly(setReadOnly),
      doMount(doMount) {}

void MntFtr::operator()(std::string device) {
  ++count;
  kqblk_mountpoint record;
  record.device = device;
  const std::string dir = kqblk_mountDir(device, vgPrefix, count);
  record.mountPath = mountRoot + "/" + dir;
  record.initialMountPath = record.mountPath;
  record.guestPath = "/" + dir;
  const auto group = lvVolumeGroups.find(device);
  if (group != lvVolumeGroups.end()) record.volumeGroup = group->second;

  if (!doMount) {
    mountPoints.push_back(record);
    return;
  }
  EvDebug::Debug(kFunc, "Mount check for Dev %s : Dir %s", device.c_str(),
                 record.mountPath.c_str());

  const std::string quotedDevice = KqShellQuote(device);
  std::string out;
  std::string err;
  if (skipFsck) {
    EvDebug::Error(kFunc, "Skip fsck based on regkey!");
  } else {
    // No "--": fsck passes what follows it to the checker. Device paths are
    // absolute, so none reads as an option.
    const std::string command = "fsck -y " + quotedDevice;
    const int rc = run(command, out, err);
    if (rc != 0) logFailure(command, rc, out, err);
  }

  std::string type;
  if (!readFsType(device, type)) {
    record.error = "Can not get file system type for device " + device +
                   ". Please make sure Ferrynode is ready.";
    mountPoints.push_back(record);
    return;
  }
  if (contains(type, "zfs") || contains(type, "ufs")) {
    record.error =
        "The file system type " + type + " in guest virtual machine is not supported.";
    mountPoints.push_back(record);
    return;
  }
  if (type.empty()) {
    record.error = "No valid file system is found in guest virtual machine.";
    mountPoints.push_back(record);
    return;
  }
  const std::string typeName = type.substr(0, type.find('\n'));
  const char* const mountType = mountTypeOf(typeName);
  if (mountType == nullptr) {
    record.error =
        "The file system type " + typeName + " in guest virtual machine is not supported.";
    EvDebug::Error(kFunc, "%s: %s", device.c_str(), record.error.c_str());
    mountPoints.push_back(record);
    return;
  }
  if (contains(type, "ext")) {
    const std::string command = "tune2fs -o acl,user_xattr -- " + quotedDevice;
    const int rc = run(command, out, err);
    EvDebug::Debug(kFunc, "Command [%s] returns [%d][%s][%s]", command.c_str(), rc, out.c_str(),
                   err.c_str());
  }

  // Not recursive, and an existing directory fails: a directory left by an
  // earlier run is never mounted over.
  const int made = mkdir(record.mountPath.c_str(), 0700);
  if (made != 0) {
    const int error = errno;
    char detail[64];
    std::snprintf(detail, sizeof detail, "rc %d, errno %d", made, error);
    record.error = "mkdir " + record.mountPath + " failed. " + detail;
    EvDebug::Error(kFunc, "%s", record.error.c_str());
    mountPoints.push_back(record);
    return;
  }
  const std::string quotedDir = KqShellQuote(record.mountPath);

  std::string format, refused;
  if (!kqblk_readImageFormat(device, format, refused)) {
    record.error = refused;
    rmdir(record.mountPath.c_str());
    mountPoints.push_back(record);
    return;
  }
  if (contains(format, "qcow")) {
    // Told the format, guestmount never probes the device's bytes for one;
    // FUSE options as for every guest file system: no devices, no set-id.
    const std::string command = "LIBGUESTFS_BACKEND=direct guestmount -o nosuid,nodev,noexec --format=" +
                                format.substr(0, format.find('\n')) + " -a " + quotedDevice +
                                " -i -- " + quotedDir;
    if (run(command, out, err) != 0) {
      record.error = failedCommandText(command, out, err);
      EvDebug::Error(kFunc, "%s", record.error.c_str());
      rmdir(record.mountPath.c_str());
    }
    mountPoints.push_back(record);
    return;
  }

  std::string options;
  std::string fsType;
  kqblk_mountOptsForDevice(device, options, fsType);
  for (int attempt = 0; attempt < kMountAttempts; ++attempt) {
    const bool lastAttempt = attempt == kMountAttempts - 1;
    if (setReadOnly || lastAttempt) {
      // blockdev reads "--" as a command; the absolute path needs none.
      const std::string command = "blockdev --setro " + quotedDevice;
      const int rc = run(command, out, err);
      if (rc != 0) logFailure(command, rc, out, err);
    } else {
      EvDebug::Error(kFunc, "Skip setting kqblk device as RO based on regkey");
    }
    const std::string command = mountCommand(mountType, options, device, record.mountPath);
    if (run(command, out, err) == 0) {
      record.error.clear();
      record.cause.clear();
      if (fsType == FS_TYPE_BTRFS) mountBtrfsRoot(record, options, out, err);
      break;
    }
    EvDebug::Debug(kFunc, "Failed to run command [%s].\nError: [%s].\nOutput: [%s]",
                   command.c_str(), err.c_str(), out.c_str());
    record.error = kMountFailure;
    record.cause = mountCause(err);
    if (lastAttempt) {
      rmdir(record.mountPath.c_str());
    } else {
      EvDebug::Debug(kFunc, "Retrying mount command");
    }
  }
  mountPoints.push_back(record);
}

// After a btrfs mount: when the default subvolume lies below /@/.snapshot
// (a snapper layout), the top subvolume /@ is mounted as well, on
// MountDir-SUSE; its record goes in first. The caller's record gets the
// findmnt failure text when the mount cannot be inspected.
void MntFtr::mountBtrfsRoot(kqblk_mountpoint& record, const std::string& options,
                            std::string& out, std::string& err) {
  const std::string findmnt = "findmnt -T " + KqShellQuote(record.mountPath) + " -n";
  if (run(findmnt, out, err) != 0) {
    record.error = failedCommandText(findmnt, out, err);
    EvDebug::Error(kFunc, "%s", record.error.c_str());
    return;
  }
  if (!contains(out, "/@/.snapshot")) return;

  kqblk_mountpoint copy = record;
  copy.mountPath = mountRoot + "/MountDir-SUSE";
  if (mkdir(copy.mountPath.c_str(), 0700) != 0) {
    EvDebug::Error(kFunc, "%s", ("mkdir " + copy.mountPath + " failed.").c_str());
    return;
  }
  std::string subvolOptions;
  if (options.empty()) {
    subvolOptions = "-o subvol=/@ ";
  } else {
    subvolOptions = options.substr(0, options.find_last_not_of(' ') + 1) + ",subvol=/@ ";
  }
  const std::string command =
      mountCommand(FS_TYPE_BTRFS, subvolOptions, record.device, copy.mountPath);
  if (run(command, out, err) != 0) {
    EvDebug::Error(kFunc, "%s", failedCommandText(command, out, err).c_str());
    return;
  }
  mountPoints.push_back(copy);
}
