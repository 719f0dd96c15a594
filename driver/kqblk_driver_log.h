// The driver's own log lines. Their detail follows the driver's debug level
// (the "debug" file of its control directory, written when it is loaded
// with nKqBlkDriverDebugLevel set) as well as the log's verbosity: a line
// of level N is written when either asks for N. Levels: 1 devices made and
// gone, 2 partitions, 3 each recall, 4 each request.
#pragma once

// Whether a line of `level` would be written; re-reads the debug level at
// most once a second.
bool kqDriverLogWants(int level);
void kqDriverLog(const char* function, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
