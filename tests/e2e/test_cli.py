"""End-to-end tests: the real executable, its exit codes, messages and files."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from ddsfile import colour_part, dds, index_row, pixels, tga
from runner import runner_from_environment, unescape

RUNNER = runner_from_environment()
ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
COMPLETE = [("information", "Conversion to TGA complete.")]
NOT_FOUND = "No such file or directory"
END_OF_FILE = "Unexpected end of file"

# Hand-derived golden files. Colours as the decoder widens them:
R, B, G, K, W = 0xFFF80000, 0xFF0000F8, 0xFF00FC00, 0xFF000000, 0xFFF8FCF8
# Thirds of the way between red and blue, (2a + b + 1) / 3 per byte, and the
# three-colour half-way point (a + b) / 2.
RB1, RB2, HALF = 0xFFA50053, 0xFF5300A5, 0xFF7C007C


def probe_6x5():
    """A 6 x 5 DXT1 picture: each corner block its own colours, an odd pixel
    near each corner, and hidden pixels in the clipped parts of the edge blocks."""
    top_left = colour_part(0xF800, 0x001F, [index_row(1, 0, 0, 0), 0, 0, 0])
    top_right = colour_part(0x07E0, 0x0000, [index_row(0, 1, 0, 0), index_row(0, 0, 1, 1), 0, 0])
    bottom_left = colour_part(0xFFFF, 0xF800, [index_row(0, 0, 0, 1), 0x55, 0x55, 0x55])
    bottom_right = colour_part(0x001F, 0x0000, [index_row(1, 0, 0, 0), 0x55, 0x55, 0x55])
    picture = ["BRRRGK",
               "RRRRGG",
               "RRRRGG",
               "RRRRGG",
               "WWWRKB"]
    colours = {"R": R, "B": B, "G": G, "K": K, "W": W}
    rows = [pixels(*(colours[c] for c in line)) for line in reversed(picture)]
    return dds(6, 5, b"DXT1", top_left + top_right + bottom_left + bottom_right), tga(6, 5, rows)


def expand_565(c):
    """A 5:6:5 colour widened by plain shifts, as 0x00RRGGBB."""
    return (c >> 11) << 19 | ((c >> 5) & 0x3F) << 10 | (c & 0x1F) << 3


def banded(width, height, code):
    """An image whose blocks each hold one colour (and in DXT3 and DXT5 one
    alpha) of their own, so that a block row decoded in the wrong place, twice
    or not at all shows; sized around the 64-row bands the program converts
    at a time. Returns the DDS file and the TGA file it converts to."""
    across, down = (width + 3) // 4, (height + 3) // 4
    blocks, colours = b"", []
    for n in range(across * down):
        c0, alpha = (n * 2459 + 1) & 0xFFFF, (n * 37) & 0xFF
        part = colour_part(c0, 0, [0] * 4)  # index 0 everywhere: colour 0
        if code == b"DXT3":
            alpha &= 0xF0
            part = bytes([alpha >> 4 | alpha]) * 8 + part
        elif code == b"DXT5":
            part = bytes([alpha, 0, 0, 0, 0, 0, 0, 0]) + part
        else:
            alpha = 0xFF
        blocks += part
        colours.append(alpha << 24 | expand_565(c0))
    rows = [pixels(*(colours[(y // 4) * across + x // 4] for x in range(width)))
            for y in reversed(range(height))]
    return dds(width, height, code, blocks), tga(width, height, rows)


def golden_cases():
    # DXT1, four colours; each row a different index pattern.
    four = colour_part(0xF800, 0x001F, [0xE4, 0x00, 0x55, 0x1B])
    yield "dxt1_four_colours", dds(4, 4, b"DXT1", four), tga(4, 4, [
        pixels(RB2, RB1, B, R), pixels(B, B, B, B), pixels(R, R, R, R), pixels(R, B, RB1, RB2)])
    # DXT1, three colours and transparent black.
    three = colour_part(0x001F, 0xF800, [0xE4] * 4)
    yield "dxt1_three_colours", dds(4, 4, b"DXT1", three), tga(4, 4, [pixels(B, R, HALF, 0)] * 4)
    # DXT3: alphas 0, 16, ..., 240 in pixel order, on colour 0xFFFF.
    alpha = bytes([0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE])
    dxt3 = alpha + colour_part(0xFFFF, 0x0000, [0] * 4)
    rows = [pixels(*((16 * k) << 24 | 0xF8FCF8 for k in range(4 * r, 4 * r + 4))) for r in range(4)]
    yield "dxt3_alpha_ramp", dds(4, 4, b"DXT3", dxt3), tga(4, 4, rows[::-1])
    # DXT5: alpha 255 to 0 in eight steps, indices 0..7 on rows 0-1 and again on rows 2-3.
    dxt5 = bytes([255, 0, 0x88, 0xC6, 0xFA, 0x88, 0xC6, 0xFA]) + colour_part(0x07E0, 0, [0] * 4)
    a = [255, 0, 219, 182, 146, 109, 73, 36]
    green = [v << 24 | 0x00FC00 for v in a]
    yield "dxt5_alpha_steps", dds(4, 4, b"DXT5", dxt5), tga(4, 4, [
        pixels(*green[4:]), pixels(*green[:4]), pixels(*green[4:]), pixels(*green[:4])])
    # DXT5 with alpha 0 <= alpha 1: four steps of fifths, then 0 and 255.
    dxt5 = bytes([32, 224, 0x88, 0xC6, 0xFA, 0x88, 0xC6, 0xFA]) + colour_part(0x07E0, 0, [0] * 4)
    a = [32, 224, 70, 109, 147, 186, 0, 255]  # (4 * 32 + 224 + 2) / 5 = 70, ...
    green = [v << 24 | 0x00FC00 for v in a]
    yield "dxt5_six_alpha_steps", dds(4, 4, b"DXT5", dxt5), tga(4, 4, [
        pixels(*green[4:]), pixels(*green[:4]), pixels(*green[4:]), pixels(*green[:4])])
    yield "probe_6x5", *probe_6x5()
    # Bands of 64 rows: one short band, exactly one, one and a row, two and a row;
    # then rows of eight blocks and more, which a processor with AVX2 decodes
    # eight at a time (one eight and a clipped block; two eights and a block).
    for code, width, height in [(b"DXT1", 12, 61), (b"DXT5", 12, 64), (b"DXT3", 10, 65),
                                (b"DXT1", 9, 129), (b"DXT5", 5, 128), (b"DXT5", 35, 13),
                                (b"DXT3", 68, 70), (b"DXT1", 32, 4)]:
        yield f"bands_{code.decode()}_{width}x{height}", *banded(width, height, code)


class Converter(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="dxtc2tga-e2e-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def run_tool(self, *args, **options):
        result = RUNNER.run(list(args), cwd=self.dir, **options)
        self.assertEqual(result.stray, [], "output that is not a message")
        return result

    def check(self, result, code, kind, text):
        self.assertEqual((result.code, result.messages), (code, [(kind, text)]))

    def check_failure(self, result, code, sentence):
        """One error message: the fixed sentence, then ': ' and the system text."""
        self.assertEqual(result.code, code, result.messages)
        self.assertEqual(len(result.messages), 1, result.messages)
        kind, text = result.messages[0]
        self.assertEqual(kind, "error")
        self.assertTrue(text.startswith(sentence + ": "), text)


class Conversion(Converter):
    def test_golden_files(self):
        for name, source, expected in golden_cases():
            with self.subTest(name):
                self.write(name + ".dds", source)
                result = self.run_tool(name + ".dds", name + "-out.tga")
                self.assertEqual((result.code, result.messages), (0, COMPLETE))
                self.assertEqual(self.read(name + "-out.tga"), expected)

    def test_mipmaps_cube_faces_and_trailing_bytes_are_ignored(self):
        source, expected = probe_6x5()
        self.write("mipmapped.dds", dds(6, 5, b"DXT1", source[128:] + bytes(8) * 3, mipmaps=3,
                                        caps=0x401008, caps2=0xFE00))
        result = self.run_tool("mipmapped.dds", "out")
        self.assertEqual((result.code, result.messages), (0, COMPLETE))
        self.assertEqual(self.read("out"), expected)  # the name is used exactly as typed

    @unittest.skipUnless(RUNNER.native and os.path.exists("/usr/bin/time"), "needs GNU time")
    def test_memory_does_not_grow_with_the_image(self):
        # 16384 x 16384 DXT1 of zero blocks, a sparse file: 1 GiB of pixels,
        # converted a band at a time in a few MiB.
        with open(self.path("big.dds"), "wb") as f:
            f.write(dds(16384, 16384))
            f.truncate(128 + 16384 * 16384 // 2)
        # Written in place through a private link to standard output, which
        # goes nowhere: no system path is named.
        os.symlink("/proc/self/fd/1", self.path("out.tga"))
        report = self.path("peak.txt")
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report, RUNNER.exe, "big.dds",
                               "out.tga"], cwd=self.dir, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        with open(report) as f:
            peak_kib = int(f.read().split()[-1])
        self.assertLess(peak_kib, 128 * 1024)  # generous: sanitizers, and the program itself

    def test_existing_output_is_replaced(self):
        source, expected = probe_6x5()
        self.write("in.dds", source)
        self.write("out.tga", b"x" * 5000)
        self.assertEqual(self.run_tool("in.dds", "out.tga").code, 0)
        self.assertEqual(self.read("out.tga"), expected)

    def test_a_dash_begins_a_file_name(self):
        source, expected = probe_6x5()
        self.write("-in.dds", source)
        self.assertEqual(self.run_tool("-in.dds", "-out.tga").messages, COMPLETE)
        self.assertEqual(self.read("-out.tga"), expected)


class CommandLine(Converter):
    def test_usage(self):
        usage = "Usage: {} inputfile.dds outputfile.tga".format(RUNNER.program_name)
        self.check(self.run_tool(), 1, "error", usage)
        # A third name is refused before the input is opened.
        self.check(self.run_tool("missing.dds", "b.tga", "c.tga"), 1, "error", usage)

    def test_usage_names_the_program_as_invoked(self):
        usage = "Usage: {} inputfile.dds outputfile.tga"
        self.check(self.run_tool(argv0="prog"), 1, "error", usage.format("prog"))
        # Messages are cut to 1023 characters, one of 1024 too; on a terminal
        # that counts from the end of the caption, "error: " included.
        room = 1023 - (len("error: ") if RUNNER.native else 0)
        result = self.run_tool(argv0="p" * 2000)
        self.check(result, 1, "error", "Usage: " + "p" * (room - len("Usage: ")))
        result = self.run_tool(argv0="p" * (room - 35))
        self.check(result, 1, "error", usage.format("p" * (room - 35))[:-1])

    def test_input_cannot_be_opened(self):
        for name in ["", "missing.dds", "-h", "/x"]:
            with self.subTest(name=name):
                result = self.run_tool(name, "out.tga")
                self.check(result, 2, "error", "Error opening input file: " + NOT_FOUND)
                self.assertFalse(os.path.exists(self.path("out.tga")))

    def test_output_cannot_be_opened(self):
        source = probe_6x5()[0]
        self.write("in.dds", source)
        result = self.run_tool("in.dds", os.path.join("no-such-folder", "out.tga"))
        self.check(result, 6, "error", "Error opening output file: " + NOT_FOUND)
        # The input is never written over, whatever the name.
        for name in ["in.dds", "IN.DDS" if not RUNNER.native else "./in.dds"]:
            with self.subTest(name):
                self.check(self.run_tool("in.dds", name), 6, "error",
                           "Error opening output file: Output file is the input file")
                self.assertEqual(self.read("in.dds"), source)


    @unittest.skipUnless(RUNNER.names_files, "the message box shows the text alone")
    def test_an_error_names_its_file_first(self):
        self.write("in.dds", probe_6x5()[0])
        self.write("junk.dds", b"junk")
        cases = [  # arguments, exit code, the file the message names
            ([], 1, None),  # the usage is about no file
            (["missing.dds", "out.tga"], 2, "missing.dds"),
            (["junk.dds", "out.tga"], 3, "junk.dds"),
            (["in.dds", os.path.join("no-such-folder", "out.tga")], 6,
             os.path.join("no-such-folder", "out.tga")),
            (["in.dds", "in.dds"], 6, "in.dds"),
            (["e\x1b[2J\x9b.dds", "out.tga"], 2, "e\x1b[2J\x9b.dds"),  # shown escaped
            (["r\u202eabc.dds", "out.tga"], 2, "r\u202eabc.dds"),  # so are the bidi controls
            (["i\u2066\u2069.dds", "out.tga"], 2, "i\u2066\u2069.dds"),
            (["", "out.tga"], 2, ""),  # shown as ''
            (["in.dds", ""], 6, ""),
        ]
        for args, code, file in cases:
            with self.subTest(args):
                result = self.run_tool(*args)
                self.assertEqual((result.code, result.files), (code, [file]))

    @unittest.skipUnless(RUNNER.names_files, "the message box shows the text alone")
    def test_the_whole_line_after_the_caption_is_cut_to_1023_characters(self):
        # At a whole character or escape; the longest name a path may have too.
        for name, line in [("m" * 1100, "error: " + "m" * 1016),
                           ("m" * 4096, "error: " + "m" * 1016),
                           ("\u00e9" + "\x1b" * 400, "error: \u00e9" + "\\x1B" * 253)]:
            with self.subTest(len(name)):
                result = RUNNER.run([name, "out.tga"], cwd=self.dir)
                self.assertEqual((result.code, result.stdout), (2, b""))
                # One line, ended as the system ends lines.
                self.assertEqual(result.stderr.decode(), "DXTC Conversion: " + line +
                                 ("\n" if RUNNER.native else "\r\n"))

    @unittest.skipUnless(RUNNER.native and shutil.which("strace"), "needs strace")
    def test_a_message_is_one_line_in_one_write(self):
        # Runs that share a terminal or a log never mix their messages.
        self.write("junk.dds", b"junk")
        trace = self.path("trace")
        proc = subprocess.run(["strace", "-f", "-e", "trace=write", "-e", "signal=none", "-o", trace,
                               RUNNER.exe, "junk.dds", "out.tga"], cwd=self.dir,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60,
                              # LeakSanitizer cannot run under a tracer.
                              env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
        line = b"DXTC Conversion: error: junk.dds: Input file does not appear to be a DDS file\n"
        self.assertEqual((proc.returncode, proc.stderr), (3, line))
        with open(trace) as f:
            writes = [entry for entry in f if " write(2, " in entry]
        self.assertEqual(len(writes), 1, writes)
        self.assertTrue(writes[0].rstrip().endswith(f"= {len(line)}"), writes)


    def test_help_and_version_when_no_file_has_that_name(self):
        with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
            version = re.search(r"project\(dxtc2tga VERSION (\d+\.\d+\.\d+)", f.read()).group(1)
        usage = f"Usage: {RUNNER.program_name} inputfile.dds [outputfile.tga | folder]"
        manual = ("More: man dxtc2tga" if RUNNER.native
                  else "More: README.txt beside " + os.path.basename(RUNNER.exe))
        for argument, first, last in [("--help", usage, manual), ("-h", usage, manual),
                                      ("--version", "dxtc2tga " + version, None)]:
            with self.subTest(argument):
                if RUNNER.names_files:  # on standard output, with no caption, for $(dxtc2tga --version)
                    result = RUNNER.run([argument], cwd=self.dir)
                    self.assertEqual((result.code, result.stderr), (0, b""))
                    lines = result.stdout.decode().splitlines()
                else:  # the information box
                    result = self.run_tool(argument)
                    self.assertEqual((result.code, len(result.messages)), (0, 1), result.messages)
                    kind, text = result.messages[0]
                    if kind == "unreadable":  # Wine's trace cuts a long text: its start, then
                        box = re.search(r'MessageBoxA\(00000000,[0-9a-f]+ "(.*)"\.\.\.,[0-9a-f]+ '
                                        r'"DXTC Conversion",00000040\)', text)
                        self.assertIsNotNone(box, text)
                        kind, text, last = "information", unescape(box.group(1)), None
                    self.assertEqual(kind, "information")
                    lines = text.splitlines()
                self.assertEqual(lines[0], first)
                if last is not None:  # usage, what, the name rule, the exit codes, the manual
                    self.assertGreaterEqual(len(lines), 5, lines)
                    self.assertEqual(lines[-1], last)
                    self.assertIn("Exit status: 0", "\n".join(lines))
                self.assertEqual(os.listdir(self.dir), [])
        # Not an option beside another name, nor as the output.
        self.check(self.run_tool("--version", "out.tga"), 2, "error",
                   "Error opening input file: " + NOT_FOUND)
        self.check(self.run_tool("missing.dds", "--help"), 2, "error",
                   "Error opening input file: " + NOT_FOUND)

    @unittest.skipUnless(RUNNER.unattended, "the desktop exe asks for the output name")
    def test_a_file_named_like_an_option_is_converted(self):
        source, expected = probe_6x5()
        for name in ["--help", "-h", "--version"]:
            with self.subTest(name):
                self.write(name, source)
                self.assertEqual(self.run_tool(name).messages, COMPLETE)
                self.assertEqual(self.read(name + ".tga"), expected)

    def test_a_folder_as_output_gets_the_proposal(self):
        source, expected = probe_6x5()
        for folder in ["out", "sub", os.path.join("out", "in.tga")]:
            os.mkdir(self.path(folder))
        self.write("in.dds", source)
        self.write(os.path.join("sub", "a.DDS"), source)
        self.write(os.path.join("out", "a.tga"), b"old")  # replaced, as cp would
        for args, written in [(["in.dds", "sub"], os.path.join("sub", "in.tga")),
                              (["in.dds", "sub" + os.sep], os.path.join("sub", "in.tga")),
                              ([os.path.join("sub", "a.DDS"), "out"], os.path.join("out", "a.tga")),
                              ([os.path.join("sub", "a.DDS"), "."], "a.tga")]:
            with self.subTest(args):
                self.assertEqual(self.run_tool(*args).messages, COMPLETE)
                self.assertEqual(self.read(written), expected)
                os.remove(self.path(written))
        # The proposal's name taken by a folder there: that one is not entered.
        result = self.run_tool("in.dds", "out")
        self.assertEqual(result.code, 6, result.messages)
        self.assertTrue(result.messages[0][1].startswith("Error opening output file: "), result.messages)
        self.assertEqual(os.listdir(self.path(os.path.join("out", "in.tga"))), [])
        if RUNNER.names_files:
            self.assertEqual(result.files, ["out" + RUNNER.separator + "in.tga"])


class BadInput(Converter):
    WRONG_SIZE = "DDS file header is wrong size?  Unable to continue."
    NOT_DXTC = "Input file does not appear to contain a DXTC texture."
    DIMENSIONS = "Image dimensions are not supported (width and height must be 1 to 65535)."

    def test_rejected_headers_leave_no_output(self):
        good = dds(8, 8, b"DXT1", bytes(32))
        cases = [
            ("lower-case signature", b"dds " + good[4:], "Input file does not appear to be a DDS file"),
            ("size 128", dds(8, 8, size=128), self.WRONG_SIZE),
            ("pitch flag", dds(8, 8, flags=0x100F), self.NOT_DXTC),
            ("DXT2", dds(8, 8, b"DXT2"), "DXT2 compression type is not supported."),
            ("zero code", dds(8, 8, b"\0\0\0\0"), " compression type is not supported."),
            ("width 0", dds(0, 8), self.DIMENSIONS),
            ("height 65536", dds(8, 65536), self.DIMENSIONS),
            ("width 2^31", dds(2 ** 31, 8), self.DIMENSIONS),
        ]
        for name, data, message in cases:
            with self.subTest(name):
                self.write("in.dds", data)
                self.check(self.run_tool("in.dds", "out.tga"), 3, "error", message)
                self.assertFalse(os.path.exists(self.path("out.tga")))
        for name, data, sentence in [("empty", b"", "Error reading DDS signature from input file"),
                                     ("signature only", b"DDS ", "Error reading DDS header from input file")]:
            with self.subTest(name):
                self.write("in.dds", data)
                result = self.run_tool("in.dds", "out.tga")
                self.check(result, 3, "error", sentence + ": " + END_OF_FILE)
                self.assertFalse(os.path.exists(self.path("out.tga")))

    def test_truncated_data_leaves_no_output(self):
        cases = []
        for code, size in [(b"DXT1", 8), (b"DXT3", 16), (b"DXT5", 16)]:
            for length in [0, size // 2, size, 3 * size + 1]:
                cases.append((f"{code} {length} bytes", dds(8, 8, code, bytes(length)), "out.tga"))
        # Three bands: the bottom one, read first, is the last block row.
        source = banded(8, 129, b"DXT5")[0]
        for cut in [1, 8, 16, 17]:
            cases.append((f"cut {cut} bytes into the last block row",
                          source[:len(source) - 32 + cut], "out.tga"))
        cases.append(("cut in the first block row", source[:128 + 20], "out.tga"))
        # The input's size is checked before the output is opened, which would fail.
        cases.append(("output folder missing", source[:-1], os.path.join("missing", "out.tga")))
        for name, data, output in cases:
            with self.subTest(name):
                self.write("in.dds", data)
                result = self.run_tool("in.dds", output)
                self.check(result, 5, "error",
                           "Error reading image data from input file: " + END_OF_FILE)
                self.assertEqual(sorted(os.listdir(self.dir)), ["in.dds"])


# The desktop exe shows the save dialog whether or not anybody is there to
# answer it; tests/windows/test_windows.py drives that dialog.
unattended_only = unittest.skipUnless(RUNNER.unattended, "the desktop exe always shows the dialog")


class OutputName(Converter):
    """Started with only an input name, with nobody at a terminal to ask."""
    TAKEN = "a.tga exists; give the output name on the command line to replace it"

    @unattended_only
    def test_the_proposal_is_used_when_no_file_has_its_name(self):
        source, expected = probe_6x5()
        cases = [("a.dds", "a.tga"), ("b.DDS", "b.tga"), ("c.png", "c.png.tga"), ("d", "d.tga"),
                 ("e.dds.bak", "e.dds.bak.tga")]
        if RUNNER.native:  # Windows opens no input whose full path passes MAX_PATH
            # A long path is kept whole: no cut lands the file in another folder.
            deep = os.path.join("f" * 200, "g" * 100)
            os.mkdir(self.path("f" * 200))
            cases.append((deep + ".dds", deep + ".tga"))
        for name, proposal in cases:
            with self.subTest(name):
                self.write(name, source)
                self.assertEqual(self.run_tool(name).messages, COMPLETE)
                self.assertEqual(self.read(proposal), expected)

    @unattended_only
    def test_an_existing_file_is_never_overwritten_unasked(self):
        self.write("a.dds", probe_6x5()[0])
        self.write("a.tga", b"keep")
        self.check(self.run_tool("a.dds"), 9, "error", self.TAKEN)
        self.assertEqual(self.read("a.tga"), b"keep")
        if not RUNNER.native:  # Wine shows a Windows program a dangling link as no file
            return
        # A dangling link is a name taken too: its target is not created.
        os.remove(self.path("a.tga"))
        os.symlink("target.tga", self.path("a.tga"))
        self.check(self.run_tool("a.dds"), 9, "error", self.TAKEN)
        self.assertEqual(sorted(os.listdir(self.dir)), ["a.dds", "a.tga"])

    def test_a_missing_input_is_reported_before_the_name_is_chosen(self):
        self.check(self.run_tool("a.dds"), 2, "error", "Error opening input file: " + NOT_FOUND)
        self.assertEqual(os.listdir(self.dir), [])

    @unattended_only
    def test_an_early_end_of_file_gives_the_same_reason_either_way(self):
        # Looking for an existing file must not leave its reason in the message.
        for data, code in [(b"", 3), (dds(8, 8, b"DXT1", bytes(12)), 5)]:
            with self.subTest(code=code):
                self.write("a.dds", data)
                named = self.run_tool("a.dds", "b.tga")
                proposed = self.run_tool("a.dds")
                self.assertEqual((proposed.code, proposed.messages), (named.code, named.messages))
                self.assertEqual(named.code, code)
                self.assertNotIn(NOT_FOUND, named.messages[0][1])

    @unattended_only
    def test_a_bad_header_is_reported_after_the_name_is_chosen(self):
        self.write("a.dds", b"not a dds file")
        self.write("a.tga", b"keep")
        # The name question comes first, so it is the one that fails here.
        self.check(self.run_tool("a.dds"), 9, "error", self.TAKEN)
        os.remove(self.path("a.tga"))
        self.check(self.run_tool("a.dds"), 3, "error", "Input file does not appear to be a DDS file")
        self.assertFalse(os.path.exists(self.path("a.tga")))


if __name__ == "__main__":
    unittest.main()
