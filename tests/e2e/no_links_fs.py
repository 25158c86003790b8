"""A file system without hard links, unnamed files or RENAME_NOREPLACE, as
vfat and many FUSE file systems are, for the converter to place its file on.

    no_links_fs.py ROOT MOUNTPOINT COMMAND...

mounts a passthrough of the folder ROOT at MOUNTPOINT (FUSE, through fusepy
and libfuse 2), runs COMMAND there with this process's standard streams,
unmounts, and exits with COMMAND's exit code. Run it in `unshare -m`, so the
mount is private and goes with the process whatever happens. link() is
refused with EPERM, as vfat refuses it.
"""
import errno
import os
import subprocess
import sys
import time

from fusepy import FUSE, FuseOSError, Operations


class NoLinks(Operations):
    def __init__(self, root):
        self.root = root

    def real(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def getattr(self, path, fh=None):
        st = os.lstat(self.real(path))
        return {key: getattr(st, key) for key in ("st_atime", "st_ctime", "st_gid", "st_mode",
                                                  "st_mtime", "st_nlink", "st_size", "st_uid")}

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self.real(path))

    def open(self, path, flags):
        return os.open(self.real(path), flags)

    def create(self, path, mode, fi=None):
        return os.open(self.real(path), os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        return os.pwrite(fh, data, offset)

    def release(self, path, fh):
        os.close(fh)

    def chmod(self, path, mode):
        os.chmod(self.real(path), mode)

    def unlink(self, path):
        os.unlink(self.real(path))

    def rename(self, old, new):
        os.rename(self.real(old), self.real(new))

    def link(self, target, source):
        raise FuseOSError(errno.EPERM)


def main():
    if sys.argv[1] == "--serve":  # the server, in a process of its own
        FUSE(NoLinks(sys.argv[2]), sys.argv[3], foreground=True, nothreads=True)
        return
    root, mountpoint, *command = sys.argv[1:]
    server = subprocess.Popen([sys.executable, __file__, "--serve", root, mountpoint])
    try:
        deadline = time.monotonic() + 10
        while not os.path.ismount(mountpoint):
            if time.monotonic() > deadline or server.poll() is not None:
                sys.exit("no_links_fs: the file system was not mounted")
            time.sleep(0.05)
        code = subprocess.run(command, cwd=mountpoint, timeout=120).returncode
    finally:
        subprocess.run(["umount", "-l", mountpoint])
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
    sys.exit(code if code >= 0 else 128 - code)


if __name__ == "__main__":
    main()
