// The kqblkctl commands; each takes the arguments after its name and
// returns the exit status.
#pragma once

#include <string>
#include <vector>

int ctlExpose(const std::vector<std::string>& args);
int ctlMount(const std::vector<std::string>& args);
int ctlCleanup(const std::vector<std::string>& args);
int ctlList(const std::vector<std::string>& args);
