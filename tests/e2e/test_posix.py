"""End-to-end tests of the command-line build alone: the terminal prompt and
a texture written by another tool. A full disk and the other output faults
are in test_output_faults.py."""
import os
import pty
import select
import shutil
import signal
import subprocess
import termios
import time
import unittest

from ddsfile import dds
from runner import RUNNER_EXE, parse_messages
from test_cli import COMPLETE, ROOT, Converter, probe_6x5


class Prompt(Converter):
    """Started with only an input name at a terminal: the name is asked for."""

    def converse(self, args, exchange, line_editing=True):
        """Runs the converter on a pseudo-terminal. `exchange` lists what to
        wait for and what to answer (None: end of input). Without line
        editing the terminal passes on lines longer than its 4096 bytes, and
        a carriage return as it is."""
        master, slave = pty.openpty()
        if not line_editing:
            attributes = termios.tcgetattr(slave)
            attributes[0] &= ~termios.ICRNL
            attributes[3] &= ~termios.ICANON
            termios.tcsetattr(slave, termios.TCSANOW, attributes)
        proc = subprocess.Popen([RUNNER_EXE, *args], cwd=self.dir, stdin=slave, stderr=slave,
                                stdout=subprocess.PIPE)
        os.close(slave)
        seen = b""
        try:
            for expected, answer in exchange:
                seen += self.read_until(master, expected.encode(), seen)
                os.write(master, b"\x04" if answer is None else answer.encode() + b"\n")
            stdout, _ = proc.communicate(timeout=30)
            seen += self.read_until(master, None, seen)
        finally:
            os.close(master)
            if proc.poll() is None:
                proc.kill()
        return proc.returncode, seen.decode("latin-1"), stdout

    @staticmethod
    def read_until(master, expected, seen):
        got = b""
        deadline = time.monotonic() + 30
        while expected is None or expected not in got:  # said after the last answer
            if time.monotonic() > deadline:
                raise AssertionError(f"waited for {expected!r}, saw {seen + got!r}")
            ready, _, _ = select.select([master], [], [], 0.5 if expected is None else 1)
            if not ready:
                if expected is None:
                    break
                continue
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the other side has closed
                chunk = b""
            if not chunk:
                if expected is None:
                    break
                raise AssertionError(f"ended before {expected!r}, saw {seen + got!r}")
            got += chunk
        return got

    def test_empty_answer_takes_the_proposal(self):
        source, expected = probe_6x5()
        # Control bytes in a name are shown escaped: they cannot drive the terminal.
        for name, prompt, proposal in [("a.dds", "Save as [a.tga]: ", "a.tga"),
                                       ("e\x1b[2J.dds", "Save as [e\\x1B[2J.tga]: ", "e\x1b[2J.tga")]:
            with self.subTest(name):
                self.write(name, source)
                code, screen, stdout = self.converse([name], [(prompt, "")])
                # Every message is on standard error, the terminal here.
                self.assertEqual((code, stdout), (0, b""))
                self.assertEqual(parse_messages(b"", screen.split(prompt)[1].encode())[0], COMPLETE)
                self.assertEqual(self.read(proposal), expected)

    def test_typed_name_gets_the_default_extension(self):
        self.write("a.dds", probe_6x5()[0])
        os.mkdir(self.path("sub.dir"))
        long_path = os.path.join("f" * 200, "n" * 100)  # longer than a Windows dialog takes
        os.mkdir(self.path("f" * 200))
        for typed, written in [("b", "b.tga"), ("c.raw", "c.raw"), ("sub.dir/d", "sub.dir/d.tga"),
                               (long_path, long_path + ".tga")]:
            with self.subTest(typed):
                code, _, _ = self.converse(["a.dds"], [("Save as [a.tga]: ", typed)])
                self.assertEqual(code, 0)
                self.assertTrue(os.path.exists(self.path(written)))
        # A folder is no file name: asked again, not written as "sub.dir/.tga".
        code, _, _ = self.converse(["a.dds"], [("Save as [a.tga]: ", "sub.dir"),
                                               ("Save as [a.tga]: ", "sub.dir/"),
                                               ("Save as [a.tga]: ", "e")])
        self.assertEqual(code, 0)
        self.assertEqual(os.listdir(self.path("sub.dir")), ["d.tga"])
        self.assertTrue(os.path.exists(self.path("e.tga")))

    def test_a_dds_file_a_folder_to_be_or_a_line_end_is_no_answer(self):
        self.write("a.dds", probe_6x5()[0])
        self.write("other.dds", probe_6x5()[0])
        code, screen, _ = self.converse(["a.dds"], [
            ("Save as [a.tga]: ", "a.dds"),  # the input itself: never replaced
            ("a.dds is a DDS file; give the name of a TGA file.", "other.dds"),
            ("other.dds is a DDS file; give the name of a TGA file.", "missing/"),
            ("That is a folder; give a file name.", "f\r")], line_editing=False)
        self.assertEqual(code, 0, screen)
        self.assertEqual(sorted(os.listdir(self.dir)), ["a.dds", "f.tga", "other.dds"])
        self.assertEqual(self.read("a.dds"), probe_6x5()[0])

    def test_nobody_is_asked_when_the_question_cannot_be_seen(self):
        # At a terminal with standard error in a log, the question would wait
        # unseen: the proposal is taken only when no file has its name.
        source, expected = probe_6x5()
        self.write("a.dds", source)
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        for code, kept in [(0, expected), (9, expected)]:  # the second time a.tga exists
            proc = subprocess.run([RUNNER_EXE, "a.dds"], cwd=self.dir, stdin=slave,
                                  capture_output=True, timeout=30)
            self.assertEqual(proc.returncode, code, proc.stderr)
            self.assertNotIn(b"Save as", proc.stderr)
            self.assertEqual(self.read("a.tga"), kept)

    def test_replacing_is_asked_and_no_asks_again(self):
        source, expected = probe_6x5()
        self.write("a.dds", source)
        self.write("a.tga", b"keep")
        self.write("b.tga", b"keep")
        code, screen, _ = self.converse(["a.dds"], [
            ("Save as [a.tga]: ", ""), ("a.tga already exists. Replace it? [y/N] ", "n"),
            ("Save as [a.tga]: ", "b"), ("b.tga already exists. Replace it? [y/N] ", "ye"),
            ("Save as [a.tga]: ", "b"), ("b.tga already exists. Replace it? [y/N] ", "YES")])
        self.assertEqual(code, 0)
        self.assertEqual(self.read("a.tga"), b"keep")
        self.assertEqual(self.read("b.tga"), expected)
        code, screen, _ = self.converse(["a.dds"], [
            ("Save as [a.tga]: ", ""), ("a.tga already exists. Replace it? [y/N] ", "y")])
        self.assertEqual(code, 0)
        self.assertEqual(self.read("a.tga"), expected)

    def test_a_named_file_that_is_no_tga_is_replaced_only_when_agreed(self):
        source, expected = probe_6x5()
        self.write("a.dds", source)
        refused = (6, [("error", "Error opening output file: File exists and is no TGA file; "
                                 "delete it or name a .tga file")])
        for answer, code, after in [("y", 0, expected), ("n", 6, b"keep"), (None, 6, b"keep")]:
            with self.subTest(answer=answer):
                self.write("notes.txt", b"keep")
                code_seen, _, _ = self.converse(["a.dds", "notes.txt"], [
                    ("notes.txt already exists. Replace it? [y/N] ", answer)])
                self.assertEqual((code_seen, self.read("notes.txt")), (code, after))
        # With nobody to ask it is refused, saying how to go on; a .tga (any
        # case) is replaced unasked.
        self.write("notes.txt", b"keep")
        result = self.run_tool("a.dds", "notes.txt")
        self.assertEqual((result.code, result.messages), refused)
        self.assertEqual(self.read("notes.txt"), b"keep")
        self.write("old.TGA", b"keep")
        result = self.run_tool("a.dds", "old.TGA")
        self.assertEqual((result.code, self.read("old.TGA")), (0, expected))

    def test_a_free_name_taken_meanwhile_is_not_replaced(self):
        # Typed or proposed, a name no file had was not agreed to replace
        # anything: a file made under it while we decode stays, as for a
        # proposal taken unasked. 4096 x 4096 pixels: long enough to be caught.
        self.write("a.dds", dds(4096, 4096, b"DXT1", bytes(8 * 1024 * 1024)))
        for answer, name in [("b", "b.tga"), ("", "a.tga")]:
            with self.subTest(answer=answer):
                master, slave = pty.openpty()
                proc = subprocess.Popen([RUNNER_EXE, "a.dds"], cwd=self.dir, stdin=slave,
                                        stderr=slave, stdout=subprocess.DEVNULL)
                os.close(slave)
                try:
                    self.read_until(master, b"Save as [a.tga]: ", b"")
                    os.write(master, answer.encode() + b"\n")
                    while not self.decoding(proc.pid):
                        if proc.poll() is not None:
                            self.skipTest("the conversion ended before it could be caught")
                    os.kill(proc.pid, signal.SIGSTOP)
                    self.write(name, b"new")
                    os.kill(proc.pid, signal.SIGCONT)
                    proc.wait(timeout=60)
                    screen = self.read_until(master, None, b"").decode("latin-1")
                finally:
                    os.close(master)
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait()
                self.assertEqual(proc.returncode, 6)
                self.assertIn(f"DXTC Conversion: error: {name}: Error opening output file: "
                              "File exists", screen)
                self.assertEqual(self.read(name), b"new")
                os.remove(self.path(name))

    def decoding(self, pid):
        """Whether the process has read past the header of a.dds and still has
        its output open (the input stays open after the output is in place)."""
        try:
            targets = {fd: os.readlink(f"/proc/{pid}/fd/{fd}")
                       for fd in os.listdir(f"/proc/{pid}/fd")}
            if not any(t.startswith(self.dir) and not t.endswith("a.dds")
                       for t in targets.values()):
                return False
            for fd, target in targets.items():
                if target.endswith("a.dds"):
                    with open(f"/proc/{pid}/fdinfo/{fd}") as info:
                        return int(info.readline().split()[1]) > 128
        except OSError:  # the process ended while we looked
            pass
        return False

    def test_end_of_input_cancels_quietly(self):
        self.write("a.dds", probe_6x5()[0])
        self.write("b.tga", b"keep")
        for exchange in [[("Save as [a.tga]: ", None)],
                         [("Save as [a.tga]: ", "b"), ("Replace it? [y/N] ", None)]]:
            with self.subTest(exchange):
                code, screen, stdout = self.converse(["a.dds"], exchange)
                self.assertEqual((code, stdout), (0, b""))
                self.assertNotIn("DXTC Conversion", screen)
                self.assertEqual(sorted(os.listdir(self.dir)), ["a.dds", "b.tga"])

    def test_a_name_longer_than_any_path_fails(self):
        self.write("a.dds", probe_6x5()[0])
        for length in [4096, 4100, 5000]:  # 4096 + ".tga" and its terminator: one too many
            with self.subTest(length):
                code, screen, _ = self.converse(["a.dds"], [("Save as [a.tga]: ", "n" * length)],
                                                line_editing=False)
                self.assertEqual(code, 9)
                self.assertIn("DXTC Conversion: error: a.dds: Save dialog error: 0x3003", screen)


def imagemagick_reads_dds():
    convert = shutil.which("convert", path="/usr/bin")
    if convert is None:
        return None
    probe = subprocess.run([convert, "-list", "format"], capture_output=True, text=True)
    return convert if " DDS" in probe.stdout else None


# Debian's Python, which has Pillow (python3-pil); the tests may run under another.
PILLOW_PYTHON = "/usr/bin/python3"
# Prints, per channel, the largest difference between two pictures Pillow reads.
PILLOW_COMPARE = """import sys
from PIL import Image, ImageChops
a, b = (Image.open(name).convert("RGBA") for name in sys.argv[1:3])
print(a.size == b.size and " ".join(str(e[1]) for e in ImageChops.difference(a, b).getextrema()))
"""


def pillow_reads_dds():
    return os.path.exists(PILLOW_PYTHON) and subprocess.run(
        [PILLOW_PYTHON, "-c", "from PIL import DdsImagePlugin"], capture_output=True).returncode == 0


class AnotherToolsTexture(Converter):
    @unittest.skipUnless(imagemagick_reads_dds() and pillow_reads_dds(),
                         "needs ImageMagick's convert and Debian's python3-pil")
    def test_the_manuals_pipe_example_gives_the_right_picture(self):
        # The example as the man page prints it, on the shipped sample.
        with open(os.path.join(ROOT, "docs", "dxtc2tga.1")) as f:
            example = [line for line in f if line.startswith("dxtc2tga stone.dds /dev/stdout |")]
        self.assertEqual(len(example), 1)
        shutil.copy(os.path.join(ROOT, "samples", "sample.dds"), self.path("stone.dds"))
        os.mkdir(self.path("bin"))
        os.symlink(RUNNER_EXE, self.path(os.path.join("bin", "dxtc2tga")))
        path = self.path("bin") + os.pathsep + "/usr/bin" + os.pathsep + os.environ["PATH"]
        # Standard output through a private link to /proc/self/fd/1, never
        # through /dev/stdout by name, so that a fault cannot replace it.
        os.symlink("/proc/self/fd/1", self.path("stdout"))
        command = example[0].replace("\\-", "-").replace(" /dev/stdout ", " ./stdout ")
        subprocess.run(["sh", "-c", command], cwd=self.dir, check=True,
                       env=dict(os.environ, PATH=path), capture_output=True, timeout=60)
        worst = subprocess.run([PILLOW_PYTHON, "-c", PILLOW_COMPARE, "stone.dds", "stone.png"],
                               cwd=self.dir, check=True, capture_output=True, text=True).stdout
        # Upside down, red differs by 199; the widening by shifts loses at most 7.
        for channel, limit in zip(worst.split(), (7, 3, 7, 0)):
            self.assertLessEqual(int(channel), limit, "red, green, blue, alpha: " + worst)

    @unittest.skipUnless(imagemagick_reads_dds(), "ImageMagick with DDS support is not installed")
    def test_imagemagick_dxt5_matches_its_own_decode_up_to_widening(self):
        convert = imagemagick_reads_dds()
        subprocess.run([convert, "rose:", "-alpha", "set", "-define", "dds:compression=dxt5",
                        "rose.dds"], cwd=self.dir, check=True)
        self.assertEqual(self.read("rose.dds")[84:88], b"DXT5")  # 70 x 46: partial edge blocks
        self.assertEqual(self.run_tool("rose.dds", "rose.tga").messages, COMPLETE)
        # ImageMagick keeps a TGA's bottom-up order unless asked to orient it.
        ours = subprocess.run([convert, "rose.tga", "-auto-orient", "-depth", "8", "rgba:-"], cwd=self.dir,
                              check=True, capture_output=True).stdout
        theirs = subprocess.run([convert, "rose.dds", "-depth", "8", "rgba:-"], cwd=self.dir,
                                check=True, capture_output=True).stdout
        self.assertEqual(len(ours), len(theirs))
        self.assertEqual(len(ours), 70 * 46 * 4)
        # Plain-shift widening loses at most the low 3 bits of red and blue and 2 of green.
        limits = (7, 3, 7, 0)
        worst = [0, 0, 0, 0]
        for i in range(0, len(ours), 4):
            for c in range(4):
                worst[c] = max(worst[c], abs(ours[i + c] - theirs[i + c]))
        for c, name in enumerate("RGBA"):
            self.assertLessEqual(worst[c], limits[c], f"{name} differs by {worst[c]}")


if __name__ == "__main__":
    unittest.main()
