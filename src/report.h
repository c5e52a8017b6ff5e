#ifndef TBX_REPORT_H
#define TBX_REPORT_H

// Prints "tbx: <message>" on standard output and flushes it; a non-zero
// fatal ends the process with status -1 through exit(), so atexit handlers run.
// Errors go to standard output like all tbx says, so one stream holds the whole run; -1 is 255 to a shell.
void report(const char *message, int fatal);

#endif
