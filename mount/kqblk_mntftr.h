// Mounts one device after another under a mount root and records each in a
// kqblk_mountpoint: applied in list order to every block device that
// discovery found (partitions, whole devices, logical volumes).
#pragma once

#include <list>
#include <map>
#include <string>

#include "kqblk_mountpoint.h"

class MntFtr {
 public:
  // Refers to the caller's list, root and map, which must outlive it (and
  // its copies, which share them). Nothing runs until it is applied.
  MntFtr(std::list<kqblk_mountpoint>& mountPoints, const std::string& mountRoot,
         const std::string& vgPrefix, std::map<std::string, std::string>& lvVolumeGroups,
         bool skipFsck, bool setReadOnly, bool doMount);

  // Checks and mounts `device` on mountRoot/<kqblk_mountDir name> and
  // appends its record (two for a btrfs snapshot layout): empty `error` when
  // mounted or when mounting was not asked for, else the reason. Throws
  // nothing of its own.
  void operator()(std::string device);

  int count;  // devices handled so far; the n-th is handled with count n

 private:
  void mountBtrfsRoot(kqblk_mountpoint& record, const std::string& options,
                      std::string& out, std::string& err);

  const std::string& mountRoot;
  std::map<std::string, std::string>& lvVolumeGroups;
  std::list<kqblk_mountpoint>& mountPoints;
  std::string vgPrefix;
  bool skipFsck;
  bool setReadOnly;
  bool doMount;
};

// Applies MntFtr to every device, up to four at a time; the records come in
// list order, exactly as applying it in turn would give them. The first
// exception a device threw is rethrown once all are done and recorded.
void kqblk_mountAll(const std::list<std::string>& devices, std::list<kqblk_mountpoint>& mountPoints,
                    const std::string& mountRoot, const std::string& vgPrefix,
                    std::map<std::string, std::string>& lvVolumeGroups, bool skipFsck, bool setReadOnly,
                    bool doMount);
