// Opening a lock file in a folder that only the user may write to, whatever stands there: a
// lock file is opened without following a link or waiting on a FIFO, and what stands in its
// place and is not a regular file of the user's (a link, a FIFO, an empty folder, another
// user's file, a file the user may not read) is removed, and made anew where the caller creates
// it. Only the user or root can put such things in the folder: this is robustness, so that
// nothing left there wedges every later run, not a defence. Any thread.
#pragma once

#include <string>

namespace kelo {

// Opens `path` read-only (flock needs no more) with `createFlags` (0, O_CREAT, or
// O_CREAT | O_EXCL; a file it creates is mode 0600), and returns the descriptor, not yet locked;
// or -1 with errno set: ENOENT where nothing is there and nothing was to be created, EEXIST
// where O_EXCL meets a lock file of the user's, or why what stands there could not be replaced
// (a folder with something in it, say).
int openLockFile(const std::string& path, int createFlags);

}  // namespace kelo
