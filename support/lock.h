// HDB UUCP lock files for serial devices: "/var/lock/LCK..<name>" holding the
// owner's process id as "%10d\n".
//
// lock() never logs; the caller reports. A held lock keeps its file open
// under flock() until unlock() or the end of the process. A lock file left by
// a process that has ended, or naming this process, is stale and is taken
// over; anything else that is not a regular file holding a pid counts as held.
#pragma once

// 1 when this process now owns the device's lock, 0 when it did not get it:
// errno EBUSY when another process held it for about `timeout` seconds,
// otherwise why no lock file can be made there (ENOENT for a missing lock
// directory, EROFS, EACCES, ENOSPC...), at once.
int lock(const char *device, int timeout);
// Removes the lock file whoever owns it: 0 removed, -1 failed.
int unlock(const char *device);
