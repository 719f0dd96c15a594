// What a disk path names: an NBD export (a URI), an image file in a format
// other than raw, or raw data (an image file or block device).
#pragma once

#include <string>

// True when `path` starts with an NBD scheme (nbd, nbds, nbd+unix, nbds+unix).
bool kqIsNbdUri(const std::string& path);

// Empty when `uri` is an NBD URI we connect to; else why not. Only a host
// and port, or a Unix socket given as an absolute path, and an export name:
// nothing else that would make the client open local files (TLS key files,
// certificates) or run programs.
std::string kqNbdUriProblem(const std::string& uri);

// The format of the image in regular file `path` by its header, as qemu
// names it ("qcow2", "vmdk", "vhdx", "vdi", "vpc", "qed", "qcow"), or "raw"
// for anything else, block devices included. Empty when it cannot be read.
std::string kqImageFormat(const std::string& path);
