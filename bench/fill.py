#!/usr/bin/env python3
"""Fills a mounted file system to about half with fallocate'd files of mixed sizes spread over
1021 top-level directories, then deletes every other file so that free space is fragmented.

    fill.py MOUNTPOINT SCALE

SCALE multiplies every file size (1 for a 1 TiB volume, 1/16 for 64 GiB, 15 for 15 TiB), so the
number of files, and with it the number of free extents, stays about the same at every size.
"""
import os
import sys

# Sizes in KiB, cycled; the mean is about 3 MiB.
SIZES_KIB = [256, 1024, 6144, 512, 2048, 8192, 768, 4096, 3072]
DIRS = 1021
# Files are made in batches of BATCH in one directory, so that they lie side by side and deleting
# every other one leaves a hole between each two kept files.
BATCH = 32


def main():
    mnt, scale = sys.argv[1], float(sys.argv[2])
    st = os.statvfs(mnt)
    total = st.f_blocks * st.f_frsize
    target = total // 2
    for d in range(DIRS):
        os.makedirs(os.path.join(mnt, "d%04d" % d), exist_ok=True)
    written = 0
    n = 0
    paths = []
    while written < target:
        size = int(SIZES_KIB[n % len(SIZES_KIB)] * 1024 * scale) // 4096 * 4096 or 4096
        path = os.path.join(mnt, "d%04d" % ((n // BATCH) % DIRS), "f%07d" % n)
        fd = os.open(path, os.O_CREAT | os.O_WRONLY, 0o644)
        try:
            os.posix_fallocate(fd, 0, size)
        finally:
            os.close(fd)
        paths.append(path)
        written += size
        n += 1
    for path in paths[::2]:
        os.unlink(path)
    print("files made: %d, kept: %d, bytes allocated before deleting: %d" %
          (n, n - len(paths[::2]), written))


if __name__ == "__main__":
    main()
