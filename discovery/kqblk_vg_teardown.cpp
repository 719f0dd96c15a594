// Releasing taken-over volume groups: deactivate, then export or give back
// the guest's name. Names come from LVM's output or from the records that
// discovery made; they are quoted and follow "--".
#include "kq_error.h"
#include "kq_log.h"
#include "kq_shell.h"
#include "kqblk_disk_utils.h"
#include "kqblk_text.h"

namespace {

const char kFile[] = "kqblk_disk_utils";
const char kVgsCommand[] = "vgs -o vg_name,vg_uuid,pv_name --noheadings";
// LVM's warning that /dev already holds a directory of the target name: the
// group is renamed but its volumes would not get their nodes.
const char kRenameClash[] = "already exists in filesystem";

}  // namespace

void KqBlkDiskUtils::getKqBlkVGs(std::list<kqblk_vg>& vgs, LVMConfig* cfg) {
  static const char* const kFunc = __PRETTY_FUNCTION__;
  vgs.clear();
  std::string out;
  std::string err;
  if (runLVMCmd(kVgsCommand, out, err, true, cfg) != 0) {
    throw KqException(kFunc, kqblk_failedCmdText(kVgsCommand, err, out), kFile, __LINE__, -1);
  }
  for (const std::string& line : kqblk_trimmedLines(out)) {
    EvDebug::Debug(kFunc, "Parsing line %s", line.c_str());
    const std::vector<std::string> fields = kqblk_tokens(line, ' ');
    if (fields.empty()) continue;
    vgs.push_back(kqblk_vg(fields[0], std::string()));
    EvDebug::Debug(kFunc, "Detected VG:[%s]", fields[0].c_str());
  }
}

int KqBlkDiskUtils::cleanupVGs(std::list<kqblk_vg>& vgs, LVMConfig* cfg, bool renameBack) {
  static const char kFunc[] = "KqBlkDiskUtils::cleanupVGs";
  int result = 0;
  std::list<kqblk_vg> kept;
  for (kqblk_vg& vg : vgs) {
    std::string out;
    std::string err;
    const std::string deactivate = "vgchange -an -- " + KqShellQuote(vg.name);
    if (runLVMCmd(deactivate, out, err, true, cfg) != 0) {
      result = 1;
      EvDebug::Debug(kFunc, "%s", kqblk_failedCmdText(deactivate, err, out).c_str());
      kept.push_back(vg);
      continue;
    }
    out.clear();
    err.clear();
    std::string release;
    bool failed;
    if (renameBack) {
      release = "vgrename -- " + KqShellQuote(vg.name) + " " + KqShellQuote(vg.guestName);
      failed = runLVMCmd(release, out, err, true, cfg) != 0 ||
               err.find(kRenameClash) != std::string::npos;
    } else {
      release = "vgexport -- " + KqShellQuote(vg.name);
      failed = runLVMCmd(release, out, err, true, cfg) != 0;
    }
    if (failed) {
      result = 1;
      EvDebug::Debug(kFunc, "%s", kqblk_failedCmdText(release, err, out).c_str());
      kept.push_back(vg);
      continue;
    }
    if (renameBack) vg.name = vg.guestName;
  }
  vgs.swap(kept);
  return result;
}
