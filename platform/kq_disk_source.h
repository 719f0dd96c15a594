// What a disk path names: an NBD export (a URI), an image file in a format
// other than raw, or raw data (an image file or block device); and the
// format an image is read in.
#pragma once

#include <string>

// True when `path` starts with an NBD scheme (nbd, nbds, nbd+unix, nbds+unix).
bool kqIsNbdUri(const std::string& path);

// Empty when `uri` is an NBD URI we connect to; else why not. Only a host
// and port, or a Unix socket given as an absolute path, and an export name:
// nothing else that would make the client open local files (TLS key files,
// certificates) or run programs.
std::string kqNbdUriProblem(const std::string& uri);

// The image formats a disk may be given in, as qemu names them: "raw",
// "qcow2", "qcow", "vmdk", "vhdx", "vpc", "vdi", "qed".
bool kqIsImageFormat(const std::string& format);

// The format of an image the caller named without one, by its file name's
// extension (.qcow2, .qcow, .vmdk, .vhdx, .vhd, .vdi, .qed, in either case),
// "raw" for any other name. Never by the content: the bytes of a raw image
// are the guest's, and may look like any header.
std::string kqImageFormatByName(const std::string& path);
