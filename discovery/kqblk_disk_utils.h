// KqBlkDiskUtils: the static operations that find, mount, lay out and tear
// down the volumes on the library's devices, grouped by family. Each family
// is defined in the folder of its subsystem.
#pragma once

#include <boost/shared_ptr.hpp>
#include <list>
#include <map>
#include <string>

#include "kq_error.h"
#include "kqblk_layer.h"
#include "kqblk_lvm_config.h"
#include "kqblk_mountpoint.h"
#include "kqblk_vg.h"

class KqBlkDisk;

// Volume groups by guest name, in name order. Two guest groups may share a
// name (copies of one template), so a name may stand more than once.
typedef std::multimap<std::string, std::string> kqblk_vgmap;

class KqBlkDiskUtils {
 public:
  // ---- Configuration: base directory, private LVM configurations, flags.
  // Sets cfgPath; the flag is not used.
  static void setConfigDir(const char* dir, bool unused);
  // Makes cfgPath + "/" + name (which must not exist yet) and writes both
  // variants there, LVM confined to `acceptList`. The caller owns the result.
  static LVMConfig* initLVMConfig(const char* name, std::list<std::string> acceptList);
  // A configuration with the default lists in `dir`, kept in ptrDefaultLVMConfig.
  static int initDefaultLVMConfig(const char* dir);
  static void setSkipFsck(bool skip);
  static bool getSkipFsck();
  static void setKqBlkRO(bool readOnly);
  static bool getKqBlkRO();
  // The keys tried on each LUKS volume, each the whole content of a key file
  // (a passphrase without its newline, or a binary key); volumes are opened
  // read-only unless `writable`.
  static void setLuksKeys(std::list<std::string> keys, bool writable);
  static const std::list<std::string>& getLuksKeys();

  // ---- LVM command runner.
  // Runs `cmd` through /bin/sh under one variant of `cfg` ("/default" when
  // useDefault, else "/noactivation"), with the configured time-out. Returns
  // the shell's exit status, or 1 when it could not be started, waited for or
  // timed out (err then says why, "timedout" for a time-out).
  static int runLVMCmd(const std::string& cmd, std::string& out, std::string& err,
                       bool useDefault, LVMConfig* cfg);

  // ---- Discovery: block devices, btrfs identities, LVM take-over.
  // Partitions of each disk, or the whole disk when it has none.
  static std::list<std::string> getBlockDevList(
      const std::list<boost::shared_ptr<KqBlkDisk>>& disks);
  // Each md array whose members are on `devices` assembled read-only under
  // a name of this request (never the guest's), with a new array UUID
  // unless the devices are read-only; in `devices` its members give way to
  // the array's node, which `cfg` then lets LVM see. An array that cannot be
  // assembled leaves its members in the list.
  static void assembleArrays(std::list<std::string>& devices, const std::string& prefix,
                             LVMConfig* cfg);
  // Each LUKS volume on `devices` opened with the first key that fits, as
  // "/dev/mapper/" + prefix + "luksN"; in `devices` the volume gives way to
  // its mapping, which `cfg` then lets LVM see. A volume no key opens stays.
  static void openLuksVolumes(std::list<std::string>& devices, const std::string& prefix,
                              LVMConfig* cfg);
  // New UUID and label for each btrfs file system on `devices`; further
  // member devices of a handled file system are erased from `devices`.
  static std::list<std::string> processBtrFSDevices(std::list<std::string>& devices,
                                                    const std::string& prefix);
  // The physical volumes on `devices`, each given a new UUID: the entries of
  // `devices` (a device is matched by its device number, never by a name
  // LVM printed, and only the entry is ever given to LVM).
  static std::list<std::string> getPVList(const std::list<std::string>& devices,
                                          LVMConfig* cfg);
  // Group name to UUID for the groups with a physical volume in `pvs`, one
  // entry per group (a name twice when two groups share it), into `groups`.
  static void getVGMap(const std::list<std::string>& pvs, LVMConfig* cfg, kqblk_vgmap& groups);
  // The same as a plain map, one group per name: of groups sharing a name
  // the last listed stands, the others are logged as left out.
  static std::map<std::string, std::string> getVGMap(const std::list<std::string>& pvs,
                                                     LVMConfig* cfg);
  // Renames each group (addressed by its UUID) to prefix + name, or, for a
  // further group of the same name, prefix + name + "-N"; then a new UUID,
  // activated. Each value becomes the new name and a record {new name, guest
  // name} is appended to `renamed` as soon as the rename is done, so that a
  // failure part-way still leaves the caller what teardown needs.
  static void renameVGs(kqblk_vgmap& vgs, const std::string& prefix, LVMConfig* cfg,
                        std::list<kqblk_vg>& renamed);
  // The same for a plain map, without the records; on a failure the groups
  // renamed so far already hold their new names.
  static void renameVGs(std::map<std::string, std::string>& vgs, const std::string& prefix,
                        LVMConfig* cfg);
  // Logical volume path to group name; groups are the map's values when
  // useValue, else its keys.
  static std::map<std::string, std::string> getLVs(kqblk_vgmap& vgs, LVMConfig* cfg,
                                                   bool useValue);
  static std::map<std::string, std::string> getLVs(std::map<std::string, std::string>& vgs,
                                                   LVMConfig* cfg, bool useValue);

  // ---- Volume-group teardown.
  // One record per line of "vgs" under the "/default" variant.
  static void getKqBlkVGs(std::list<kqblk_vg>& vgs, LVMConfig* cfg);
  // Deactivates each group, then exports it or renames it back; `vgs` keeps
  // the records that failed. 0 when all were released, else 1.
  static int cleanupVGs(std::list<kqblk_vg>& vgs, LVMConfig* cfg, bool renameBack);

  // ---- Mounting.
  // Lists the disks' block devices, makes btrfs copies distinct, takes the
  // guest's volume groups over (recorded in `vgs` as they are renamed),
  // mounts every device under `mountRoot` (one record each in `mountPoints`)
  // and lays the mounts out as the guest saw them. An LVM failure ends it
  // with `err` set (code 774); what was done so far stays for the teardown.
  static void discoverAndMount(std::string mountRoot, std::string idPrefix,
                               const std::list<boost::shared_ptr<KqBlkDisk>>& disks,
                               std::list<kqblk_mountpoint>& mountPoints,
                               std::list<kqblk_vg>& vgs, bool doMount, CUxError* err,
                               LVMConfig& lvmConfig);
  // Every layer on the disks after a discoverAndMount that gave
  // `mountPoints` and `vgs`: each disk's partition table, each partition's
  // or volume's content with what was done with it or why it was skipped,
  // and each group taken over. Reads the devices; changes nothing.
  static std::list<kqblk_layer> reportLayers(const std::list<boost::shared_ptr<KqBlkDisk>>& disks,
                                             const std::list<kqblk_mountpoint>& mountPoints,
                                             const std::list<kqblk_vg>& vgs);
  // Lays the mounted file systems out as the guest saw them. Does nothing
  // (true) for an empty list or when Session/sHLXFixupMounts is
  // set to anything but Y (case ignored; Y when missing). Records with an
  // error take no part. When the mounted file systems are NTFS, FAT aside,
  // and nothing else, the Windows layout runs; for any other guest, or when
  // the Windows layout found no usable drive letters, the Linux layout runs.
  // Block-id and number conversion failures are thrown.
  static bool fixupMountPoints(const std::string& mountRoot,
                               std::list<kqblk_mountpoint>& mountPoints,
                               const std::list<boost::shared_ptr<KqBlkDisk>>& disks);
  // Asks the guest's registry for the volumes' drive letters and moves each
  // volume from its MountDir directory to a new directory beside it named by
  // its letter ("VolumeN" for the Nth volume without one), updating
  // mountPath. False, with nothing moved, when no usable letters came back;
  // otherwise true, even when single volumes could not be moved (they keep
  // their place and are logged). mountRoot is not consulted.
  static bool fixupMountPoints_Windows(const std::string& mountRoot,
                                       std::list<kqblk_mountpoint>& mountPoints,
                                       const std::list<boost::shared_ptr<KqBlkDisk>>& disks);

  // ---- Guest Linux layout.
  // The root file system: the first mounted one holding /etc/fstab (a
  // regular file) and /dev, else the first record; end() for an empty list.
  static std::list<kqblk_mountpoint>::iterator identifyRoot(
      std::list<kqblk_mountpoint>& mountPoints);
  // Bind-mounts every other file system where the guest's fstab puts it
  // inside the root's mount, the others under /kqlostandfound; every target
  // is resolved inside the root. False only when the guest's fstab could not
  // be used at all.
  static bool fixupMountPoints_Linux(const std::string& mountRoot,
                                     std::list<kqblk_mountpoint>& mountPoints,
                                     const std::list<boost::shared_ptr<KqBlkDisk>>& disks);

  // ---- Teardown: mounts and device-mapper devices.
  // One record (device and mountPath only) per mount-table entry whose
  // source is a driver device or a device-mapper device built on one, in
  // table order. Throws when the driver is not loaded or the table cannot be
  // read.
  static void getKqBlkMountPoints(std::list<kqblk_mountpoint>& mountPoints);
  // Unmounts every record (bind mounts first, children before parents),
  // killing the processes that hold them and removing their directories,
  // in two passes; `mountPoints` keeps the records still not cleaned up.
  // Returns 0; mountRoot is not consulted.
  static int cleanupMountPoints(std::string mountRoot, std::list<kqblk_mountpoint>& mountPoints);
  // Removes every device-mapper device built on a driver device or named as
  // a volume of a renamed group, in passes until none fails (at most
  // Sylvane/nHLXLVCleanupMaxRetry + 2 of them). Throws when the driver is not
  // loaded, the listing fails or removals still fail after the last pass.
  static void cleanLVs();
  // The same; with includeLive false, devices built on a driver device that
  // a live process serves (a running request's) are left alone.
  static void cleanLVs(bool includeLive);

  // ---- Driver loading, device listing and the crash sweep.
  // Loads the driver (the base directory's unix_drv.sh) under the machine-wide
  // mutex HLX_KQBLK_DRIVER_MUTEX_NAME. An empty baseDir is read from the
  // configuration; errorText gets the loading command's standard error.
  static bool LoadKqblkDriver(std::string& baseDir, std::string& errorText);
  // The same without the mutex.
  static bool _LoadKqblkDriver(std::string& baseDir, std::string& errorText);
  // The driver's whole-disk nodes; throws KqException when the driver is not loaded.
  static void getKqBlkDevs(std::list<std::string>& devices);
  // Tears down what is built on the driver device `device` (a name or its
  // node): the device, and machine-wide the mounts, device-mapper volumes
  // and volume groups of driver devices. Devices whose serving process is
  // still alive belong to a live request: with includeLive false they, their
  // mounts, volumes and groups are left alone (logged), except `device`
  // itself when this process serves it: its caller owns it.
  static void cleanupAll(const std::string& mountRoot, std::string device);
  static void cleanupAll(const std::string& mountRoot, std::string device, bool includeLive);

  // ---- Process-wide settings (plain variables, set before use).
  // Takes down every md array and device-mapper device built on the driver
  // device `device` (a node or a name), top first: crypt mappings closed,
  // arrays stopped. Only devices built on driver devices alone are touched.
  // False, logged, when one of them stays.
  static bool takeDownStackedDevices(const std::string& device);

  static std::string cfgPath;
  static LVMConfig* ptrDefaultLVMConfig;
  static bool bSkipFsck;
  static bool bSetKqBlkRO;
};
