// Building /bin/sh command lines from text that the library does not
// control (names read from guest disks and from tool output).
#pragma once

#include <string>

// `text` as one single-quoted /bin/sh word: the shell passes it on as one
// argument, byte for byte, whatever it holds (blanks, newlines, quotes, "$",
// backticks, ";"). The empty text becomes ''.
std::string KqShellQuote(const std::string& text);
