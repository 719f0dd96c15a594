// What mounting one device needs to know: the directory name it is mounted
// on, the mount options for its file system, and whether it holds a disk
// image.
#pragma once

#include <string>

// The one-component name of the directory `device` (a path below /dev/) is
// mounted on: group-volume for a logical volume of a group named
// `vgPrefix` + group, "MountDir-" + `number` for a device of the library's
// own, else the path below /dev/; every "/" becomes "-".
std::string kqblk_mountDir(const std::string& device, const std::string& vgPrefix, int number);

// Sets `options` to the option part of a mount command line (ending in one
// blank) and, when the device's file-system type can be read, `fsType` to it.
// Always true.
bool kqblk_mountOptsForDevice(const std::string& device, std::string& options,
                              std::string& fsType);

// Sets `format` to the image format of what `device` holds, followed by a
// newline ("raw\n", "qcow2\n"): the device's first sector names it, and a
// qcow image is then read by qemu-img in that format. Leaves it unchanged
// when the device cannot be read or qemu-img fails. False, with `refused`
// worded for the user, when the device holds an image that names other
// files (a backing file, a data file, VMDK extents): never opened.
bool kqblk_readImageFormat(const std::string& device, std::string& format, std::string& refused);
