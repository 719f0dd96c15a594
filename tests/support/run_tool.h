// Running system tools from test fixtures: a failure is an exception that
// carries the command and everything it printed.
#pragma once

#include <string>

// `text` as one single-quoted shell word.
std::string shellQuote(const std::string& text);

// Runs `command` through the shell and returns its standard output; throws
// std::runtime_error when it exits non-zero.
std::string runTool(const std::string& command);
