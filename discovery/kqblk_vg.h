// A guest volume group taken over by discovery, the naming of taken-over
// groups and the collector of logical volume paths.
#pragma once

#include <list>
#include <string>
#include <utility>

struct kqblk_vg {
  kqblk_vg() = default;
  kqblk_vg(std::string currentName, std::string guest)
      : name(std::move(currentName)), guestName(std::move(guest)) {}

  std::string name;       // the name LVM knows the group by now
  std::string guestName;  // the name to give back; empty when found by a scan
  std::string extra;      // unused, kept empty
};

// The prefix of a request's group names: "kq-" + id + "-".
std::string kqblk_vgprefix(const std::string& id);

// Applied to each (logical volume path, group) pair, appends the path to the
// device list it was built on.
class AddLVs {
 public:
  explicit AddLVs(std::list<std::string>& devices) : m_devices(devices) {}
  void operator()(const std::pair<const std::string, std::string>& lv) const;

 private:
  std::list<std::string>& m_devices;
};
