# The Debian package (cpack -G DEB): what cmake --install installs, under the
# prefix the build was configured for, since kqblkctl holds the base
# directory's full path. Build it from a tree configured with
# -DCMAKE_INSTALL_PREFIX=/usr (scripts/check_package.sh does).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kqblk)
set(CPACK_PACKAGE_CONTACT "kqblk maintainers <maintainers@users.noreply.c-seed-3526a707.example>")
set(CPACK_PACKAGE_DESCRIPTION [[
backed-up virtual machine disks as local block devices, mounted as the guest saw them
Exposes each backed-up disk as a block device under /dev/kqblk whose data is
recalled from the backup on first read (a FUSE file and a loop device per
disk), finds its partitions, LVM volume groups and btrfs file systems, mounts
them and lays them out as the guest saw them, and tears it all down again.
Ships the library with its headers, CMake package and pkg-config file, the
reader plugin, the driver loading script with its udev rule file, and the
command-line front end kqblkctl.]])
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# Libraries from dpkg-shlibdeps; libkqblk.so.0 gets a shlibs file and the
# ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The tools the library and unix_drv.sh run: FUSE, LVM and device-mapper,
# mount/umount/findmnt/blockdev/fsck, tune2fs (ext), btrfs and btrfstune,
# NTFS mounts, fuser, qemu-img (the image format of every device), awk.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "fuse3, lvm2, dmsetup, util-linux, mount, e2fsprogs, btrfs-progs, ntfs-3g, psmisc, qemu-utils, mawk | awk")
# fsck's checkers for xfs and FAT; without them the check fails, is logged
# and mounting goes on.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xfsprogs, dosfstools")
# guestmount mounts a qcow image found on a device.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "guestmount")
include(CPack)
