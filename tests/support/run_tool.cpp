#include "support/run_tool.h"

#include <stdexcept>

#include "kq_process.h"

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string runTool(const std::string& command) {
  std::string out;
  std::string err;
  const int rc = KqProcess::system(command, &out, &err, 120, false);
  if (rc != 0) {
    throw std::runtime_error("`" + command + "` exited " + std::to_string(rc) + ": " + err +
                             out);
  }
  return out;
}

int readBlockDirect(const std::string& device, uint64_t block, std::string* err) {
  std::string out;
  return KqProcess::system("dd if=" + shellQuote(device) + " of=/dev/null bs=4096 count=1 skip=" +
                               std::to_string(block) + " iflag=direct",
                           &out, err, 60, false);
}
