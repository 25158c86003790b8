"""The table of bad inputs, run against the built executable.

Every row is one input file and what the program must answer: the exact exit
code, the exact message, and the output file (none, or its exact bytes). A
read that stops at the end of the file says so: "Unexpected end of file".
"""
import os
import resource
import subprocess
import threading
import unittest

from ddsfile import (BLOCK_SIZE, DDSCAPS_COMPLEX_MIPMAP, DDSCAPS_TEXTURE, DDSCAPS2_CUBEMAP_ALL,
                     DDSD_REQUIRED, colour_part, dds, pixels, tga)
from runner import RUNNER_EXE, parse_messages
from test_cli import COMPLETE, RUNNER, Converter, B, R, RB1, RB2, banded

NOT_DDS = "Input file does not appear to be a DDS file"
WRONG_SIZE = "DDS file header is wrong size?  Unable to continue."
NOT_DXTC = "Input file does not appear to contain a DXTC texture."
DIMENSIONS = "Image dimensions are not supported (width and height must be 1 to 65535)."
UNSUPPORTED = "{} compression type is not supported."
ALLOCATE = "Unable to allocate memory for buffer"
READ_SIGNATURE = "Error reading DDS signature from input file"
READ_HEADER = "Error reading DDS header from input file"
READ_DATA = "Error reading image data from input file"
END = ": Unexpected end of file"
NO_NAME = "Not a regular file; give the output name on the command line"


# One block per format whose rows, left to right, are red, blue and the two
# thirds between them, so clipped edge columns show in the output.
BLOCK = {
    b"DXT1": colour_part(0xF800, 0x001F, [0xE4] * 4),
    b"DXT3": b"\xff" * 8 + colour_part(0xF800, 0x001F, [0xE4] * 4),
    b"DXT5": bytes([255, 0, 0, 0, 0, 0, 0, 0]) + colour_part(0xF800, 0x001F, [0xE4] * 4),
}
ALPHA = {b"DXT1": 0xFF, b"DXT3": 0xF0, b"DXT5": 0xFF}  # 15 * 16 = 240 in DXT3


def picture(width, height, code=b"DXT1", **fields):
    """A DDS file of that size made of BLOCK, and the TGA file it converts to."""
    blocks = BLOCK[code] * (((width + 3) // 4) * ((height + 3) // 4))
    row = [(ALPHA[code] << 24) | ([R, B, RB1, RB2][x % 4] & 0xFFFFFF) for x in range(width)]
    return dds(width, height, code, blocks, **fields), tga(width, height, [pixels(*row)] * height)


def rows():
    """(name, file, exit code, message, expected output or None)."""
    good, good_tga = picture(8, 8)
    yield "empty file", b"", 3, READ_SIGNATURE + END, None
    for length in range(1, 128):
        sentence = READ_SIGNATURE if length < 4 else READ_HEADER
        yield f"{length} bytes of a header", good[:length], 3, sentence + END, None

    for signature in [b"dds ", b"DDS\0", b" DDS", b"DDSS", b"\0\0\0\0", b"\x89PNG"]:
        yield f"signature {signature!r}", signature + good[4:], 3, NOT_DDS, None
    for size in [0, 123, 125, 128]:
        yield f"header size {size}", dds(8, 8, size=size, blocks=good[128:]), 3, WRONG_SIZE, None
    for bit in [0x1, 0x2, 0x4, 0x1000, 0x80000]:
        data = dds(8, 8, flags=DDSD_REQUIRED & ~bit, blocks=good[128:])
        yield f"flag {bit:#x} missing", data, 3, NOT_DXTC, None
    yield "pitch flag instead of linear size", dds(8, 8, flags=0x100F), 3, NOT_DXTC, None
    for code, text in [(b"DXT2", "DXT2"), (b"DXT4", "DXT4"), (b"ATI2", "ATI2"), (b"DX10", "DX10"),
                       (b"\0\0\0\0", ""), (b"DX\0T", "DX"), (b"\xe9\xff\x01\x7f", "\ufffd\ufffd\\x01\\x7F"),
                       (b"\x1b[2J", "\\x1B[2J"),  # control bytes shown, not sent to the terminal
                       (b"\x9b2J\x9c", "\\x9B2J\\x9C"),  # C1 as bytes outside a character
                       (b"\xc2\x9b2J", "\\xC2\\x9B2J"),  # and as U+009B in UTF-8
                       (b"x\xc1\x9bJ", "x\ufffd\\x9BJ"),  # C0, C1, F5-F7 begin no character
                       (b"\xe2\x80\xaeX", "\\xE2\\x80\\xAEX"),  # U+202E would reorder the line
                       (b"\xe2\x81\xa9X", "\\xE2\\x81\\xA9X"),  # U+2069, an isolate's end
                       (b"\xd1\x80\xd0\x9f", "\u0440\u041f")]:  # Cyrillic "рП" is no control
        yield f"code {code!r}", dds(8, 8, code, good[128:]), 3, UNSUPPORTED.format(text), None
    # The checks run in order: the first field that is wrong is the one reported.
    yield "size and code wrong", dds(8, 8, b"DXT2", size=0), 3, WRONG_SIZE, None
    yield "code and width wrong", dds(0, 8, b"DXT2"), 3, UNSUPPORTED.format("DXT2"), None

    for side in [0, 1, 2, 3, 5, 65535, 65536, 2 ** 31, 2 ** 32 - 1]:
        for name, width, height in [("width", side, 4), ("height", 4, side)]:
            if 1 <= side <= 65535:
                data, expected = picture(width, height)
                yield f"{name} {side}", data, 0, COMPLETE[0][1], expected
            else:
                yield f"{name} {side}", dds(width, height, blocks=good[128:]), 3, DIMENSIONS, None

    # 10 x 6 is three blocks across and two down, the right and lower ones clipped.
    for code, size in BLOCK_SIZE.items():
        data, _ = picture(10, 6, code)
        ends = [128 + k * size for k in range(6)]
        ends += [end + cut for end in ends for cut in ([4] if size == 8 else [4, 8, 12])]
        ends.append(len(data) - 1)
        for end in sorted(ends):
            name = f"{code.decode()} cut at byte {end - 128} of the data"
            yield name, data[:end], 5, READ_DATA + END, None

    # Whatever follows the top-level image is never read.
    for code in BLOCK_SIZE:
        data, expected = picture(6, 5, code)
        yield f"{code.decode()} trailing garbage", data + b"garbage" * 9, 0, COMPLETE[0][1], expected
        mipmaps = dds(6, 5, code, data[128:] + BLOCK[code] * 3, mipmaps=3,
                      caps=DDSCAPS_TEXTURE | DDSCAPS_COMPLEX_MIPMAP)
        yield f"{code.decode()} with mipmaps", mipmaps, 0, COMPLETE[0][1], expected
        cube = dds(6, 5, code, data[128:] * 6, caps=DDSCAPS_TEXTURE | 0x8,
                   caps2=DDSCAPS2_CUBEMAP_ALL)
        yield f"{code.decode()} cube map", cube, 0, COMPLETE[0][1], expected
    yield "every flag set", dds(8, 8, flags=0xFFFFFFFF, blocks=good[128:]), 0, COMPLETE[0][1], good_tga


def sanitized():
    """An AddressSanitizer build reserves terabytes of address space at start."""
    with open(RUNNER_EXE, "rb") as f:
        return b"__asan_init" in f.read()


def limit_memory():
    """For the child: 1 GiB of address space."""
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))


class BadInput(Converter):
    def check_row(self, data, code, message, expected, **options):
        self.write("in.dds", data)
        result = self.run_tool("in.dds", "out.tga", **options)
        self.assertEqual(result.code, code, result.messages)
        self.assertEqual(len(result.messages), 1, result.messages)
        kind, text = result.messages[0]
        self.assertEqual(kind, "information" if code == 0 else "error")
        self.assertEqual(text, message)
        if RUNNER.names_files:  # a terminal names the file an error is about
            self.assertEqual(result.files, [None if code == 0 else "in.dds"])
        if expected is None:
            self.assertFalse(os.path.exists(self.path("out.tga")), "an output file was written")
        else:
            self.assertEqual(self.read("out.tga"), expected)
            os.remove(self.path("out.tga"))

    def test_table(self):
        for number, (name, data, code, message, expected) in enumerate(rows()):
            # Under Wine each run takes a good part of a second: there the
            # two sweeps over cut lengths keep every eighth row.
            if not RUNNER.native and ("bytes of a header" in name or "cut at" in name) and number % 8:
                continue
            with self.subTest(name):
                self.check_row(data, code, message, expected)

    @unittest.skipUnless(RUNNER.native, "reading a folder as a file is a POSIX case")
    def test_a_folder_as_input(self):
        os.mkdir(self.path("folder.dds"))
        result = self.run_tool("folder.dds", "out.tga")
        self.check(result, 3, "error", READ_SIGNATURE + ": Is a directory")
        self.assertFalse(os.path.exists(self.path("out.tga")))

    @unittest.skipUnless(RUNNER.native, "named pipes are a POSIX facility")
    def test_a_pipe_as_input(self):
        # Opening it does not wait for a writer that never comes: with none,
        # the pipe is at its end before the signature.
        os.mkfifo(self.path("pipe.dds"))
        result = self.run_tool("pipe.dds", "out.tga")
        self.check(result, 3, "error", READ_SIGNATURE + ": Unexpected end of file")
        self.assertFalse(os.path.exists(self.path("out.tga")))
        # With a writer, a pipe converts as the file would: small, and larger
        # than the pipe's buffer.
        for width, height in [(8, 8), (512, 256)]:
            data, expected = picture(width, height)
            self.write("in.dds", data)
            with self.subTest("a FIFO with a writer", width=width):
                # A reader of our own lets the writer open before the program
                # starts, and drains what the program leaves.
                keep = os.open(self.path("pipe.dds"), os.O_RDONLY | os.O_NONBLOCK)
                opened = threading.Event()

                def feed():
                    with open(self.path("pipe.dds"), "wb") as f:
                        opened.set()
                        f.write(data)
                writer = threading.Thread(target=feed)
                writer.start()
                opened.wait()
                result = self.run_tool("pipe.dds", "out.tga")
                while writer.is_alive():
                    try:
                        os.read(keep, 1 << 16)
                    except BlockingIOError:
                        writer.join(0.01)
                os.close(keep)
                self.assertEqual((result.code, result.messages), (0, COMPLETE))
                self.assertEqual(self.read("out.tga"), expected)
            # No name is made from a pipe's ("/dev/stdin.tga"), and none is
            # asked for. Standard input through a private link, so that a
            # proposal could only land here, not in /dev.
            if not os.path.islink(self.path("stdin")):
                os.symlink("/proc/self/fd/0", self.path("stdin"))
            for command in ['cat in.dds | "$0" stdin', '"$0" <(cat in.dds)']:
                with self.subTest(command, width=width):
                    proc = subprocess.run(["bash", "-c", command, RUNNER_EXE], cwd=self.dir,
                                          capture_output=True, timeout=120)
                    messages, _ = parse_messages(proc.stdout, proc.stderr, ["stdin", "/dev/fd/63"])
                    self.assertEqual((proc.returncode, messages), (9, [("error", NO_NAME)]))
                    self.assertNotIn("stdin.tga", os.listdir(self.dir))
            with self.subTest("cat in.dds | dxtc2tga /dev/stdin out.tga", width=width):
                proc = subprocess.run(["sh", "-c", 'cat in.dds | "$0" /dev/stdin out.tga', RUNNER_EXE],
                                      cwd=self.dir, capture_output=True, timeout=120)
                self.assertEqual((proc.returncode, parse_messages(proc.stdout, proc.stderr)),
                                 (0, (COMPLETE, [])))
                self.assertEqual(self.read("out.tga"), expected)

    @unittest.skipUnless(RUNNER.native, "needs a POSIX address-space limit")
    def test_the_largest_image_without_the_memory_for_it(self):
        if sanitized():
            self.skipTest("AddressSanitizer cannot start under an address-space limit")
        # 65535 x 65535 pixels are 16 GiB, but they are converted a band at a
        # time: with 1 GiB of address space the file is found cut short.
        self.check_row(dds(65535, 65535), 5, READ_DATA + END, None, preexec_fn=limit_memory)

    @unittest.skipUnless(RUNNER.native, "standard input by name is a POSIX case")
    def test_input_read_in_order_from_a_pipe(self):
        # A pipe cannot be read from its end: its block data is read in order
        # into memory first, so every fault in it comes before the output.
        source, expected = banded(9, 129, b"DXT5")
        rows = [("three bands", source, 0, COMPLETE[0][1], expected, None),
                ("cut in the last block row", source[:-5], 5, READ_DATA + END, None, None),
                ("cut in the header", source[:100], 3, READ_HEADER + END, None, None)]
        if not sanitized():
            # 65535 x 65535 DXT5 holds 4 GiB of blocks, more than 1 GiB of address space.
            rows.append(("no memory for the blocks", dds(65535, 65535, b"DXT5"), 4, ALLOCATE, None,
                         limit_memory))
        for name, data, code, message, expected, preexec in rows:
            with self.subTest(name):
                proc = subprocess.run([RUNNER_EXE, "/dev/stdin", "out.tga"], cwd=self.dir,
                                      input=data, capture_output=True, timeout=120,
                                      preexec_fn=preexec)
                messages, stray = parse_messages(proc.stdout, proc.stderr, ["/dev/stdin"])
                kind = "information" if code == 0 else "error"
                self.assertEqual((proc.returncode, messages, stray), (code, [(kind, message)], []))
                if expected is None:
                    self.assertFalse(os.path.exists(self.path("out.tga")))
                else:
                    self.assertEqual(self.read("out.tga"), expected)
                    os.remove(self.path("out.tga"))


if __name__ == "__main__":
    unittest.main()
