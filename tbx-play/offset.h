#ifndef TBX_PLAY_OFFSET_H
#define TBX_PLAY_OFFSET_H

// Where a process of ours stands in a file: the offset of its descriptor on
// it, as the kernel keeps it (/proc/PID/fdinfo), whatever library reads
// through it and however it buffers.
#include <sys/types.h>

// The furthest offset of pid's descriptors on the file (device, inode); -1
// where it has none open on it, or /proc cannot tell.
long offset_in(pid_t pid, dev_t device, ino_t inode);

#endif
