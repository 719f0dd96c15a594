// What a request leaves behind, told by its id and mount root: for tests
// that end a request however they like and then look.
#pragma once

#include <string>

// The devices named from `id`, the mounts below `root` or of those
// devices, loop devices of its stores, and `root` itself: "" when none.
std::string requestLeftovers(const std::string& id, const std::string& root);
