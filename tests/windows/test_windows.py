"""Tests of the Windows build alone, run under Wine by run-under-wine: the
save dialog, wildcard arguments, the exe's make-up, its output against
the Linux build's, and what only the console companion does."""
import os
import re
import signal
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

from ddsfile import dds
from pe_resources import RT_MANIFEST, RT_VERSION, SUBSYSTEM_WINDOWS_CUI, SUBSYSTEM_WINDOWS_GUI, \
    PortableExecutable, icons, manifest, version_record
from runner import RUNNER_EXE, NativeRunner, WineConsoleRunner, WineRunner, press, \
    runner_from_environment, type_text, wait_window
from test_cli import COMPLETE, Converter, probe_6x5

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
RUNNER = runner_from_environment()
LINUX_EXE = os.environ.get("DXTC2TGA_LINUX", os.path.join(ROOT, "build", "ci", "dxtc2tga"))
SCREENSHOTS = os.environ.get("DXTC2TGA_SCREENSHOTS",
                             os.path.join(ROOT, "build", "windows", "screenshots"))
OBJDUMP = "x86_64-w64-mingw32-objdump"
VERSION = "1.0.0.0"
ZIP = os.environ.get("DXTC2TGA_ZIP")
CONSOLE_EXE = os.environ.get("DXTC2TGA_CONSOLE",
                             os.path.join(os.path.dirname(RUNNER_EXE), "dxtc2tga.com"))

# Names in the scripts the system's legacy code page lacks, one beyond the
# Basic Multilingual Plane: the manifest's UTF-8 code page carries them all.
SCRIPT_NAMES = ["テクスチャ", "текстура", "υφή", "\U0001f5bc\ufe0f"]

under_wine = unittest.skipUnless(isinstance(RUNNER, WineRunner),
                                 "needs the Windows exe under Wine (tests/windows/run-under-wine)")


def screenshot(name):
    """The whole virtual screen as docs/ shows it, saved under SCREENSHOTS."""
    os.makedirs(SCREENSHOTS, exist_ok=True)
    path = os.path.join(SCREENSHOTS, name)
    subprocess.run(["import", "-window", "root", path], check=True, timeout=30)
    return path


def colour_count(path):
    return int(subprocess.run(["identify", "-format", "%k", path], check=True,
                              capture_output=True, text=True).stdout)


class Executable(unittest.TestCase):
    """The exe itself: a window program that needs no DLL of its own, with
    the icon and the version record built in."""

    @classmethod
    def setUpClass(cls):
        with open(RUNNER_EXE, "rb") as f:
            cls.exe = PortableExecutable(f.read())

    def test_a_64_bit_window_program(self):
        self.assertTrue(self.exe.is_64_bit)
        self.assertEqual(self.exe.subsystem, SUBSYSTEM_WINDOWS_GUI)

    @unittest.skipUnless(shutil.which(OBJDUMP), OBJDUMP + " is not installed")
    def test_only_system_libraries_are_imported(self):
        dump = subprocess.run([OBJDUMP, "-p", RUNNER_EXE], check=True, capture_output=True,
                              text=True).stdout
        self.assertIn("(Windows GUI)", dump)
        dlls = {line.split(":", 1)[1].strip().lower() for line in dump.splitlines()
                if "DLL Name:" in line}
        # The C++ runtime (libstdc++, libgcc, winpthread) is linked in.
        self.assertEqual(dlls, {"kernel32.dll", "msvcrt.dll", "user32.dll", "comdlg32.dll",
                                "advapi32.dll"})

    def test_version_record(self):
        resources = self.exe.resources()
        file_version, product_version, strings = version_record(resources[(16, 1)])
        self.assertEqual((file_version, product_version), (VERSION, VERSION))
        self.assertEqual(strings["FileVersion"], VERSION)
        self.assertEqual(strings["ProductVersion"], VERSION)
        self.assertEqual(strings["FileDescription"], "DDS to TGA Converter")
        self.assertEqual(strings["OriginalFilename"], "dxtc2tga.exe")
        self.assertEqual(strings["LegalCopyright"], "Copyright (c) 2026 the dxtc2tga authors")
        # The authors go by one name, the licence's.
        self.assertEqual(strings["CompanyName"], "the dxtc2tga authors")
        with open(os.path.join(ROOT, "LICENSE")) as f:
            self.assertIn(strings["LegalCopyright"], f.read())
        with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
            self.assertIn(f"project(dxtc2tga VERSION {VERSION} ", f.read())

    def test_manifest(self):
        resources = self.exe.resources()
        self.assertEqual([key for key in resources if key[0] == RT_MANIFEST], [(RT_MANIFEST, 1)])
        self.assertEqual(manifest(resources), {
            # Visual styles for the message box and the save dialog.
            "dependencies": [("Microsoft.Windows.Common-Controls", "6.0.0.0", "6595b64144ccf1df")],
            "execution level": ["asInvoker"],
            "supported OS": {"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",   # Windows 10 and 11
                             "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",   # 8.1
                             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",   # 8
                             "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"},  # 7
            "dpiAware": "true/pm",  # per monitor on 8.1, system-wide before
            "dpiAwareness": "PerMonitorV2, PerMonitor",
            "activeCodePage": "UTF-8",  # the ANSI calls in UTF-8 from Windows 10 1903
        })

    def test_icon_is_the_drawn_picture_at_five_sizes(self):
        with tempfile.TemporaryDirectory() as folder:
            drawn_path = os.path.join(folder, "drawn.ico")
            subprocess.run([sys.executable, os.path.join(ROOT, "tools", "make-icon"), drawn_path],
                           check=True)
            with open(drawn_path, "rb") as f:
                drawn = f.read()
        count = struct.unpack_from("<H", drawn, 4)[0]
        entries = [struct.unpack_from("<8xII", drawn, 6 + 16 * i) for i in range(count)]
        images = icons(self.exe.resources())
        # 32-bit images with alpha for the small views, a PNG for large ones and high DPI.
        self.assertEqual([(w, h, bits) for w, h, bits, _ in images],
                         [(16, 16, 32), (24, 24, 32), (32, 32, 32), (48, 48, 32), (256, 256, 32)])
        self.assertEqual([image for *_, image in images],
                         [drawn[offset:offset + size] for size, offset in entries])
        for side, _, _, image in images:
            with self.subTest(side):
                if side == 256:
                    self.assertEqual(image[:8], b"\x89PNG\r\n\x1a\n")
                    # IHDR: the size, 8 bits a channel, colour type 6 (RGBA).
                    self.assertEqual(struct.unpack_from(">4sIIBB", image, 12), (b"IHDR", 256, 256, 8, 6))
                    continue
                width, height, planes, bits = struct.unpack_from("<4xiiHH", image)
                # The height counts the colour bitmap and the transparency mask.
                self.assertEqual((width, height, planes, bits), (side, 2 * side, 1, 32))
                alphas = set(image[40 + 3:40 + 4 * side * side:4])
                # (Nearly) clear corners, an opaque tile and smoothed edges between.
                self.assertEqual((max(alphas), min(alphas) < 64), (255, True), sorted(alphas))
                self.assertTrue(any(0 < alpha < 255 for alpha in alphas), sorted(alphas))


@unittest.skipUnless(ZIP, "needs the zip made by run-under-wine (DXTC2TGA_ZIP)")
class Package(unittest.TestCase):
    def test_the_zip_holds_the_tested_exes_the_readme_and_the_license(self):
        folder = "dxtc2tga-1.0.0-win64/"
        with zipfile.ZipFile(ZIP) as package:
            files = sorted(name for name in package.namelist() if not name.endswith("/"))
            self.assertEqual(files, [folder + "LICENSE.txt", folder + "README.txt",
                                     folder + "dxtc2tga.com", folder + "dxtc2tga.exe"])
            texts = {name: package.read(folder + name) for name in ["LICENSE.txt", "README.txt"]}
            sizes = []
            for exe, subsystem in [(RUNNER_EXE, SUBSYSTEM_WINDOWS_GUI),
                                   (CONSOLE_EXE, SUBSYSTEM_WINDOWS_CUI)]:
                with self.subTest(exe):
                    packed = package.read(folder + os.path.basename(exe))
                    with open(exe, "rb") as f:
                        self.assertTrue(packed == f.read(), "the zip's exe is not the one tested")
                    self.assertEqual(PortableExecutable(packed).subsystem, subsystem)
                    # Stripped: no symbols, no debugging sections (whose long
                    # names would stand in the symbol table's strings).
                    self.assertEqual(PortableExecutable(packed).symbol_table, (0, 0))
                    self.assertNotIn(b".debug_", packed)
                    self.assertLess(len(packed), 120_000)
                    sizes.append(len(packed))
        # The sizes docs/guarantees.md gives are these.
        with open(os.path.join(ROOT, "docs", "guarantees.md")) as f:
            stated = re.search(r"([\d,]+)-byte exe, ([\d,]+)-byte console companion", f.read())
        self.assertEqual([int(n.replace(",", "")) for n in stated.groups()], sizes,
                         "docs/guarantees.md")
        for name, text in texts.items():
            with self.subTest(name):
                # Windows line ends, every one of them.
                self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), name)
                self.assertTrue(text.endswith(b"\r\n"))
        readme = texts["README.txt"].decode("ascii")
        # Written for a Windows user: dropping a file, Send to, exit codes from a console.
        for words in ["Drop a .dds file on dxtc2tga.exe", "shell:sendto", "start /wait",
                      "Save As", "9  the end of the file",
                      # Which of the two to use for what.
                      "dxtc2tga.com", "for %f in (*.dds) do dxtc2tga"]:
            self.assertIn(words, readme)
        self.assertIn("Permission is hereby granted", texts["LICENSE.txt"].decode("ascii"))


@under_wine
class SaveDialog(Converter):
    """Started with only an input name: the dialog proposes the output name."""
    DIALOG = "^Save As$"
    QUESTION = "^Error$"  # Wine's caption for the dialog's overwrite question

    def start(self, *args):
        return RUNNER.start(list(args), self.dir)

    def tree(self):
        """Every file under the test's folder, by its path from there."""
        return sorted(os.path.relpath(os.path.join(folder, name), self.dir)
                      for folder, _, names in os.walk(self.dir) for name in names)

    def test_confirming_the_proposal_converts(self):
        source, expected = probe_6x5()
        shots = []
        cases = [("texture.dds", "texture.tga"), ("b.DDS", "b.tga"), ("c.png", "c.png.tga"),
                 ("d", "d.tga"), ("e.dds.bak", "e.dds.bak.tga")]
        cases += [(name + suffix, name + ".tga")
                  for name, suffix in zip(SCRIPT_NAMES, [".dds", ".DDS", ".Dds", ""])]
        # The screenshot for docs/ shows a name in Cyrillic, which the display's fonts have.
        cases.insert(0, cases.pop(cases.index(("текстура.DDS", "текстура.tga"))))
        for name, proposal in cases:
            with self.subTest(name):
                self.write(name, source)
                proc, trace = self.start(name)
                dialog = wait_window(self.DIALOG, proc)
                if not shots:
                    shots.append(screenshot("save-dialog.png"))
                press(dialog, "Return")  # Save, with the name the dialog shows
                result = RUNNER.finish(proc, trace, on_message=lambda window: shots.append(
                    screenshot("message-box.png")) if len(shots) == 1 else None)
                self.assertEqual((result.code, result.messages), (0, COMPLETE))
                self.assertEqual(self.read(proposal), expected)
        # Something is drawn on the black screen: a dialog, then a message box.
        self.assertEqual(len(shots), 2)
        for shot in shots:
            self.assertGreater(colour_count(shot), 16, shot)

    def test_the_dialog_opens_beside_the_input(self):
        # The dialog opens where the last one saved unless it is given a full
        # path; bare names from two folders in turn show that. The Wine prefix
        # is the tests' own (run-under-wine), and the first conversion here
        # makes t1 the folder last used.
        source, expected = probe_6x5()
        for folder, name, args in [("t1", "a.dds", ["a.dds"]), ("t2", "src.dds", ["src.dds"]),
                                   ("t3", "c.dds", ["*.dds"])]:
            with self.subTest(folder):
                os.mkdir(self.path(folder))
                self.write(os.path.join(folder, name), source)
                proc, trace = RUNNER.start(args, self.path(folder))
                press(wait_window(self.DIALOG, proc), "Return")
                self.assertEqual(RUNNER.finish(proc, trace).messages, COMPLETE)
        self.assertEqual(self.tree(), ["t1/a.dds", "t1/a.tga", "t2/src.dds", "t2/src.tga",
                                       "t3/c.dds", "t3/c.tga"])
        self.assertEqual(self.read("t3/c.tga"), expected)

    def test_a_deep_input_is_not_proposed_cut(self):
        # A full path of 259 characters, the most that Windows opens: cut to
        # 254 it would have named the output "textur.tga"; the dialog hands
        # back a path as long, which the name buffer must hold.
        source, expected = probe_6x5()
        wine_dir = "Z:" + self.dir.replace("/", "\\")
        deep = "L" * (259 - len(wine_dir) - len("\\") - len("\\texture.dds"))
        os.mkdir(self.path(deep))
        self.write(os.path.join(deep, "texture.dds"), source)
        path = "\\".join([wine_dir, deep, "texture.dds"])
        self.assertEqual(len(path), 259)
        proc, trace = self.start(path)
        press(wait_window(self.DIALOG, proc), "Return")
        self.assertEqual(RUNNER.finish(proc, trace).messages, COMPLETE)
        self.assertEqual(self.tree(), [deep + "/texture.dds", deep + "/texture.tga"])
        self.assertEqual(self.read(os.path.join(deep, "texture.tga")), expected)

    def test_an_input_deeper_than_the_dialog_takes_is_refused(self):
        # Wine opens a path past 259 characters, but its ANSI calls take
        # none such: the proposal, the input name cut inside its folders,
        # would name a file in the parent folder (MMM.tga), a name nobody
        # saw or typed.
        source, _ = probe_6x5()
        deep = os.path.join("L" * 120, "M" * 150)
        os.makedirs(self.path(deep))
        self.write(os.path.join(deep, "texture.dds"), source)
        result = RUNNER.run([wine_path(self.path(os.path.join(deep, "texture.dds")))], self.dir)
        self.check(result, 9, "error", "The texture's path is too long to propose an output "
                   "name; give one as a second argument")
        self.assertEqual(self.tree(), [deep + "/texture.dds"])

    def test_a_typed_name_gets_the_default_extension(self):
        source, expected = probe_6x5()
        self.write("a.dds", source)
        for typed, written in [("typed", "typed.tga"), ("other.raw", "other.raw")]:
            with self.subTest(typed):
                proc, trace = self.start("a.dds")
                dialog = wait_window(self.DIALOG, proc)
                press(dialog, "ctrl+a")
                type_text(dialog, typed)
                press(dialog, "Return")
                self.assertEqual(RUNNER.finish(proc, trace).messages, COMPLETE)
                self.assertEqual(self.read(written), expected)

    def test_escape_cancels_quietly(self):
        self.write("a.dds", probe_6x5()[0])
        proc, trace = self.start("a.dds")
        press(wait_window(self.DIALOG, proc), "Escape")
        result = RUNNER.finish(proc, trace)
        self.assertEqual((result.code, result.messages), (0, []))
        self.assertEqual(os.listdir(self.dir), ["a.dds"])
        # Cancelled, not failed: the dialog's error code is 0. A request
        # whose size field the dialog does not know fails with 0x1 instead.
        self.assertIn("Ret  comdlg32.CommDlgExtendedError() retval=00000000", RUNNER.last_trace)

    def test_an_existing_file_brings_the_overwrite_question(self):
        source, expected = probe_6x5()
        self.write("a.dds", source)
        self.write("a.tga", b"keep")
        # No: back in the dialog, which is then cancelled; the file stays.
        proc, trace = self.start("a.dds")
        press(wait_window(self.DIALOG, proc), "Return")
        press(wait_window(self.QUESTION, proc), "n")
        press(wait_window(self.DIALOG, proc), "Escape")
        result = RUNNER.finish(proc, trace)
        self.assertEqual((result.code, result.messages), (0, []))
        self.assertEqual(self.read("a.tga"), b"keep")
        self.assertIn('L"File already exists.\\nDo you want to replace it?"', RUNNER.last_trace)
        # Yes: the file is replaced.
        proc, trace = self.start("a.dds")
        press(wait_window(self.DIALOG, proc), "Return")
        press(wait_window(self.QUESTION, proc), "y")
        self.assertEqual(RUNNER.finish(proc, trace).messages, COMPLETE)
        self.assertEqual(self.read("a.tga"), expected)

    def test_a_bad_header_is_reported_after_the_dialog(self):
        self.write("a.dds", b"not a dds file")
        proc, trace = self.start("a.dds")
        press(wait_window(self.DIALOG, proc), "Return")
        result = RUNNER.finish(proc, trace)
        self.check(result, 3, "error", "Input file does not appear to be a DDS file")
        self.assertEqual(os.listdir(self.dir), ["a.dds"])


@under_wine
class Arguments(Converter):
    """What the runtime hands the program: patterns expanded, matches in name
    order, and names in any script."""

    def test_patterns_count_as_the_names_they_match(self):
        source, expected = probe_6x5()
        self.write("pair-2.tga", b"old")
        self.write("pair-1.dds", source)
        self.assertEqual(self.run_tool("pair-*").messages, COMPLETE)
        self.assertEqual(self.read("pair-2.tga"), expected)
        # Three matches are one name too many.
        self.write("pair-3.tga", b"old")
        self.check(self.run_tool("pair-?.*"), 1, "error",
                   f"Usage: {RUNNER.program_name} inputfile.dds outputfile.tga")
        self.assertEqual(self.read("pair-3.tga"), b"old")
        # A pattern that matches nothing stays as typed, and no file has that name.
        self.check(self.run_tool("none*.dds"), 2, "error",
                   "Error opening input file: Invalid argument")

    def test_names_in_any_script(self):
        source, expected = probe_6x5()
        for name in SCRIPT_NAMES:
            with self.subTest(name):
                # Without the UTF-8 code page the name reaches the system as
                # question marks: "Invalid argument" instead.
                self.check(self.run_tool(name + ".dds", "out.tga"), 2, "error",
                           "Error opening input file: No such file or directory")
                self.write(name + ".dds", source)
                self.assertEqual(self.run_tool(name[0] + "*", name + ".tga").messages, COMPLETE)
                self.assertEqual(self.read(name + ".tga"), expected)
                os.remove(self.path(name + ".dds"))
        # The usage message names the program by its path, here in a folder
        # of such a name: the text reaches the message box whole.
        folder = self.path(" ".join(SCRIPT_NAMES))
        os.mkdir(folder)
        copy = WineRunner(shutil.copy(RUNNER_EXE, folder))
        result = copy.run([], self.dir)
        self.check(result, 1, "error", f"Usage: {copy.program_name} inputfile.dds outputfile.tga")
        self.assertIn("\\" + " ".join(SCRIPT_NAMES) + "\\", copy.program_name)


# A program that holds a file open as another program would, until its
# standard input closes: "r", "w" and "d" in the second argument are the
# sharing it grants (read, write, delete).
HOLDER_SOURCE = r"""
#include <windows.h>
#include <stdio.h>
int main(int argc, char **argv) {
    DWORD share = 0;
    for (const char *c = argv[2]; *c != '\0'; ++c)
        share |= *c == 'r' ? FILE_SHARE_READ : *c == 'w' ? FILE_SHARE_WRITE : FILE_SHARE_DELETE;
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, share, NULL, OPEN_EXISTING, 0, NULL);
    printf(file == INVALID_HANDLE_VALUE ? "failed\n" : "held\n");
    fflush(stdout);
    getchar();
    return 0;
}
"""
MINGW_GCC = "x86_64-w64-mingw32-gcc-posix"  # beside the g++ that builds the exe


def big_dds(width=16384, height=16384):
    """A DXT1 texture whose TGA (1 GiB) takes Wine long enough to write
    (a few tenths of a second) that a test can act while it is written."""
    return dds(width, height, b"DXT1", bytes(width * height // 2))


HIDDEN, SYSTEM = 0x2, 0x4  # Windows file attributes


def dos_attributes(path):
    """The Windows attributes Wine keeps for the file in an extended
    attribute (0 where it keeps none)."""
    try:
        return int(os.getxattr(path, "user.DOSATTRIB").split(b"\0")[0], 16)
    except OSError:
        return 0


def wine_path(path):
    return "Z:" + path.replace("/", "\\")


@under_wine
class OutputFile(Converter):
    """Whole files under every name: a replaced file is the old one or the
    whole new one, whatever ends the run, and nothing is left beside it."""
    OPEN = "Error opening output file"

    def tree(self):
        return sorted(os.path.relpath(os.path.join(folder, name), self.dir)
                      for folder, _, names in os.walk(self.dir) for name in names)

    def test_names_refused_before_converting(self):
        source, _ = probe_6x5()
        self.write("a.dds", source)
        self.write("b.dds", source)
        self.write("ro.tga", b"keep")
        self.write("ro.dds", source)
        for name in ["ro.tga", "ro.dds"]:
            os.chmod(self.path(name), 0o444)  # Wine's read-only attribute
        device_path = "\\\\.\\" + wine_path(self.dir)  # \\.\Z:\...: the same folder
        for args, reason in [
                (["a.dds", "x?.tga"], "Invalid argument"),
                (["a.dds", "out<1>.tga"], "Invalid argument"),
                (["a.dds", "out|.tga"], "Invalid argument"),
                (["a.dds", "LPT1.tga"], "No such file or directory"),  # no port under Wine
                (["a.dds", "CON"], "Bad file descriptor"),  # a window program has no console
                (["a.dds", ""], "No such file or directory"),
                (["a.dds", " "], "No such file or directory"),
                (["a.dds", "none\\o.tga"], "No such file or directory"),
                (["a.dds", "ro.tga"], "Permission denied"),
                # A texture is never replaced by a TGA: two files dropped on
                # the exe, or a pattern with two matches.
                (["a.dds", "b.dds"], "Output file is a DDS file"),
                (["a.dds", "ro.dds"], "Output file is a DDS file"),
                # Judged by what the name opens, however it is spelled.
                (["a.dds", device_path + "\\a.dds"], "Output file is the input file"),
                (["a.dds", device_path + "\\b.dds"], "Output file is a DDS file"),
                (["a.dds", device_path.replace("\\", "/") + "/b.dds"], "Output file is a DDS file"),
                (["a.dds", device_path + "\\ro.dds"], "Output file is a DDS file"),
                (["ro.dds", device_path + "\\ro.dds"], "Output file is the input file")]:
            with self.subTest(args):
                self.check(self.run_tool(*args), 6, "error", f"{self.OPEN}: {reason}")
                self.assertEqual(self.tree(), ["a.dds", "b.dds", "ro.dds", "ro.tga"])
                self.assertEqual([self.read(name) for name in self.tree()],
                                 [source, source, source, b"keep"])

    def test_a_second_file_that_is_no_tga_is_replaced_after_a_yes(self):
        # Two files dropped together, in the order Explorer picks: the
        # second, no TGA file, is asked about; Return takes the default, No.
        source, expected = probe_6x5()
        self.write("a.dds", source)
        question = ("style 0x134", "notes.docx is not a TGA file. Replace it?")  # Yes/No, warning
        refused = ("error", f"{self.OPEN}: File exists and is no TGA file; delete it or name a "
                   ".tga file")
        for key, code, messages, contents in [("Return", 6, [question, refused], b"keep"),
                                              ("y", 0, [question] + COMPLETE, expected)]:
            with self.subTest(key):
                self.write("notes.docx", b"keep")
                answered = []

                def answer(window):
                    if not answered:
                        answered.append(press(window, key))

                proc, trace = RUNNER.start(["a.dds", "notes.docx"], self.dir)
                result = RUNNER.finish(proc, trace, on_message=answer)
                self.assertEqual((result.code, result.messages), (code, messages))
                self.assertEqual(self.read("notes.docx"), contents)
                self.assertEqual(self.tree(), ["a.dds", "notes.docx"])

    def test_a_replaced_file_keeps_its_links_and_attributes(self):
        source, expected = probe_6x5()
        self.write("a.dds", source)
        # Several names for one file: written in place, so every name shows
        # it, and cut where the new file ends.
        self.write("linked.tga", b"old" * 100)
        os.link(self.path("linked.tga"), self.path("other-name.tga"))
        # Hidden and system, as Wine keeps them for the file (DOS attributes).
        self.write("hidden.tga", b"old")
        try:
            os.setxattr(self.path("hidden.tga"), "user.DOSATTRIB", hex(HIDDEN | SYSTEM).encode())
        except OSError as error:
            self.skipTest(f"{self.dir} keeps no extended attributes: {error}")
        # Readable by its owner only (Wine's access list for mode 0600): a
        # new file would be readable by all.
        self.write("private.tga", b"old")
        os.chmod(self.path("private.tga"), 0o600)
        for name in ["linked.tga", "hidden.tga", "private.tga"]:
            with self.subTest(name):
                self.assertEqual(self.run_tool("a.dds", name).messages, COMPLETE)
                self.assertEqual(self.read(name), expected)
        self.assertEqual(os.stat(self.path("private.tga")).st_mode & 0o777, 0o600)
        self.assertEqual(self.read("other-name.tga"), expected)
        self.assertEqual(os.stat(self.path("linked.tga")).st_nlink, 2)
        self.assertEqual(dos_attributes(self.path("hidden.tga")) & (HIDDEN | SYSTEM),
                         HIDDEN | SYSTEM)
        self.assertEqual(self.tree(), ["a.dds", "hidden.tga", "linked.tga", "other-name.tga",
                                       "private.tga"])

    def test_nothing_is_left_beside_a_new_file(self):
        # Folders whose paths are 246 to 255 bytes of UTF-8, and 300: the
        # temporary's name does not fit MAX_PATH bytes there.
        source, expected = probe_6x5()
        self.write("a.dds", source)
        base = len(wine_path(self.dir)) + 1
        folders = ["\u0434" * ((n - base) // 2) + "L" * ((n - base) % 2) for n in range(246, 256)]
        folders.append("\u0434" * 75 + "/" + "\u0434" * 75)
        for folder in folders:
            with self.subTest(len(folder)):
                os.makedirs(self.path(folder))
                output = os.path.join(wine_path(self.dir), folder.replace("/", "\\"), "o.tga")
                self.assertEqual(self.run_tool("a.dds", output).messages, COMPLETE)
                self.assertEqual(os.listdir(self.path(folder)), ["o.tga"])
                self.assertEqual(self.read(os.path.join(folder, "o.tga")), expected)
                self.assertEqual(dos_attributes(self.path(os.path.join(folder, "o.tga"))) &
                                 HIDDEN, 0)
        # A temporary file left by a run ended between its last two steps
        # goes; a file that only looks like one, a Linux run's among them, stays.
        left = ".dxtc2tga-win-0123456789abcdef.tmp"
        others = [".dxtc2tga-0123456789abcdef.tmp", ".dxtc2tga-win-ghijklmnopqrstuv.tmp"]
        for name in [left] + others:
            self.write(name, b"other")
        self.assertEqual(self.run_tool("a.dds", "o.tga").messages, COMPLETE)
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(["a.dds", "o.tga"] + others + [
            folder.split("/")[0] for folder in folders]))

    def test_an_ended_process_leaves_the_old_file_and_nothing_else(self):
        # Ended by a kill once the new file has grown: the old file stays as
        # it was, and the temporary file goes with the process.
        self.write("big.dds", big_dds())
        long_folder = os.path.join("\u0434" * 87, "\u0434" * 87)  # 348 bytes of UTF-8
        os.makedirs(self.path(long_folder))
        for folder in ["", long_folder]:
            with self.subTest(len(folder)):
                output = os.path.join(folder, "o.tga")
                self.write(output, b"keep")
                proc, trace = RUNNER.start(["big.dds", wine_path(self.path(output))], self.dir)
                self.wait_for_growth(proc, self.path(folder))
                proc.kill()
                proc.wait()
                trace.close()
                self.assertEqual(self.read(output), b"keep")
                self.wait_for(lambda: os.listdir(self.path(folder or ".")) != [] and
                              set(os.listdir(self.path(folder or "."))) <=
                              {"o.tga", "big.dds", "\u0434" * 87})

    def wait_for_growth(self, proc, folder, size=1 << 20):
        """Waits until a file in the folder other than the input has `size`
        bytes, while the process runs."""
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and proc.poll() is None:
            for name in os.listdir(folder):
                path = os.path.join(folder, name)
                if name != "big.dds" and os.path.isfile(path) and os.path.getsize(path) >= size:
                    return
            time.sleep(0.005)
        self.fail(f"no file grew in {folder} (exit code {proc.poll()})")

    def wait_for(self, condition, timeout=10):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                self.fail(f"still {self.tree()}")
            time.sleep(0.05)

    def test_a_name_taken_while_converting(self):
        self.write("big.dds", big_dds())

        texture, _ = probe_6x5()

        def make_file(contents=b"other"):  # someone else's file
            return lambda: self.write("big.tga", contents)

        def swap():  # another file is renamed over the old one
            self.write("other.tga", b"other")
            os.replace(self.path("other.tga"), self.path("big.tga"))

        # The name is free at the start unless `old` holds what it had.
        for args, old, take, left in [
                # Chosen in the dialog where no file had it: not replaced.
                ([], None, make_file(), b"other"),
                # Named, and free at the start: what takes the name meanwhile
                # stays, a texture or a folder.
                (["big.tga"], None, make_file(texture), texture),
                (["big.tga"], None, lambda: os.mkdir(self.path("big.tga")), None),
                # Named, and replaced only while it holds the first file.
                (["big.tga"], b"old", swap, b"other")]:
            with self.subTest(args=args, old=old, left=left):
                if old is not None:
                    self.write("big.tga", old)
                proc, trace = RUNNER.start(["big.dds", *args], self.dir)
                if not args:
                    press(wait_window(SaveDialog.DIALOG, proc), "Return")  # big.tga
                # Held while the name is taken: the conversion is quick.
                self.wait_for_growth(proc, self.dir, size=1 << 16)
                os.kill(proc.pid, signal.SIGSTOP)
                take()
                os.kill(proc.pid, signal.SIGCONT)
                self.check(RUNNER.finish(proc, trace), 6, "error", f"{self.OPEN}: File exists")
                self.assertEqual(self.tree(), ["big.dds"] + (["big.tga"] if left else []))
                if left is None:
                    os.rmdir(self.path("big.tga"))
                else:
                    self.assertEqual(self.read("big.tga"), left)
                    os.remove(self.path("big.tga"))

    @unittest.skipUnless(os.geteuid() == 0, "mounting a small drive needs root")
    def test_a_full_drive(self):
        # A 64 KiB tmpfs of 32 files as drive M: of the tests' own Wine prefix.
        drive = tempfile.mkdtemp(prefix="dxtc2tga-drive-")
        self.addCleanup(os.rmdir, drive)
        mount = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,nr_inodes=32", "tmpfs", drive],
                               capture_output=True, text=True)
        if mount.returncode != 0:
            self.skipTest(f"cannot mount a tmpfs here: {mount.stderr.strip()}")
        self.addCleanup(subprocess.run, ["umount", drive], check=True)
        letter = os.path.join(os.environ["WINEPREFIX"], "dosdevices", "m:")
        if os.path.islink(letter):  # left by a run that was stopped
            os.remove(letter)
        os.symlink(drive, letter)
        self.addCleanup(os.remove, letter)
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "make-texture"), "256", "128",
                        "DXT1", self.path("big.dds")], check=True)  # a TGA of 128 KiB
        long_folder = "\u0434" * 87 + "/" + "\u0434" * 87  # 174 characters, 349 bytes
        os.makedirs(os.path.join(drive, long_folder))
        for folder in ["", long_folder]:
            with self.subTest(len(folder)):
                output = os.path.join(drive, folder, "o.tga")
                with open(output, "wb") as f:
                    f.write(b"keep")
                name = "M:\\" + os.path.join(folder, "o.tga").replace("/", "\\")
                self.check(self.run_tool("big.dds", name), 8, "error",
                           "Error writing image data to output file: No space left on device")
                self.assertEqual(os.listdir(os.path.dirname(output)),
                                 ["o.tga"] if folder else ["o.tga", long_folder.split("/")[0]])
                with open(output, "rb") as f:
                    self.assertEqual(f.read(), b"keep")
        # A name relative to M:'s current folder, from a folder on Z:: the
        # temporary file is made on M: too, as renaming needs.
        source, expected = probe_6x5()
        self.write("a.dds", source)
        self.assertEqual(self.run_tool("a.dds", "M:small.tga").messages, COMPLETE)
        self.assertEqual(sorted(os.listdir(drive)), ["o.tga", "small.tga", "\u0434" * 87])
        with open(os.path.join(drive, "small.tga"), "rb") as f:
            self.assertEqual(f.read(), expected)
        self.assertEqual(self.tree(), ["a.dds", "big.dds"])
        # Full already when the output is opened: no room for one more file.
        filler = 0
        try:
            while True:
                open(os.path.join(drive, f"filler-{filler}"), "wb").close()
                filler += 1
        except OSError:
            pass
        self.check(self.run_tool("a.dds", "M:full.tga"), 6, "error",
                   f"{self.OPEN}: No space left on device")
        self.assertFalse(os.path.exists(os.path.join(drive, "full.tga")))

    @unittest.skipUnless(shutil.which(MINGW_GCC), MINGW_GCC + " is not installed")
    def test_a_file_another_program_holds_open(self):
        holder = self.path("holder.exe")
        subprocess.run([MINGW_GCC, "-x", "c", "-o", holder, "-"], input=HOLDER_SOURCE.encode(),
                       check=True)
        source, expected = probe_6x5()
        self.write("a.dds", source)
        unread_texture = [("error", f"{self.OPEN}: Output file is a DDS file")]
        for name, sharing, code, messages, contents in [
                # Open to nobody else: refused before converting, with the reason.
                ("o.tga", "", 6, [("error", f"{self.OPEN}: Permission denied")], b"keep"),
                # Open for others to read and write, as fopen leaves it: it
                # cannot be replaced by renaming, so it is written in place.
                ("o.tga", "rw", 0, COMPLETE, expected),
                # Even where it could be deleted: Windows renames over no
                # open file.
                ("o.tga", "rwd", 0, COMPLETE, expected),
                # Open for others to write but not to read: a file whose
                # start cannot be read is a texture by its name.
                ("o.dds", "w", 6, unread_texture, b"keep"),
                ("o.DdS", "wd", 6, unread_texture, b"keep")]:
            with self.subTest(name=name, sharing=sharing):
                self.write(name, b"keep")
                hold = subprocess.Popen(["wine", holder, name, sharing or "-"], cwd=self.dir,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
                try:
                    self.assertEqual(hold.stdout.readline().strip(), b"held")
                    result = self.run_tool("a.dds", name)
                finally:
                    hold.communicate(b"\n", timeout=30)
                self.assertEqual((result.code, result.messages), (code, messages))
                self.assertEqual(self.read(name), contents)
                self.assertEqual(self.tree(), ["a.dds", "holder.exe", name])
                os.remove(self.path(name))


@under_wine
@unittest.skipUnless(os.path.exists(CONSOLE_EXE), f"the console companion {CONSOLE_EXE} is not built")
class ConsoleCompanion(Converter):
    """What only dxtc2tga.com does: a console program made like the desktop
    exe that never shows a window, and messages a script can read."""

    def setUp(self):
        super().setUp()
        self.console = WineConsoleRunner(CONSOLE_EXE)

    def test_a_console_program_made_like_the_desktop_exe(self):
        with open(CONSOLE_EXE, "rb") as f:
            console = PortableExecutable(f.read())
        with open(RUNNER_EXE, "rb") as f:
            desktop = PortableExecutable(f.read())
        self.assertEqual((console.is_64_bit, console.subsystem), (True, SUBSYSTEM_WINDOWS_CUI))
        # The same icon and manifest; the version record differs in its
        # description and file name only.
        ours, theirs = console.resources(), desktop.resources()
        self.assertEqual({k: v for k, v in ours.items() if k[0] != RT_VERSION},
                         {k: v for k, v in theirs.items() if k[0] != RT_VERSION})
        *numbers, strings = version_record(ours[(RT_VERSION, 1)])
        *desktop_numbers, desktop_strings = version_record(theirs[(RT_VERSION, 1)])
        self.assertEqual(numbers, desktop_numbers)
        self.assertEqual(dict(desktop_strings, FileDescription="DDS to TGA Converter (console)",
                              OriginalFilename="dxtc2tga.com"), strings)
        if shutil.which(OBJDUMP):  # no window can come from a program without user32
            dump = subprocess.run([OBJDUMP, "-p", CONSOLE_EXE], check=True, capture_output=True,
                                  text=True).stdout
            dlls = {line.split(":", 1)[1].strip().lower() for line in dump.splitlines()
                    if "DLL Name:" in line}
            self.assertEqual(dlls, {"kernel32.dll", "msvcrt.dll", "advapi32.dll"})

    def test_no_box_appears(self):
        source, _ = probe_6x5()
        self.write("a.dds", source)
        env = dict(os.environ, WINEDEBUG="-all,+relay")  # the message box calls only
        for args, code in [([], 1), (["missing.dds"], 2), (["a.dds"], 0), (["a.dds"], 9),
                           (["--version"], 0)]:
            with self.subTest(args):
                proc = subprocess.run(["wine", CONSOLE_EXE, *args], cwd=self.dir, env=env,
                                      stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
                self.assertEqual(proc.returncode, code, proc.stderr[-2000:])
                self.assertIn(b":Call PE DLL", proc.stderr)  # the trace is on
                self.assertEqual(proc.stderr.count(b":Call user32.MessageBox"), 0)

    def test_a_redirected_message_is_utf_8(self):
        # A file, a pipe: UTF-8 bytes, whatever the console's code page.
        name = "テクスチャ.dds"  # テクスチャ
        proc = subprocess.run(["wine", CONSOLE_EXE, name, "out.tga"], cwd=self.dir,
                              env=dict(os.environ, WINEDEBUG="-all"), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=60)
        self.assertEqual((proc.returncode, proc.stdout, proc.stderr), (2, b"", (
            "DXTC Conversion: error: テクスチャ.dds: "
            "Error opening input file: No such file or directory\r\n").encode("utf-8")))

    def test_answers_in_a_redirected_input_are_not_read(self):
        # Standard input that is no console asks nobody: the proposal is used
        # where no file has its name, and an existing one is never replaced.
        source, expected = probe_6x5()
        self.write("a.dds", source)
        self.write("answers.txt", b"other\r\ny\r\n")
        for existing, code, messages in [
                (None, 0, COMPLETE),
                (b"keep", 9, [("error", "a.tga exists; give the output name on the command line "
                                        "to replace it")])]:
            with self.subTest(existing=existing):
                if existing is not None:
                    self.write("a.tga", existing)
                with open(self.path("answers.txt"), "rb") as answers:
                    result = self.console.finish(self.console.start(["a.dds"], self.dir,
                                                                    stdin=answers), ["a.dds"])
                self.assertEqual((result.code, result.messages), (code, messages))
                self.assertEqual(self.read("a.tga"), existing or expected)
                self.assertEqual(sorted(os.listdir(self.dir)), ["a.dds", "a.tga", "answers.txt"])

    def test_ctrl_c_or_an_ended_process_leaves_the_old_file_and_nothing_else(self):
        # Wine hands a console program SIGINT as Ctrl+C; SIGKILL ends it at once.
        self.write("big.dds", big_dds())
        for signal_number in [signal.SIGINT, signal.SIGKILL]:
            with self.subTest(signal_number):
                self.write("o.tga", b"keep")
                proc = self.console.start(["big.dds", "o.tga"], self.dir)
                OutputFile.wait_for_growth(self, proc, self.dir)
                os.kill(proc.pid, signal_number)
                result = self.console.finish(proc, ["big.dds", "o.tga"])
                self.assertEqual(result.messages, [])
                self.assertEqual(self.read("o.tga"), b"keep")
                OutputFile.wait_for(self, lambda: sorted(os.listdir(self.dir)) ==
                                    ["big.dds", "o.tga"])

    def tree(self):
        return OutputFile.tree(self)


@under_wine
@unittest.skipUnless(os.access(LINUX_EXE, os.X_OK), f"the Linux build {LINUX_EXE} is not built")
class SameBytesAsLinux(Converter):
    def test_both_builds_write_the_same_files(self):
        linux = NativeRunner(LINUX_EXE)
        make_texture = os.path.join(ROOT, "tools", "make-texture")
        inputs = {"sample.dds": os.path.join(ROOT, "samples", "sample.dds")}
        for width, height, code in [(1, 1, "DXT1"), (6, 5, "DXT3"), (70, 46, "DXT5"),
                                    (256, 128, "DXT1"), (1000, 600, "DXT5")]:
            name = f"{width}x{height}-{code}.dds"
            subprocess.run([sys.executable, make_texture, str(width), str(height), code,
                            self.path(name), str(width)], check=True)
            inputs[name] = self.path(name)
        # Input and output named in other scripts.
        for name, size in zip(SCRIPT_NAMES, ["70x46-DXT5", "6x5-DXT3", "1x1-DXT1", "sample"]):
            inputs[name + ".dds"] = shutil.copy(inputs[size + ".dds"], self.path(name + ".dds"))
        for name, path in inputs.items():
            with self.subTest(name):
                output = os.path.splitext(name)[0] + ".tga"
                self.assertEqual(linux.run([path, "linux.tga"], cwd=self.dir).code, 0)
                self.assertEqual(self.run_tool(path, output).messages, COMPLETE)
                self.assertEqual(self.read(output), self.read("linux.tga"))


if __name__ == "__main__":
    unittest.main()
