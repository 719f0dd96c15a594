// Scripted stand-ins for LVM, btrfs and mount tools, first on PATH while the
// object lives: each records its calls and answers by prepared rules.
#pragma once

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "kq_error.h"
#include "kqblk_lvm_config.h"
#include "kqblk_vg.h"
#include "support/kq_throws.h"
#include "support/temp_dir.h"

struct ToolCall {
  std::string tool;
  std::string variant;  // "default", "noactivation", or "" outside the LVM runner
  std::vector<std::string> args;
};

class ToolDoubles {
 public:
  // Installs pvscan, pvs, pvchange, vgs, vgchange, vgrename, vgexport,
  // lvs, btrfs and btrfstune.
  ToolDoubles();
  // Installs the named tools.
  explicit ToolDoubles(const std::vector<std::string>& tools);
  ~ToolDoubles();
  ToolDoubles(const ToolDoubles&) = delete;
  ToolDoubles& operator=(const ToolDoubles&) = delete;

  // The next call of `tool` whose arguments, joined by blanks, match the
  // glob `args` prints `out` and `err` and exits `rc`; `times` < 0 answers
  // forever; a rule with sleepSeconds waits that long first. Earlier rules win.
  void on(const std::string& tool, const std::string& args, const std::string& out,
          const std::string& err = std::string(), int rc = 0, int times = -1,
          int sleepSeconds = 0);
  std::vector<ToolCall> calls() const;
  // The calls' tool names in order ("pvs", "vgchange", ...).
  std::vector<std::string> tools() const;
  // Each call as "tool variant args...".
  std::vector<std::string> trace() const;
  const std::string& dir() const { return m_dir.path(); }
  // The calls' arguments, of the calls of `tool` only.
  std::vector<std::vector<std::string>> argsOf(const std::string& tool) const;

  // The mounting tools: fsck, tune2fs, blockdev, mount, findmnt, guestmount.
  static const std::vector<std::string> kMountTools;

 private:
  TempDir m_dir;
  int m_rules = 0;
  std::string m_oldPath;
  std::string m_oldDir;
  bool m_hadDir = false;
  bool m_hadPath = false;
};

// A private LVM configuration in a temporary directory, written, with the
// tool doubles in front of the real tools.
struct LvmDoublesFixture {
  LvmDoublesFixture() { config.createConfig(false); }
  ToolDoubles tools;
  TempDir dir;
  LVMConfig config{dir.path()};
};

// Each record as "name/guestName".
std::vector<std::string> vgNames(const std::list<kqblk_vg>& vgs);
