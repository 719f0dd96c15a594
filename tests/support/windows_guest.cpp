#include "support/windows_guest.h"

namespace {

PhonyGuestSpec windowsGuest(const std::string& path, WindowsGuest::Table kind) {
  const bool mbr = kind == WindowsGuest::Table::Mbr;
  // GPT's basic data type, or MBR's NTFS.
  const std::string type = mbr ? ", type=7" : ", type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
  return {{{path.substr(path.rfind('/') + 1), 64,
            mbr ? "label: dos\nlabel-id: 0x1234abcd\n" : "label: gpt\n",
            {{"size=24M" + type, {{"ntfs", "System", ""}, {}, "", "", 'C'}},
             {type.substr(2), {{"ntfs", "Data", ""}, {}, "", "", 'D'}}}}}};
}

}  // namespace

WindowsGuest::WindowsGuest(const std::string& path, Table kind)
    : guest(path.substr(0, path.rfind('/')), windowsGuest(path, kind)), image(guest.disk(0)) {}
