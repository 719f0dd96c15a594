#include "doubles/tool_doubles.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "kq_process.h"
#include "support/test_util.h"

namespace {

const std::vector<std::string> kLvmBtrfsTools = {"pvscan",   "pvs",      "pvchange", "vgs",
                                                  "vgchange", "vgrename", "vgexport", "lvs",
                                                  "btrfs",    "btrfstune"};

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace

const std::vector<std::string> ToolDoubles::kMountTools = {"fsck",  "tune2fs", "blockdev",
                                                          "mount", "findmnt", "guestmount"};

ToolDoubles::ToolDoubles() : ToolDoubles(kLvmBtrfsTools) {}

ToolDoubles::ToolDoubles(const std::vector<std::string>& tools) {
  const std::string bin = m_dir / "bin";
  mkdir(bin.c_str(), 0755);
  mkdir((m_dir / "rules").c_str(), 0755);
  const std::string script = fileText(KQBLK_TOOL_DOUBLE);
  if (script.empty()) throw std::runtime_error("no tool double at " KQBLK_TOOL_DOUBLE);
  for (const std::string& tool : tools) {
    const std::string path = bin + "/" + tool;
    writeFile(path, script);
    chmod(path.c_str(), 0755);
  }
  writeFile(m_dir / "calls", "");
  const char* path = std::getenv("KQBLK_TOOL_PATH");
  m_hadPath = path != nullptr;
  if (path) m_oldPath = path;
  const char* old = std::getenv("KQBLK_DOUBLES_DIR");
  m_hadDir = old != nullptr;
  if (old) m_oldDir = old;
  setenv("KQBLK_TOOL_PATH", (bin + ":" + KqToolSearchPath()).c_str(), 1);
  setenv("KQBLK_DOUBLES_DIR", m_dir.path().c_str(), 1);
}

ToolDoubles::~ToolDoubles() {
  if (m_hadPath) {
    setenv("KQBLK_TOOL_PATH", m_oldPath.c_str(), 1);
  } else {
    unsetenv("KQBLK_TOOL_PATH");
  }
  if (m_hadDir) {
    setenv("KQBLK_DOUBLES_DIR", m_oldDir.c_str(), 1);
  } else {
    unsetenv("KQBLK_DOUBLES_DIR");
  }
}

void ToolDoubles::on(const std::string& tool, const std::string& args, const std::string& out,
                     const std::string& err, int rc, int times, int sleepSeconds) {
  char name[16];
  std::snprintf(name, sizeof name, "%04d", m_rules++);
  const std::string rule = m_dir / "rules" + "/" + name;
  mkdir(rule.c_str(), 0755);
  writeFile(rule + "/tool", tool);
  writeFile(rule + "/args", args);
  writeFile(rule + "/out", out);
  writeFile(rule + "/err", err);
  writeFile(rule + "/rc", std::to_string(rc));
  if (times >= 0) writeFile(rule + "/left", std::to_string(times));
  if (sleepSeconds > 0) writeFile(rule + "/sleep", std::to_string(sleepSeconds));
}

std::vector<ToolCall> ToolDoubles::calls() const {
  const std::string log = fileText(m_dir / "calls");
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t nul = log.find('\0'); nul != std::string::npos; nul = log.find('\0', start)) {
    fields.push_back(log.substr(start, nul - start));
    start = nul + 1;
  }
  std::vector<ToolCall> calls;
  for (size_t i = 0; i + 3 < fields.size() && fields[i] == "CALL";) {
    ToolCall call{fields[i + 1], fields[i + 2], {}};
    const size_t count = std::stoul(fields[i + 3]);
    i += 4;
    for (size_t n = 0; n < count && i < fields.size(); ++n) call.args.push_back(fields[i++]);
    calls.push_back(call);
  }
  return calls;
}

std::vector<std::string> ToolDoubles::tools() const {
  std::vector<std::string> names;
  for (const ToolCall& call : calls()) names.push_back(call.tool);
  return names;
}

std::vector<std::string> ToolDoubles::trace() const {
  std::vector<std::string> lines;
  for (const ToolCall& call : calls()) {
    std::string line = call.tool + " " + call.variant;
    for (const std::string& arg : call.args) line += " " + arg;
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> vgNames(const std::list<kqblk_vg>& vgs) {
  std::vector<std::string> names;
  for (const kqblk_vg& vg : vgs) names.push_back(vg.name + "/" + vg.guestName);
  return names;
}

std::vector<std::vector<std::string>> ToolDoubles::argsOf(const std::string& tool) const {
  std::vector<std::vector<std::string>> args;
  for (const ToolCall& call : calls()) {
    if (call.tool == tool) args.push_back(call.args);
  }
  return args;
}
