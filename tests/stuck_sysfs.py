#!/usr/bin/python3
"""stuck_sysfs.py: mounts a read-only copy of a fixture sysfs tree in which reading the named
files does not return, like a sensor whose driver hangs. For tests and measurements only.

A stuck read is let go (with EIO) only once the process that asked has begun to exit: the kernel
cannot end a thread whose FUSE request the daemon has taken, so without that a stuck reader
would keep even a killed process from being reaped. A process that waits for its stuck thread
before exiting is therefore never let go.

Usage: stuck_sysfs.py TREE MOUNTPOINT RELATIVE_PATH...   (runs in the foreground until unmounted)
Needs /dev/fuse, fuse3 and python3-fusepy.
"""
import errno
import os
import sys
import time

import fusepy


def exiting(tid):
    """True once the process of thread `tid` has ended its main thread (zombie) or is gone."""
    try:
        with open(f"/proc/{tid}/status") as f:
            tgid = next(line.split()[1] for line in f if line.startswith("Tgid:"))
        with open(f"/proc/{tgid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except (OSError, StopIteration):
        return True


class StuckTree(fusepy.Operations):
    def __init__(self, root, stuck):
        self.root = root
        self.stuck = {"/" + p.strip("/") for p in stuck}

    def _real(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def getattr(self, path, fh=None):
        try:
            st = os.lstat(self._real(path))
        except OSError as e:
            raise fusepy.FuseOSError(e.errno)
        return {k: getattr(st, k) for k in ("st_mode", "st_nlink", "st_size", "st_uid",
                                            "st_gid", "st_atime", "st_mtime", "st_ctime")}

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._real(path))

    def readlink(self, path):
        return os.readlink(self._real(path))

    def open(self, path, flags):
        if flags & (os.O_WRONLY | os.O_RDWR):
            raise fusepy.FuseOSError(errno.EROFS)
        return 0

    def read(self, path, size, offset, fh):
        if path in self.stuck:
            pid = fusepy.fuse_get_context()[2]
            while not exiting(pid):
                time.sleep(0.02)
            raise fusepy.FuseOSError(errno.EIO)
        with open(self._real(path), "rb") as f:
            f.seek(offset)
            return f.read(size)


if __name__ == "__main__":
    fusepy.FUSE(StuckTree(os.path.realpath(sys.argv[1]), sys.argv[3:]), sys.argv[2],
                foreground=True, ro=True, allow_other=True, direct_io=True)
