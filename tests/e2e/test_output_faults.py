"""Fault injection on the output side, against the built executable.

Each writer flushes what it wrote before the next begins, so a failing disk
is reported by the stage whose bytes did not fit: the header (exit 7), the
rows (exit 8) or the footer (exit 9), never with the completion message, and
the file keeps exactly what reached it.
"""
import os
import pwd
import resource
import signal
import stat
import unittest

from ddsfile import dds
from test_cli import COMPLETE, Converter

OPEN = "Error opening output file"
HEADER = "Error writing TGA header to output file"
ROWS = "Error writing image data to output file"
FOOTER = "Error writing TGA footer to output file"
TGA_HEADER, TGA_FOOTER = 18, 26


def limit_file_size(limit):
    """For the child: files may grow to `limit` bytes; a write beyond fails
    with EFBIG instead of killing the process with SIGXFSZ."""
    def preexec():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
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
                    result = self.convert(width, height, "out.tga",
                                          preexec_fn=limit_file_size(limit))
                    self.check(result, code, "error", sentence + ": File too large")
                    self.assertEqual(os.path.getsize(self.path("out.tga")), limit)
            with self.subTest(width=width, limit=total):
                result = self.convert(width, height, "out.tga", preexec_fn=limit_file_size(total))
                self.assertEqual((result.code, result.messages), (0, COMPLETE))
                self.assertEqual(os.path.getsize(self.path("out.tga")), total)

    def test_output_name_is_a_folder(self):
        os.mkdir(self.path("out.tga"))
        self.check(self.convert(8, 8, "out.tga"), 6, "error", OPEN + ": Is a directory")
        self.assertEqual(os.listdir(self.path("out.tga")), [])

    def test_folder_without_write_permission(self):
        # Root may write anywhere: the child then runs as `nobody` instead.
        preexec = None
        if os.geteuid() == 0:
            try:
                nobody = pwd.getpwnam("nobody")
            except KeyError:
                self.skipTest("running as root and there is no user 'nobody' to run as")

            def preexec():
                os.setgroups([])
                os.setgid(nobody.pw_gid)
                os.setuid(nobody.pw_uid)
            os.chmod(self.dir, 0o755)  # the input must stay readable
            folder = os.path.dirname(self.dir)
            while folder != os.path.dirname(folder):
                if not os.stat(folder).st_mode & stat.S_IXOTH:
                    self.skipTest(f"'nobody' cannot enter {folder}, above the test's folder")
                folder = os.path.dirname(folder)
        os.mkdir(self.path("locked"), 0o555)
        result = self.convert(8, 8, os.path.join("locked", "out.tga"), preexec_fn=preexec)
        self.check(result, 6, "error", OPEN + ": Permission denied")
        self.assertEqual(os.listdir(self.path("locked")), [])


if __name__ == "__main__":
    unittest.main()
