// Taking back the directories that the layout made in the guest's tree, so
// that nothing of ours stays in a file system that may be written back.
#pragma once

#include <string>
#include <vector>

// Removes each directory of `made` (paths from the top of the tree mounted
// at `treeTop`, parents first) that is still empty, deepest first. Paths
// are resolved inside the tree as they were when made; the last component
// is never followed, so only a directory itself can go; what cannot go is
// logged and stays.
void kqblk_removeMadeDirs(const std::string& treeTop, const std::vector<std::string>& made);
