// What the kqblkctl commands share: exit statuses, their directories, the
// driver, the disks a user names, stopping on a signal, and JSON text.
#pragma once

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include <cstdint>

// Exit statuses, as the manual page lists them.
enum KqCtlStatus { kCtlOk = 0, kCtlFailed = 1, kCtlBadInput = 2, kCtlNoDriver = 3 };

// One line on standard error, prefixed "kqblkctl: ".
void ctlSay(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The base directory whose unix_drv.sh loads the driver; false, said why,
// when KQBLK_DRIVER_SCRIPT names something else.
bool ctlDriverBaseDir(std::string& baseDir);
// Loads the driver through the base directory's unix_drv.sh; false, said why.
bool ctlLoadDriver();

// Blocks SIGINT and SIGTERM, to be taken only by ctlWaitForStop; called
// before any thread starts, so that every thread inherits the mask and no
// thread takes the signal in its place.
void ctlCatchStopSignals();
// True once a stop signal has come, taken or still pending.
bool ctlStopRequested();
// Waits until a stop signal arrives, or returns at once if one came.
void ctlWaitForStop();

// A disk the user named: an image file (raw, or a format qemu-nbd serves),
// a block device or an NBD URI read through the reader plugin, or
// "guest:/dev/sdX", a disk of this machine; bytes 0 means the source's size.
// `format` is the one the user gave (--format), empty for the one the
// file name's extension names. False, with `why`, for what cannot be a disk
// (missing, a directory, empty, in use, a URI we refuse, an unknown format).
struct CtlDiskSpec {
  std::string text;  // as given
  std::string path;
  std::string format;
  bool guest = false;
  uint64_t bytes = 0;
};
bool ctlParseDisk(const std::string& text, const std::string& format, CtlDiskSpec& spec,
                  std::string& why);
// `text` as a JSON string, quotes included.
std::string ctlJson(const std::string& text);
// `text` safe for a terminal: guest names (subvolumes, fstab paths) may
// hold control characters, which are shown as \xHH.
std::string ctlPrintable(const std::string& text);
