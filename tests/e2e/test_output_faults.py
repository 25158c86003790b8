"""Fault injection on the output side, against the built executable.

Each writer flushes what it wrote before the next begins, so a failing disk
is reported by the stage whose bytes did not fit: the header (exit 7), the
rows (exit 8) or the footer (exit 9), never with the completion message. The
file is written under another name and put in place only when whole, so a
failed or interrupted conversion leaves nothing new and an existing file of
that name untouched; only what cannot be replaced is written in place.
"""
import os
import pwd
import resource
import shutil
import signal
import stat
import subprocess
import time
import unittest

from ddsfile import dds
from runner import RUNNER_EXE, NativeRunner, parse_messages
from test_cli import COMPLETE, Converter, probe_6x5

OPEN = "Error opening output file"
IS_INPUT = OPEN + ": Output file is the input file"
HEADER = "Error writing TGA header to output file"
ROWS = "Error writing image data to output file"
FOOTER = "Error writing TGA footer to output file"
TGA_HEADER, TGA_FOOTER = 18, 26


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

    def run_plain(self, command, **options):
        """Runs a command line of our own; returns (exit code, messages, stdout)."""
        proc = subprocess.run(command, cwd=self.dir, stdin=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=120, **options)
        # The runs here name their files in.dds and out.tga, or in the command.
        messages, stray = parse_messages(b"", proc.stderr, [*command, "in.dds", "out.tga"])
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
        try:
            code, messages, _ = self.run_plain([RUNNER_EXE, "in.dds", "/dev/stdout"], stdout=writer)
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

        for setup in [replaced_keeping_mode, through_a_link, through_a_dangling_link,
                      with_another_name, new_file]:
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

        # Standard output: a file is exactly the TGA, no message mixed in.
        with open(self.path("stdout.tga"), "wb") as out:
            code, messages, _ = self.run_plain([RUNNER_EXE, "in.dds", "/dev/stdout"], stdout=out)
        self.assertEqual((code, messages), (0, COMPLETE))
        self.assertEqual(self.read("stdout.tga"), expected)

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

    def stop_when(self, args, ready):
        """Starts the converter and stops it (SIGSTOP) once `ready(pid)`
        holds; returns the process, or None if it ended first."""
        proc = subprocess.Popen([RUNNER_EXE, *args], cwd=self.dir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
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
        """Whether the process has read past the header of its input (decoding)."""
        for fd in os.listdir(f"/proc/{pid}/fd"):
            if os.readlink(f"/proc/{pid}/fd/{fd}").endswith("in.dds"):
                with open(f"/proc/{pid}/fdinfo/{fd}") as info:
                    return int(info.readline().split()[1]) > 128
        return False

    def test_interrupted_and_racing_conversions_change_nothing(self):
        # 4096 x 4096 pixels: 64 MiB to write, long enough to be caught at it.
        self.write("in.dds", dds(4096, 4096, b"DXT1", bytes(8 * 1024 * 1024)))
        cases = [  # (output arguments, when to act, act, exit code, message)
            (["out.tga"], self.output_open, "terminate", -signal.SIGTERM, []),
            ([], self.header_read, "create in.tga", 6, [("error", OPEN + ": File exists")]),
            ([], self.output_open, "create in.tga", 6, [("error", OPEN + ": File exists")]),
        ]
        for args, ready, act, code, messages in cases:
            with self.subTest(f"{act} when {ready.__name__}"):
                for name in os.listdir(self.dir):
                    if name != "in.dds":
                        os.remove(self.path(name))
                self.write("out.tga", b"keep")
                proc = self.stop_when(["in.dds", *args], ready)
                if proc is None:
                    self.skipTest("the conversion ended before it could be caught")
                if act == "terminate":
                    os.kill(proc.pid, signal.SIGTERM)
                else:
                    try:
                        with open(self.path("in.tga"), "xb") as f:
                            f.write(b"new")
                    except FileExistsError:  # caught too late: already in place
                        os.kill(proc.pid, signal.SIGCONT)
                        proc.communicate()
                        self.skipTest("the conversion ended before it could be caught")
                os.kill(proc.pid, signal.SIGCONT)
                _, stderr = proc.communicate(timeout=120)
                self.assertEqual((proc.returncode, parse_messages(b"", stderr, ["in.tga", *args])[0]),
                                 (code, messages))
                expected = {"in.dds", "out.tga"} | ({"in.tga"} if act != "terminate" else set())
                self.assertEqual(set(os.listdir(self.dir)), expected)
                self.assertEqual(self.read("out.tga"), b"keep")
                if act != "terminate":
                    self.assertEqual(self.read("in.tga"), b"new")

    def test_output_name_is_a_folder(self):
        # A folder as the output receives in.tga; a folder of that name is not entered.
        os.makedirs(self.path(os.path.join("out.tga", "in.tga")))
        self.check(self.convert(8, 8, "out.tga"), 6, "error", OPEN + ": Is a directory")
        self.assertEqual(os.listdir(self.path(os.path.join("out.tga", "in.tga"))), [])

    def test_folder_without_write_permission(self):
        # Root may write anywhere: the program then runs as `nobody`, from a
        # copy in the test's folder, since the build folder may be closed to
        # other users (a clone in root's home, say).
        runner, preexec = NativeRunner(RUNNER_EXE), None
        if os.geteuid() == 0:
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
            runner = NativeRunner(shutil.copy(RUNNER_EXE, self.path("dxtc2tga")))
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


if __name__ == "__main__":
    unittest.main()
