"""Runs the built converter and reads back what it told the user.

Every run gives the exit code and the messages shown, each as (kind, text)
with kind "error" or "information", so the same tests serve every build.
"""
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
from dataclasses import dataclass, field

CAPTION = "DXTC Conversion"


@dataclass
class Result:
    code: int
    messages: list = field(default_factory=list)
    stray: list = field(default_factory=list)  # output that is not a message
    files: list = field(default_factory=list)  # the file each message names, or None
    stdout: bytes = b""  # standard output and error as written, where they are read
    stderr: bytes = b""


def shown(name):
    """A name as the program shows it: control bytes as \\xHH (C0, DEL, C1
    both as U+0080-U+009F and as bytes outside any UTF-8 character, and the
    bidirectional controls U+202A-U+202E and U+2066-U+2069, byte by byte),
    the rest as it is, read back as UTF-8 like the messages; an empty name
    as ''."""
    if name == "":
        return "''"
    shown_bytes = b""
    for c in os.fsencode(name).decode("utf-8", errors="surrogateescape"):
        code = ord(c)
        if code < 0x20 or code == 0x7F or 0xDC80 <= code <= 0xDC9F:
            shown_bytes += b"\\x%02X" % (code & 0xFF)
        elif 0x80 <= code <= 0x9F or 0x202A <= code <= 0x202E or 0x2066 <= code <= 0x2069:
            shown_bytes += b"".join(b"\\x%02X" % byte for byte in c.encode())
        else:
            shown_bytes += os.fsencode(c)
    return shown_bytes.decode("utf-8", errors="replace")


def proposal(input_name):
    """The output name proposed for an input: ".dds" (any case) becomes ".tga"."""
    dot = input_name.rfind(".")
    dds_suffix = dot >= 0 and input_name[dot:].lower() == ".dds"
    return (input_name[:dot] if dds_suffix else input_name) + ".tga"


def file_names(args, separator="/"):
    """The files a run's messages may name: the arguments, the proposal for
    the input, and the proposal in a folder given as the output, joined to
    it by the system's `separator`."""
    names = list(args)
    if args:
        names.append(proposal(args[0]))
    if len(args) > 1:
        names.append(args[1] + ("" if args[1].endswith(("/", separator)) else separator)
                     + proposal(os.path.basename(args[0])))
    return names


def parse_messages(stdout, stderr, names=(), files=None):
    """Messages of the command-line build, all on standard error: errors as
    'DXTC Conversion: error: TEXT' or, about a file, 'DXTC Conversion:
    error: FILE: TEXT' where FILE is one of `names`; the completion message
    as 'DXTC Conversion: TEXT'. Anything on standard output is stray. The
    file each message named (or None) is appended to `files`. Text is read
    as UTF-8, a byte that is no part of a character as U+FFFD, as the
    message box of the Windows build shows it (ansi_text)."""
    messages = []
    stray = stdout.decode("utf-8", errors="replace").splitlines()
    prefixes = sorted(((shown(n) + ": ", n) for n in names), key=lambda p: -len(p[0]))
    for line in stderr.decode("utf-8", errors="replace").splitlines():
        if line.startswith(CAPTION + ": error: "):
            text, file = line[len(CAPTION) + 9:], None
            for prefix, name in prefixes:
                if text.startswith(prefix):
                    text, file = text[len(prefix):], name
                    break
            messages.append(("error", text))
        elif line.startswith(CAPTION + ": "):
            messages.append(("information", line[len(CAPTION) + 2:]))
            file = None
        else:
            stray.append(line)
            continue
        if files is not None:
            files.append(file)
    return messages, stray


class NativeRunner:
    """The Linux build, run directly; standard input is not a terminal."""
    native = True
    names_files = True  # an error message names its file first
    unattended = True  # with nobody at a terminal, the proposal is used unasked
    separator = "/"

    def __init__(self, exe):
        self.exe = exe
        self.program_name = exe  # argv[0] when the caller names no other

    def run(self, args, cwd, argv0=None, preexec_fn=None):
        proc = subprocess.run([argv0 or self.exe, *args], executable=self.exe, cwd=cwd,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
                              preexec_fn=preexec_fn)
        files = []
        messages, stray = parse_messages(proc.stdout, proc.stderr, file_names(args), files)
        return Result(proc.returncode, messages, stray, files, proc.stdout, proc.stderr)


# Message box styles (MB_OK | MB_ICONERROR, MB_OK | MB_ICONINFORMATION).
STYLES = {0x10: "error", 0x40: "information"}

# One MessageBoxA call in Wine's relay trace, e.g.
#   0114:Call user32.MessageBoxA(00000000,0021f8c0 "Usage: ...",14000b050 "DXTC Conversion",00000010) ret=...
# Strings are written between quotes with backslash escapes.
_QUOTED = r'"((?:[^"\\]|\\.)*)"'
MESSAGE_BOX_CALL = re.compile(r"^[0-9a-f]+:Call user32\.MessageBoxA\(([0-9a-f]+),[0-9a-f]+ "
                              + _QUOTED + r",[0-9a-f]+ " + _QUOTED + r",([0-9a-f]+)\)")
_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}


def unescape(text):
    """A string as Wine's debug output wrote it, back to its characters."""
    def replace(match):
        code = match.group(1)
        if code[0] in "xu":
            return chr(int(code[1:], 16))
        return _ESCAPES.get(code, code)
    return re.sub(r"\\(x[0-9a-fA-F]{2}|u[0-9a-fA-F]{4}|.)", replace, text)


def ansi_text(text):
    """A string of the ANSI calls, each byte escaped as its own character, as
    the text it stands for: the exe's manifest makes the code page UTF-8. A
    byte sequence that is not UTF-8 (half a character) shows as U+FFFD."""
    return text.encode("latin-1").decode("utf-8", errors="replace")


def parse_relay_trace(trace):
    """Messages from the MessageBoxA calls in a relay trace, as (kind, text).
    A box with an owner window, another caption or another style has that
    written into its kind, so it cannot pass for a proper message, and a call
    that cannot be read is kept whole as kind "unreadable". Everything else
    in the trace (Wine's fixme: and err: lines) is ignored."""
    messages = []
    for line in trace.splitlines():
        match = MESSAGE_BOX_CALL.match(line)
        if match is None:
            if ":Call user32.MessageBoxA(" in line:  # e.g. a string Wine shortened with "..."
                messages.append(("unreadable", line))
            continue
        owner, text, caption, style = match.groups()
        kind = STYLES.get(int(style, 16), f"style 0x{int(style, 16):x}")
        caption = unescape(caption)
        if int(owner, 16) != 0 or caption != CAPTION:
            kind += f" (owner {owner}, caption {caption!r})"
        messages.append((kind, ansi_text(unescape(text))))
    return messages


class WineRunner:
    """The Windows build, run by Wine in an X display that the caller has set
    up (DISPLAY, WINEPREFIX with the relay trace limited to the dialog calls;
    see tests/windows/run-under-wine). Messages are read from the relay trace
    of MessageBoxA; each box is dismissed with Return as a user would."""
    native = False
    names_files = False  # the box shows the text alone
    unattended = False  # the save dialog is shown whoever is there
    separator = "\\"
    BOX = "^" + CAPTION + "$"

    def __init__(self, exe):
        self.exe = exe
        # The runtime takes the program name from the command line Wine
        # builds: the exe's path on drive Z:, which maps the Unix root.
        self.program_name = "Z:" + exe.replace("/", "\\")
        self.last_trace = ""  # the relay trace of the last run

    def start(self, args, cwd):
        """Starts the exe; returns the process and the file its trace goes to."""
        trace = tempfile.TemporaryFile()
        env = dict(os.environ, WINEDEBUG="-all,+relay")
        proc = subprocess.Popen(["wine", self.exe, *args], cwd=cwd, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=trace)
        return proc, trace

    def finish(self, proc, trace, on_message=None, timeout=60):
        """Dismisses every message box until the process ends; returns its
        Result. `on_message(window)` runs while each box is up."""
        deadline = time.monotonic() + timeout
        while proc.poll() is None:
            if time.monotonic() > deadline:
                proc.kill()
                raise AssertionError("the program did not end; a window is still open")
            window = find_window(self.BOX)
            if window is None:
                time.sleep(0.05)
                continue
            if on_message is not None:
                on_message(window)
            press(window, "Return")
            wait_gone(window, self.BOX, proc)
        trace.seek(0)
        self.last_trace = trace.read().decode("latin-1")
        trace.close()
        messages = parse_relay_trace(self.last_trace)
        return Result(proc.returncode, messages, files=[None] * len(messages))

    def run(self, args, cwd, argv0=None, preexec_fn=None):
        if argv0 is not None or preexec_fn is not None:
            raise unittest.SkipTest("under Wine the program name is the exe's path and the "
                                    "process cannot be set up from Python")
        result = self.finish(*self.start(args, cwd))
        if result.code != 0 and not result.messages and "Call " not in self.last_trace:
            # The program fails only with a message, so Wine itself did not get
            # it running (seen once, right after the prefix was made): show
            # what Wine said and try once more.
            sys.stderr.write(f"wine did not run the program (exit {result.code}); its output:\n"
                             f"{self.last_trace[-2000:]}\ntrying once more\n")
            result = self.finish(*self.start(args, cwd))
        return result


class WineConsoleRunner:
    """The Windows console companion (dxtc2tga.com), run by Wine as a script
    runs it: standard input, output and error are no console, so nobody is
    asked. Messages are read from standard error, as the Linux build's."""
    native = False
    names_files = True
    unattended = True
    separator = "\\"

    def __init__(self, exe):
        self.exe = exe
        self.program_name = "Z:" + exe.replace("/", "\\")

    def start(self, args, cwd, stdin=subprocess.DEVNULL):
        """Starts the exe; returns the process. Its output goes to files, not
        pipes: a Wine server that the start spawns would hold a pipe open."""
        outputs = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        proc = subprocess.Popen(["wine", self.exe, *args], cwd=cwd, stdin=stdin,
                                stdout=outputs[0], stderr=outputs[1],
                                env=dict(os.environ, WINEDEBUG="-all"))
        proc.outputs = outputs
        return proc

    def finish(self, proc, args, timeout=120):
        """Waits for the process and reads its Result."""
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            raise
        output = []
        for stream in proc.outputs:
            stream.seek(0)
            output.append(stream.read())
            stream.close()
        files = []
        messages, stray = parse_messages(*output, file_names(args, self.separator), files)
        return Result(proc.returncode, messages, stray, files, *output)

    def run(self, args, cwd, argv0=None, preexec_fn=None):
        if argv0 is not None or preexec_fn is not None:
            raise unittest.SkipTest("under Wine the program name is the exe's path and the "
                                    "process cannot be set up from Python")
        result = self.finish(self.start(args, cwd), args)
        if any(line.startswith("wine client error") for line in result.stray):
            # Wine lost its server (one ending as the run began), not the
            # program its way: show what Wine said and try once more.
            sys.stderr.write(f"wine did not run the program: {result.stray}\ntrying once more\n")
            result = self.finish(self.start(args, cwd), args)
        return result


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=30)


def find_window(name):
    """The id of a visible window whose name matches the pattern, or None."""
    found = xdotool("search", "--onlyvisible", "--name", name).stdout.split()
    return found[0] if found else None


def wait_window(name, proc, timeout=30):
    """Waits for a window named by the pattern while the process runs. When
    none comes, the process is ended, so that whatever it shows instead (a
    message box) cannot be taken for the next test's window."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and proc.poll() is None:
        window = find_window(name)
        if window is not None:
            return window
        time.sleep(0.05)
    code = proc.poll()
    if code is None:
        proc.kill()
        proc.wait()
    raise AssertionError(f"no window {name!r} appeared (exit code {code})")


def press(window, *keys):
    """Gives the window the keyboard and presses the keys, as a user would."""
    xdotool("windowfocus", "--sync", window)
    xdotool("key", "--delay", "50", *keys)


def type_text(window, text):
    xdotool("windowfocus", "--sync", window)
    xdotool("type", "--delay", "20", text)


def wait_gone(window, name, proc, timeout=30):
    """Waits until the window named by the pattern has closed."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and proc.poll() is None:
        if window not in xdotool("search", "--onlyvisible", "--name", name).stdout.split():
            return
        time.sleep(0.05)


# The executable under test.
RUNNER_EXE = os.path.abspath(os.environ.get("DXTC2TGA", "dxtc2tga"))


def runner_from_environment():
    """The runner for the build named by DXTC2TGA (the executable's path):
    Wine's when DXTC2TGA_RUNNER is "wine" (the desktop exe) or
    "wine-console" (the console companion), the native one otherwise."""
    kinds = {"wine": WineRunner, "wine-console": WineConsoleRunner}
    return kinds.get(os.environ.get("DXTC2TGA_RUNNER"), NativeRunner)(RUNNER_EXE)
