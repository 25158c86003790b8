"""Tests of the Windows build alone, run under Wine by run-under-wine: the
save dialog, wildcard arguments, the exe's make-up, and its output against
the Linux build's."""
import os
import shutil
import struct
import subprocess
import sys
import unittest
import zipfile

from ddsfile import dds
from pe_resources import RT_MANIFEST, SUBSYSTEM_WINDOWS_GUI, PortableExecutable, icons, manifest, \
    version_record
from runner import RUNNER_EXE, NativeRunner, WineRunner, press, runner_from_environment, \
    type_text, wait_window
from test_cli import COMPLETE, Converter, probe_6x5

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
RUNNER = runner_from_environment()
LINUX_EXE = os.environ.get("DXTC2TGA_LINUX", os.path.join(ROOT, "build", "ci", "dxtc2tga"))
SCREENSHOTS = os.environ.get("DXTC2TGA_SCREENSHOTS",
                             os.path.join(ROOT, "build", "windows", "screenshots"))
OBJDUMP = "x86_64-w64-mingw32-objdump"
VERSION = "1.0.0.0"
ZIP = os.environ.get("DXTC2TGA_ZIP")

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
        self.assertEqual(dlls, {"kernel32.dll", "msvcrt.dll", "user32.dll", "comdlg32.dll"})

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
        drawn = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "make-icon"), "/dev/stdout"],
                               check=True, capture_output=True).stdout
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
    def test_the_zip_holds_the_tested_exe_the_readme_and_the_license(self):
        folder = "dxtc2tga-1.0.0-win64/"
        with zipfile.ZipFile(ZIP) as package:
            files = sorted(name for name in package.namelist() if not name.endswith("/"))
            self.assertEqual(files, [folder + "LICENSE.txt", folder + "README.txt",
                                     folder + "dxtc2tga.exe"])
            packed = package.read(folder + "dxtc2tga.exe")
            texts = {name: package.read(folder + name) for name in ["LICENSE.txt", "README.txt"]}
        with open(RUNNER_EXE, "rb") as f:
            self.assertTrue(packed == f.read(), "the zip's exe is not the one tested")
        # Stripped: no symbols, no debugging sections (whose long names would
        # stand in the symbol table's strings).
        self.assertNotIn(b".debug_", packed)
        self.assertLess(len(packed), 100_000)
        for name, text in texts.items():
            with self.subTest(name):
                # Windows line ends, every one of them.
                self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), name)
                self.assertTrue(text.endswith(b"\r\n"))
        readme = texts["README.txt"].decode("ascii")
        # Written for a Windows user: dropping a file, Send to, exit codes from a console.
        for words in ["Drop a .dds file on dxtc2tga.exe", "shell:sendto", "start /wait",
                      "Save As", "9  the end of the file"]:
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
