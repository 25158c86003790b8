"""Fault injection on the output side, against the built executable.

Each writer flushes what it wrote before the next begins, so a failing disk
is reported by the stage whose bytes did not fit: the header (exit 7), the
rows (exit 8) or the footer (exit 9), never with the completion message. The
file is written under another name and put in place only when whole, so a
failed or interrupted conversion leaves nothing new and an existing file of
that name untouched; only what cannot be replaced is written in place.
"""
import fcntl
import os
import pwd
import resource
import shutil
import signal
import stat
import struct
import subprocess
import sys
import time
import unittest

from ddsfile import dds
from runner import RUNNER_EXE, NativeRunner, parse_messages
from test_cli import COMPLETE, Converter, probe_6x5

OPEN = "Error opening output file"
IS_INPUT = OPEN + ": Output file is the input file"
IS_DDS = OPEN + ": Output file is a DDS file"
HEADER = "Error writing TGA header to output file"
ROWS = "Error writing image data to output file"
FOOTER = "Error writing TGA footer to output file"
TGA_HEADER, TGA_FOOTER = 18, 26
# Whether this run stands for a file system without unnamed files.
NAMED_ROUTE = "no_unnamed_files" in os.environ.get("LD_PRELOAD", "")


def access_acl(*entries):
    """A POSIX access ACL as the system.posix_acl_access attribute holds it:
    version 2, then (tag, permissions, id) for each entry."""
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)


def attributes(path):
    """Every extended attribute of a file (its ACL among them), by name."""
    return {name: os.getxattr(path, name, follow_symlinks=False)
            for name in os.listxattr(path, follow_symlinks=False)}


# chattr's "d" (no dump) and "A" (no atime), and the ioctls that read and set them.
FS_NODUMP_FL, FS_NOATIME_FL = 0x40, 0x80
FS_IOC_GETFLAGS, FS_IOC_SETFLAGS = 0x80086601, 0x40086602


def file_flags(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        return struct.unpack("l", fcntl.ioctl(fd, FS_IOC_GETFLAGS, struct.pack("l", 0)))[0]
    finally:
        os.close(fd)


def set_file_flags(path, flags):
    """Adds `flags` to the file's; False where the file system has none."""
    fd = os.open(path, os.O_RDONLY)
    try:
        old = struct.unpack("l", fcntl.ioctl(fd, FS_IOC_GETFLAGS, struct.pack("l", 0)))[0]
        fcntl.ioctl(fd, FS_IOC_SETFLAGS, struct.pack("l", old | flags))
        return True
    except OSError:
        return False
    finally:
        os.close(fd)


def limit_file_size(limit):
    """For the child: files may grow to `limit` bytes. SIGXFSZ keeps its
    default action (subprocess restores it), which would kill the program
    unless it ignores the signal itself."""
    def preexec():
        hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, hard))
    return preexec


@unittest.skipUnless(os.name == "posix", "the faults are injected with POSIX facilities")
class OutputFaults(Converter):
    def convert(self, width, height, output, **options):
        self.write("in.dds", dds(width, height, b"DXT1", bytes(8 * (width // 4) * (height // 4))))
        return self.run_tool("in.dds", output, **options)

    def test_full_disk(self):
        # The header is flushed at once, so a device with no room fails there
        # whether or not the whole image would fit the stream's buffer.
        for width in [8, 1024]:
            with self.subTest(width=width):
                result = self.convert(width, 64, "/dev/full")
                self.check(result, 7, "error", HEADER + ": No space left on device")

    def test_file_size_limit_fails_each_stage_in_turn(self):
        # 8 x 8 fits the stream's buffer whole; 256 x 64 is 16 buffers of rows.
        for width, height in [(8, 8), (256, 64)]:
            rows = width * height * 4
            total = TGA_HEADER + rows + TGA_FOOTER
            cases = [(0, 7, HEADER), (1, 7, HEADER), (TGA_HEADER - 1, 7, HEADER),
                     (TGA_HEADER, 8, ROWS), (TGA_HEADER + rows // 2, 8, ROWS),
                     (TGA_HEADER + rows - 1, 8, ROWS),
                     (TGA_HEADER + rows, 9, FOOTER), (total - 1, 9, FOOTER)]
            for limit, code, sentence in cases:
                with self.subTest(width=width, limit=limit):
                    self.write("out.tga", b"keep")  # the file being replaced stays whole
                    result = self.convert(width, height, "out.tga",
                                          preexec_fn=limit_file_size(limit))
                    self.check(result, code, "error", sentence + ": File too large")
                    self.assertEqual(sorted(os.listdir(self.dir)), ["in.dds", "out.tga"])
                    self.assertEqual(self.read("out.tga"), b"keep")
            with self.subTest(width=width, limit=total):
                result = self.convert(width, height, "out.tga", preexec_fn=limit_file_size(total))
                self.assertEqual((result.code, result.messages), (0, COMPLETE))
                self.assertEqual(os.path.getsize(self.path("out.tga")), total)

    def run_plain(self, command, names=(), **options):
        """Runs a command line of our own; returns (exit code, messages, stdout)."""
        proc = subprocess.run(command, cwd=self.dir, stdin=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=120, **options)
        # The runs here name their files in.dds and out.tga, in the command or in `names`.
        messages, stray = parse_messages(b"", proc.stderr,
                                         [*command, *names, "in.dds", "out.tga"])
        self.assertEqual(stray, [])
        return proc.returncode, messages, proc.stdout

    def test_signals_that_would_kill_silently(self):
        # A shell's file-size limit (512-byte blocks) with SIGXFSZ as the shell
        # leaves it, and a pipe whose reader has gone: each write fails and
        # its stage says why, instead of the process dying without a word.
        self.write("in.dds", dds(256, 64, b"DXT1", bytes(8 * 64 * 16)))
        code, messages, _ = self.run_plain(
            ["sh", "-c", 'ulimit -f 1; exec "$0" in.dds out.tga', RUNNER_EXE],
            stdout=subprocess.DEVNULL)
        self.assertEqual((code, messages), (8, [("error", ROWS + ": File too large")]))
        self.assertEqual(os.listdir(self.dir), ["in.dds"])
        reader, writer = os.pipe()
        os.close(reader)
        os.symlink("/proc/self/fd/1", self.path("stdout"))  # our own /dev/stdout
        try:
            code, messages, _ = self.run_plain([RUNNER_EXE, "in.dds", "stdout"], stdout=writer)
        finally:
            os.close(writer)
        self.assertEqual((code, messages), (7, [("error", HEADER + ": Broken pipe")]))

    def test_how_each_kind_of_output_is_written(self):
        source, expected = probe_6x5()
        self.write("in.dds", source)

        def replaced_keeping_mode():
            self.write("out.tga", b"keep")
            os.chmod(self.path("out.tga"), 0o604)
            return lambda: self.assertEqual(stat.S_IMODE(os.stat(self.path("out.tga")).st_mode), 0o604)

        def replaced_keeping_acl_and_attributes():  # as cp -a and mv keep them
            out = self.path("out.tga")
            self.write("out.tga", b"keep")
            os.chmod(out, 0o640)
            # user::rw- user:nobody:rw- group::r-- mask::rw- other::---: the
            # mode shows the mask as the group's bits, which must not become
            # the group's own.
            undefined = 0xFFFFFFFF
            os.setxattr(out, "system.posix_acl_access", access_acl(
                (0x01, 6, undefined), (0x02, 6, 65534), (0x04, 4, undefined),
                (0x10, 6, undefined), (0x20, 0, undefined)))
            os.setxattr(out, "user.origin", b"painted by hand")
            before = (os.stat(out).st_mode, attributes(out))
            return lambda: self.assertEqual((os.stat(out).st_mode, attributes(out)), before)

        def through_a_link():
            self.write("real.tga", b"keep")
            os.symlink("real.tga", self.path("out.tga"))
            return lambda: (self.assertEqual(os.readlink(self.path("out.tga")), "real.tga"),
                            self.assertEqual(self.read("real.tga"), expected))

        def through_a_dangling_link():  # the link's target is made, as opening it would
            os.symlink("made.tga", self.path("out.tga"))
            return lambda: (self.assertEqual(os.readlink(self.path("out.tga")), "made.tga"),
                            self.assertEqual(self.read("made.tga"), expected))

        def with_another_name():  # replacing would leave the other name with the old file
            self.write("out.tga", b"keep")
            os.link(self.path("out.tga"), self.path("other.tga"))
            return lambda: self.assertEqual(self.read("other.tga"), expected)

        def new_file():  # what fopen would have made
            return lambda: self.assertEqual(stat.S_IMODE(os.stat(self.path("out.tga")).st_mode),
                                            0o666 & ~0o027)

        def replaced_keeping_setgid():
            self.write("out.tga", b"keep")
            os.chmod(self.path("out.tga"), 0o2754)
            return lambda: self.assertEqual(stat.S_IMODE(os.stat(self.path("out.tga")).st_mode),
                                            0o2754)

        def replaced_under_a_default_acl():  # nothing inherited from the folder is added
            self.write("out.tga", b"keep")
            os.chmod(self.path("out.tga"), 0o640)
            undefined = 0xFFFFFFFF
            os.setxattr(self.dir, "system.posix_acl_default", access_acl(
                (0x01, 6, undefined), (0x02, 6, 65534), (0x04, 4, undefined),
                (0x10, 6, undefined), (0x20, 0, undefined)))

            def check():
                os.removexattr(self.dir, "system.posix_acl_default")
                self.assertEqual((stat.S_IMODE(os.stat(self.path("out.tga")).st_mode),
                                  attributes(self.path("out.tga"))), (0o640, {}))
            return check

        def replaced_keeping_flags():  # chattr +d +A, where the file system has them
            self.write("out.tga", b"keep")
            wanted = FS_NODUMP_FL | FS_NOATIME_FL
            if not set_file_flags(self.path("out.tga"), wanted):
                return lambda: None
            return lambda: self.assertEqual(file_flags(self.path("out.tga")) & wanted, wanted)

        def longer_with_another_name():  # written in place, cut to the TGA
            self.write("out.tga", b"k" * 100000)
            os.link(self.path("out.tga"), self.path("other.tga"))
            return lambda: self.assertEqual(self.read("other.tga"), expected)

        def through_ten_links():
            self.write("real.tga", b"keep")
            for n in range(9):
                os.symlink(f"l{n + 1}" if n < 8 else "real.tga", self.path(f"l{n}"))
            os.symlink("l0", self.path("out.tga"))
            return lambda: (self.assertEqual(self.read("real.tga"), expected),
                            self.assertTrue(os.path.islink(self.path("out.tga"))))

        for setup in [replaced_keeping_mode, replaced_keeping_acl_and_attributes, through_a_link, through_a_dangling_link,
                      with_another_name, new_file, replaced_keeping_setgid,
                      replaced_under_a_default_acl, replaced_keeping_flags,
                      longer_with_another_name, through_ten_links]:
            with self.subTest(setup.__name__):
                for name in os.listdir(self.dir):
                    if name != "in.dds":
                        os.remove(self.path(name))
                check = setup()
                result = self.run_tool("in.dds", "out.tga", preexec_fn=lambda: os.umask(0o027))
                self.assertEqual((result.code, result.messages), (0, COMPLETE))
                self.assertEqual(self.read("out.tga"), expected)
                check()
                self.assertFalse([n for n in os.listdir(self.dir) if n.startswith(".")])

        # Standard output, through a link of our own that stands for
        # /dev/stdout: a file is exactly the TGA, no message mixed in.
        os.symlink("/proc/self/fd/1", self.path("stdout"))
        with open(self.path("stdout.tga"), "wb") as out:
            code, messages, _ = self.run_plain([RUNNER_EXE, "in.dds", "stdout"], stdout=out)
        self.assertEqual((code, messages), (0, COMPLETE))
        self.assertEqual(self.read("stdout.tga"), expected)

        # A name for the open standard output is written through it, as cat
        # would: appended, between other writes, twice in a row (the second
        # run must neither take the first one's file for its own nor replace
        # the link). A link of our own stands for /dev/stdout; as root the
        # last row uses a private /dev, where /dev/stdout is such a link.
        twice = '("$0" in.dds {0}; "$0" in.dds {0}) > out && test -L {0}'
        rows = [("appended", 'echo keep > out; "$0" in.dds stdout >> out', b"keep\n", 1, b""),
                ("between writes", '{ echo H; "$0" in.dds stdout; echo T; } > out', b"H\n", 1,
                 b"T\n"),
                ("twice", twice.format("stdout"), b"", 2, b"")]
        if os.geteuid() == 0 and shutil.which("unshare"):
            rows.append(("twice on a private /dev", "mount -t tmpfs dev /dev && "
                         "ln -s /proc/self/fd/1 /dev/stdout && " + twice.format("/dev/stdout"),
                         b"", 2, b""))
        for name, command, before, runs, after in rows:
            with self.subTest(name):
                shell = ["sh", "-c", command, RUNNER_EXE]
                code, messages, _ = self.run_plain(["unshare", "-m", *shell] if "/dev" in name
                                                   else shell)
                self.assertEqual((code, messages), (0, COMPLETE * runs))
                self.assertEqual(self.read("out"), before + expected * runs + after)
                self.assertEqual(os.readlink(self.path("stdout")), "/proc/self/fd/1")
        # A link the kernel follows but whose text names no file (a deleted
        # file open as descriptor 3) is written through, never replaced.
        os.symlink("/proc/self/fd/3", self.path("fd3.tga"))
        code, messages, _ = self.run_plain(
            ["sh", "-c", 'exec 3<>gone && rm gone && "$0" in.dds fd3.tga && cat <&3 > out',
             RUNNER_EXE])
        self.assertEqual((code, messages), (0, COMPLETE))
        self.assertEqual(self.read("out"), expected)
        self.assertEqual(os.readlink(self.path("fd3.tga")), "/proc/self/fd/3")

    def test_the_output_is_never_the_input(self):
        source = probe_6x5()[0]
        self.write("in.dds", source)
        os.symlink("in.dds", self.path("link.dds"))
        os.link(self.path("in.dds"), self.path("hard.dds"))
        for output in ["in.dds", "./in.dds", "link.dds", "hard.dds"]:
            with self.subTest(output):
                self.check(self.run_tool("in.dds", output), 6, "error", IS_INPUT)
                self.assertEqual(self.read("in.dds"), source)
        self.check(self.run_tool("link.dds", "hard.dds"), 6, "error", IS_INPUT)
        # Nor another texture, whatever its name or however it is reached.
        self.write("other.dds", source)
        self.write("texture.tga", source)
        os.symlink("other.dds", self.path("to-other.tga"))
        for output in ["other.dds", "texture.tga", "to-other.tga"]:
            with self.subTest(output):
                self.check(self.run_tool("in.dds", output), 6, "error", IS_DDS)
                self.assertEqual(self.read("other.dds"), source)
                self.assertEqual(self.read("texture.tga"), source)
        # Nor a texture that is the open standard output, read and written or
        # appended to (read again through /proc, or judged by its name).
        os.symlink("/proc/self/fd/1", self.path("stdout"))
        for redirection in ["1<>other.dds", ">>other.dds"]:
            with self.subTest(redirection):
                code, messages, _ = self.run_plain(
                    ["sh", "-c", f'"$0" in.dds stdout {redirection}', RUNNER_EXE], names=["stdout"])
                self.assertEqual((code, messages), (6, [("error", IS_DDS)]))
                self.assertEqual(self.read("other.dds"), source)

    def stop_when(self, args, ready, preexec_fn=None):
        """Starts the converter and stops it (SIGSTOP) once `ready(pid)`
        holds; returns the process, or None if it ended first."""
        proc = subprocess.Popen([RUNNER_EXE, *args], cwd=self.dir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                preexec_fn=preexec_fn)
        while proc.poll() is None:
            try:
                if ready(proc.pid):
                    os.kill(proc.pid, signal.SIGSTOP)
                    return proc
            except OSError:  # the process ended while we looked
                pass
        proc.communicate()
        return None

    def output_open(self, pid):
        """Whether the process has a file open in the test's folder besides the input."""
        fds = os.listdir(f"/proc/{pid}/fd")
        targets = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in fds]
        return any(t.startswith(self.dir) and not t.endswith("in.dds") for t in targets)

    def header_read(self, pid):
        """Whether the process has read past the header of its input (decoding)
        and still has its output open: the input stays open after the output
        is in place."""
        for fd in os.listdir(f"/proc/{pid}/fd"):
            if os.readlink(f"/proc/{pid}/fd/{fd}").endswith("in.dds"):
                with open(f"/proc/{pid}/fdinfo/{fd}") as info:
                    return int(info.readline().split()[1]) > 128 and self.output_open(pid)
        return False

    def temporary_named(self, pid):
        """Whether a hidden temporary file has appeared in the test's folder."""
        return any(n.startswith(".dxtc2tga-") for n in os.listdir(self.dir))

    def test_interrupted_and_racing_conversions_change_nothing(self):
        # 4096 x 4096 pixels: 64 MiB to write, long enough to be caught at it.
        self.write("in.dds", dds(4096, 4096, b"DXT1", bytes(8 * 1024 * 1024)))
        exists = [("error", OPEN + ": File exists")]

        def no_core_dumps_and_ignoring(*ignored, blocked=()):
            def preexec():
                # A group of its own, never orphaned, where SIGTSTP stops it.
                os.setpgid(0, 0)
                resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
                for number in ignored:
                    signal.signal(number, signal.SIG_IGN)
                signal.pthread_sigmask(signal.SIG_BLOCK, blocked)
            return preexec

        def blocked_sigterm(pid):  # the caller's mask is kept: it stays pending
            os.kill(pid, signal.SIGTERM)
            return set()

        def ctrl_z_and_fg(pid):  # stopped by the terminal's signal, then resumed
            os.kill(pid, signal.SIGCONT)  # a stop signal sent while stopped would be dropped
            os.kill(pid, signal.SIGTSTP)
            deadline = time.monotonic() + 30
            while open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[0] != "T":
                self.assertLess(time.monotonic(), deadline, "SIGTSTP did not stop the run")
                time.sleep(0.01)
            return set()

        def second_run(pid):  # into the same folder meanwhile
            self.assertEqual(subprocess.run([RUNNER_EXE, "in.dds", "second.tga"], cwd=self.dir,
                                            capture_output=True).returncode, 0)
            return {"second.tga"}

        def folder_at_the_name(pid):  # before the final rename: nothing is left
            os.remove(self.path("out.tga"))
            os.mkdir(self.path("out.tga"))
            return set()
        not_placed = [("error", FOOTER + ": the file could not be put in place: Is a directory")]

        def squat_temporary_names(pid):  # the names a run of old would take
            for n in range(100):
                self.write(f".dxtc2tga-{pid}-{n}.tmp", b"")
            return {f".dxtc2tga-{pid}-{n}.tmp" for n in range(100)}

        def private_temporary(pid):  # nobody else may open it while we write
            [name] = [n for n in os.listdir(self.dir) if n.startswith(".dxtc2tga-")]
            self.assertEqual(stat.S_IMODE(os.stat(self.path(name)).st_mode), 0o600)
            return set()

        ending = [signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1,
                  signal.SIGUSR2, signal.SIGALRM, signal.SIGVTALRM, signal.SIGPROF]
        cases = [  # (output arguments, when to act, act, exit code, messages, old file kept)
            *[(["out.tga"], self.output_open, number, -number, [], True) for number in ending],
            ([], self.header_read, "create in.tga", 6, exists, True),
            ([], self.output_open, "create in.tga", 6, exists, True),
            # Ignored signals stay ignored (nohup): the run goes on to the end.
            (["out.tga"], self.output_open, (signal.SIGHUP, signal.SIGINT), 0, COMPLETE, False),
            (["out.tga"], self.header_read, squat_temporary_names, 0, COMPLETE, False),
            (["out.tga"], self.output_open, blocked_sigterm, 0, COMPLETE, False),
            (["out.tga"], self.header_read, ctrl_z_and_fg, 0, COMPLETE, False),
            (["out.tga"], self.header_read, second_run, 0, COMPLETE, False),
            (["out.tga"], self.header_read, folder_at_the_name, 9, not_placed, None),
        ]
        if NAMED_ROUTE:
            cases.append((["out.tga"], self.temporary_named, private_temporary, 0, COMPLETE, False))
        for args, ready, act, code, messages, kept in cases:
            if isinstance(act, tuple):
                name = "ignored " + " ".join(signal.Signals(n).name for n in act)
            elif isinstance(act, int):
                name = signal.Signals(act).name
            else:
                name = getattr(act, "__name__", act)
            with self.subTest(f"{name} when {ready.__name__}"):
                for old in os.listdir(self.dir):
                    if old != "in.dds":
                        (shutil.rmtree if os.path.isdir(self.path(old)) else os.remove)(
                            self.path(old))
                self.write("out.tga", b"keep")
                ignored = act if isinstance(act, tuple) else ()
                blocked = [signal.SIGTERM] if act is blocked_sigterm else []
                proc = self.stop_when(["in.dds", *args], ready,
                                      no_core_dumps_and_ignoring(*ignored, blocked=blocked))
                if proc is None:
                    self.skipTest("the conversion ended before it could be caught")
                expected = {"in.dds", "out.tga"}
                if isinstance(act, tuple):
                    for number in act:
                        os.kill(proc.pid, number)
                elif not isinstance(act, str):
                    if callable(act):
                        expected |= act(proc.pid)
                    else:
                        os.kill(proc.pid, act)
                else:
                    try:
                        with open(self.path("in.tga"), "xb") as f:
                            f.write(b"new")
                    except FileExistsError:  # caught too late: already in place
                        os.kill(proc.pid, signal.SIGCONT)
                        proc.communicate()
                        self.skipTest("the conversion ended before it could be caught")
                    expected.add("in.tga")
                os.kill(proc.pid, signal.SIGCONT)
                _, stderr = proc.communicate(timeout=120)
                self.assertEqual((proc.returncode, parse_messages(b"", stderr, ["in.tga", *args])[0]),
                                 (code, messages))
                self.assertEqual(set(os.listdir(self.dir)), expected)
                if kept is None:
                    self.assertEqual(os.listdir(self.path("out.tga")), [])
                elif kept:
                    self.assertEqual(self.read("out.tga"), b"keep")
                else:
                    self.assertEqual(os.path.getsize(self.path("out.tga")),
                                     TGA_HEADER + 4096 * 4096 * 4 + TGA_FOOTER)
                if "in.tga" in expected:
                    self.assertEqual(self.read("in.tga"), b"new")

    def test_output_name_is_a_folder(self):
        # A folder as the output receives in.tga; a folder of that name is not entered.
        os.makedirs(self.path(os.path.join("out.tga", "in.tga")))
        self.check(self.convert(8, 8, "out.tga"), 6, "error", OPEN + ": Is a directory")
        self.assertEqual(os.listdir(self.path(os.path.join("out.tga", "in.tga"))), [])
        # Names fopen refuses are refused before decoding, with its reason.
        for name, reason in [("", "No such file or directory"), ("out.tga/", "Is a directory"),
                             ("in.dds/x.tga", "Not a directory"),
                             ("missing/x.tga", "No such file or directory")]:
            with self.subTest(repr(name)):
                self.check(self.convert(8, 8, name), 6, "error", OPEN + ": " + reason)
                self.assertEqual(sorted(os.listdir(self.dir)), ["in.dds", "out.tga"])

    def test_a_file_system_without_hard_links(self):
        # As vfat and many FUSE file systems: no unnamed files, no hard links,
        # no RENAME_NOREPLACE. A proposal taken unasked is still placed
        # without replacing anything, and a named file is still replaced.
        if os.geteuid() != 0 or not shutil.which("unshare") or not os.path.exists("/dev/fuse"):
            self.skipTest("mounting a FUSE file system takes root, unshare and /dev/fuse")
        python = "/usr/bin/python3"  # the system's, which has Debian's fusepy
        if subprocess.run([python, "-c", "import fusepy"], capture_output=True).returncode != 0:
            self.skipTest("fusepy is missing: python3-fusepy (tools/install-dependencies)")
        helper = os.path.join(os.path.dirname(os.path.abspath(__file__)), "no_links_fs.py")
        source, expected = probe_6x5()
        root, mountpoint = self.path("root"), self.path("mnt")
        os.mkdir(root)
        os.mkdir(mountpoint)
        with open(os.path.join(root, "small.dds"), "wb") as f:
            f.write(source)
        for args, made in [(["small.dds"], "small.tga"), (["small.dds", "new.tga"], "new.tga"),
                           (["small.dds", "small.tga"], "small.tga")]:
            with self.subTest(args):
                code, messages, _ = self.run_plain(
                    ["unshare", "-m", python, helper, root, mountpoint, RUNNER_EXE, *args])
                self.assertEqual((code, messages), (0, COMPLETE))
                with open(os.path.join(root, made), "rb") as f:
                    self.assertEqual(f.read(), expected)
                self.assertFalse([n for n in os.listdir(root) if n.startswith(".")])
        self.assertFalse(os.path.ismount(mountpoint))

    def test_what_fopen_would_do_as_root(self):
        # Each row runs a shell command in a private mount namespace; the file
        # it names is written in place or refused as fopen would, decided
        # before decoding, and nothing is left.
        if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("chattr"):
            self.skipTest("mounts, chattr and the kernel's protections take root")
        source, expected = probe_6x5()
        self.write("in.dds", source)
        nobody = pwd.getpwnam("nobody")

        def bind_mounted_file():  # as containers mount files
            self.write("src.tga", b"keep")
            self.write("out.tga", b"keep")
            return ('mount --bind src.tga out.tga && "$0" in.dds out.tga',
                    lambda: self.assertEqual(self.read("src.tga"), expected))

        def writable_file_in_read_only_folder():
            os.mkdir(self.path("ro"))
            self.write("ro/out.tga", b"keep")
            self.write("rw.tga", b"keep")
            return ('mount --bind ro ro && mount -o remount,bind,ro ro && '
                    'mount --bind rw.tga ro/out.tga && "$0" in.dds ro/out.tga',
                    lambda: self.assertEqual(self.read("rw.tga"), expected))

        def append_only_folder():  # a new file and a replace
            os.mkdir(self.path("af"))
            self.write("af/old.tga", b"keep")
            if subprocess.run(["chattr", "+a", self.path("af")]).returncode != 0:
                self.skipTest("this file system has no append-only folders")

            def check():
                subprocess.run(["chattr", "-a", self.path("af")], check=True)
                self.assertEqual(sorted(os.listdir(self.path("af"))), ["new.tga", "old.tga"])
                self.assertEqual((self.read("af/new.tga"), self.read("af/old.tga")),
                                 (expected, expected))
            return '"$0" in.dds af/new.tga && "$0" in.dds af/old.tga', check

        def others_file_with_protected_regular():  # refused as fopen is refused
            os.mkdir(self.path("sticky"))
            os.chmod(self.path("sticky"), 0o1777)
            self.write("sticky/out.tga", b"keep")
            os.chown(self.path("sticky/out.tga"), nobody.pw_uid, nobody.pw_gid)
            os.chmod(self.path("sticky/out.tga"), 0o666)
            with open("/proc/sys/fs/protected_regular") as f:
                old = f.read()
            with open("/proc/sys/fs/protected_regular", "w") as f:
                f.write("1")

            def check():
                with open("/proc/sys/fs/protected_regular", "w") as f:
                    f.write(old)
                self.assertEqual(self.read("sticky/out.tga"), b"keep")
            return '"$0" in.dds sticky/out.tga', check

        denied = [("error", OPEN + ": Permission denied")]
        for setup, code, messages in [(bind_mounted_file, 0, COMPLETE),
                                      (writable_file_in_read_only_folder, 0, COMPLETE),
                                      (append_only_folder, 0, COMPLETE * 2),
                                      (others_file_with_protected_regular, 6, denied)]:
            with self.subTest(setup.__name__):
                command, check = setup()
                try:
                    result = self.run_plain(["unshare", "-m", "sh", "-c", command, RUNNER_EXE],
                                            names=["sticky/out.tga"])
                finally:
                    check()
                self.assertEqual(result[:2], (code, messages))
                self.assertFalse([f for _, _, files in os.walk(self.dir) for f in files
                                  if f.startswith(".dxtc2tga")])

    def make_folders(self, names):
        """Makes the nested folders one below the other, however long their
        path; returns a descriptor of the last (the caller closes it)."""
        fd = os.open(self.dir, os.O_RDONLY | os.O_DIRECTORY)
        for name in names:
            os.mkdir(name, dir_fd=fd)
            below = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = below
        return fd

    def test_paths_near_and_beyond_the_system_limit(self):
        source, expected = probe_6x5()
        self.write("in.dds", source)
        # A folder of 4085 bytes and "/o.tga": the name fits PATH_MAX (4096),
        # a temporary name's full path beside it would not.
        names = ["d" * 254] * 16 + ["d" * 5]
        fd = self.make_folders(names)
        try:
            with self.subTest("a name of 4091 bytes"):
                output = os.path.join(*names, "o.tga")
                self.assertEqual(len(output), 4091)
                result = self.run_tool("in.dds", output)
                self.assertEqual((result.code, result.messages), (0, COMPLETE))
                self.assertEqual(os.listdir(fd), ["o.tga"])
        finally:
            os.close(fd)
        # A symbolic link in a folder deeper than PATH_MAX, named from there:
        # its target is replaced and the link kept.
        names = ["e" * 254] * 17
        fd = self.make_folders(names)
        try:
            with open(os.open("real.tga", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "wb") as f:
                f.write(b"keep")
            os.symlink("real.tga", "out.tga", dir_fd=fd)

            def enter_deep_folder():
                for name in names:
                    os.chdir(name)
            with self.subTest("a link in a folder deeper than PATH_MAX"):
                result = self.run_tool(self.path("in.dds"), "out.tga",
                                       preexec_fn=enter_deep_folder)
                self.assertEqual((result.code, result.messages), (0, COMPLETE))
                self.assertEqual(os.readlink("out.tga", dir_fd=fd), "real.tga")
                with open(os.open("real.tga", os.O_RDONLY, dir_fd=fd), "rb") as f:
                    self.assertEqual(f.read(), expected)
                self.assertEqual(sorted(os.listdir(fd)), ["out.tga", "real.tga"])
        finally:
            os.close(fd)

    def as_nobody(self):
        """A runner and the preexec_fn that make the program run as `nobody`
        when we are root, who may write anywhere: from a copy in the test's
        folder, since the build folder may be closed to other users (a clone
        in root's home, say). Returns (runner, preexec_fn, whether as nobody)."""
        if os.geteuid() != 0:
            return NativeRunner(RUNNER_EXE), None, False
        try:
            nobody = pwd.getpwnam("nobody")
        except KeyError:
            self.skipTest("running as root and there is no user 'nobody' to run as")

        def preexec():
            os.setgroups([])
            os.setgid(nobody.pw_gid)
            os.setuid(nobody.pw_uid)
        folder = self.dir
        while folder != os.path.dirname(folder):
            folder = os.path.dirname(folder)
            if not os.stat(folder).st_mode & stat.S_IXOTH:
                self.skipTest(f"'nobody' cannot enter {folder}, above the test's folder")
        os.chmod(self.dir, 0o755)  # the input and the program must stay readable
        return NativeRunner(shutil.copy(RUNNER_EXE, self.path("dxtc2tga"))), preexec, True

    def test_folder_without_write_permission(self):
        runner, preexec, _ = self.as_nobody()
        self.write("in.dds", dds(8, 8, b"DXT1", bytes(32)))
        os.mkdir(self.path("locked"), 0o755)
        self.write(os.path.join("locked", "open.tga"), b"keep")
        os.chmod(self.path(os.path.join("locked", "open.tga")), 0o666)
        os.chmod(self.path("locked"), 0o555)
        # A new file cannot be made there; a file we may write is written in place.
        result = runner.run(["in.dds", os.path.join("locked", "out.tga")], self.dir,
                            preexec_fn=preexec)
        self.check(result, 6, "error", OPEN + ": Permission denied")
        inode = os.stat(self.path(os.path.join("locked", "open.tga"))).st_ino
        result = runner.run(["in.dds", os.path.join("locked", "open.tga")], self.dir,
                            preexec_fn=preexec)
        self.assertEqual((result.code, result.messages), (0, COMPLETE))
        self.assertEqual(os.listdir(self.path("locked")), ["open.tga"])
        self.assertEqual(os.stat(self.path(os.path.join("locked", "open.tga"))).st_ino, inode)
        self.assertEqual(os.path.getsize(self.path(os.path.join("locked", "open.tga"))), 18 + 256 + 26)


    def test_what_writing_in_place_refuses_or_keeps_holds_for_a_replace(self):
        # Another user's file is written in place, keeping owner and group,
        # or refused as fopen would refuse it; never replaced by one of ours.
        # Decided before decoding: a refusal never comes after the work.
        runner, preexec, as_nobody = self.as_nobody()
        if not as_nobody:
            self.skipTest("another user's files need root to be made")
        nobody = pwd.getpwnam("nobody")
        self.write("in.dds", dds(8, 8, b"DXT1", bytes(32)))
        size = TGA_HEADER + 8 * 8 * 4 + TGA_FOOTER
        denied = (6, [("error", OPEN + ": Permission denied")])
        cases = [  # (name, folder mode, folder ours, file mode, file ours, group ours, outcome)
            ("our write-protected file", 0o755, True, 0o444, True, True, denied),
            ("another's write-protected file", 0o777, False, 0o444, False, False, denied),
            ("another's file in our group", 0o777, False, 0o664, False, True, (0, COMPLETE)),
            ("another's file, sticky folder", 0o1777, False, 0o666, False, False, (0, COMPLETE)),
        ]
        for name, folder_mode, folder_ours, mode, ours, group_ours, outcome in cases:
            with self.subTest(name):
                folder = self.path("shared")
                shutil.rmtree(folder, ignore_errors=True)
                os.mkdir(folder)
                output = os.path.join(folder, "out.tga")
                with open(output, "wb") as f:
                    f.write(b"keep")
                os.chown(folder, nobody.pw_uid if folder_ours else 0, 0)
                os.chmod(folder, folder_mode)
                owner = (nobody.pw_uid if ours else 0, nobody.pw_gid if group_ours else 0)
                os.chown(output, *owner)
                os.chmod(output, mode)
                before = os.stat(output)
                result = runner.run(["in.dds", os.path.join("shared", "out.tga")], self.dir,
                                    preexec_fn=preexec)
                self.assertEqual((result.code, result.messages), outcome)
                after = os.stat(output)
                self.assertEqual((after.st_ino, after.st_uid, after.st_gid, after.st_mode),
                                 (before.st_ino, *owner, before.st_mode))
                self.assertEqual(os.path.getsize(output), size if outcome[0] == 0 else 4)
                self.assertEqual(os.listdir(folder), ["out.tga"])
        # Our own texture that we may only write is judged by its name.
        with self.subTest("our write-only texture"):
            texture = os.path.join(folder, "t.DDS")
            self.write(texture, dds(4, 4, b"DXT1", bytes(8)))
            os.chown(texture, nobody.pw_uid, nobody.pw_gid)
            os.chmod(texture, 0o200)
            result = runner.run(["in.dds", os.path.join("shared", "t.DDS")], self.dir,
                                preexec_fn=preexec)
            self.assertEqual((result.code, result.messages), (6, [("error", IS_DDS)]))
            self.assertEqual(os.path.getsize(texture), 128 + 8)
            os.remove(texture)
        # Our own file with an ACL and an attribute, in the sticky folder of the
        # last row: replaced, keeping them.
        with self.subTest("our file with an ACL and an attribute"):
            os.chown(output, nobody.pw_uid, nobody.pw_gid)
            os.chmod(output, 0o640)
            undefined = 0xFFFFFFFF
            os.setxattr(output, "system.posix_acl_access", access_acl(
                (0x01, 6, undefined), (0x02, 6, 0), (0x04, 4, undefined), (0x10, 6, undefined),
                (0x20, 0, undefined)))
            os.setxattr(output, "user.origin", b"painted by hand")
            before = (os.stat(output).st_mode, os.stat(output).st_uid, attributes(output))
            result = runner.run(["in.dds", os.path.join("shared", "out.tga")], self.dir,
                                preexec_fn=preexec)
            self.assertEqual((result.code, result.messages), (0, COMPLETE))
            self.assertEqual((os.stat(output).st_mode, os.stat(output).st_uid, attributes(output)),
                             before)
            self.assertEqual(os.path.getsize(output), size)

if __name__ == "__main__":
    unittest.main()
