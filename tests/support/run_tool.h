// Running system tools from test fixtures: a failure is an exception that
// carries the command and everything it printed.
#pragma once

#include <cstdint>
#include <string>

// `text` as one single-quoted shell word.
std::string shellQuote(const std::string& text);

// Runs `command` through the shell and returns its standard output; throws
// std::runtime_error when it exits non-zero.
std::string runTool(const std::string& command);

// Reads one 4 KiB block of `device` in a child process, bypassing the page
// cache; the child's status, -1 when it hung past a minute.
int readBlockDirect(const std::string& device, uint64_t block, std::string* err);
