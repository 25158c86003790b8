"""Runs the built converter and reads back what it told the user.

Every run gives the exit code and the messages shown, each as (kind, text)
with kind "error" or "information", so the same tests serve every build.
"""
import os
import subprocess
from dataclasses import dataclass, field

CAPTION = "DXTC Conversion"


@dataclass
class Result:
    code: int
    messages: list = field(default_factory=list)
    stray: list = field(default_factory=list)  # output that is not a message


def parse_messages(stdout, stderr):
    """Messages of the command-line build: information on standard output as
    'DXTC Conversion: TEXT', errors on standard error as
    'DXTC Conversion: error: TEXT'."""
    messages, stray = [], []
    for line in stdout.decode("latin-1").splitlines():
        if line.startswith(CAPTION + ": "):
            messages.append(("information", line[len(CAPTION) + 2:]))
        else:
            stray.append(line)
    for line in stderr.decode("latin-1").splitlines():
        if line.startswith(CAPTION + ": error: "):
            messages.append(("error", line[len(CAPTION) + 9:]))
        else:
            stray.append(line)
    return messages, stray


class NativeRunner:
    """The Linux build, run directly; standard input is not a terminal."""
    native = True

    def __init__(self, exe):
        self.exe = exe

    def run(self, args, cwd, argv0=None, preexec_fn=None):
        proc = subprocess.run([argv0 or self.exe, *args], executable=self.exe, cwd=cwd,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
                              preexec_fn=preexec_fn)
        messages, stray = parse_messages(proc.stdout, proc.stderr)
        return Result(proc.returncode, messages, stray)


# The executable under test.
RUNNER_EXE = os.path.abspath(os.environ.get("DXTC2TGA", "dxtc2tga"))


def runner_from_environment():
    """The runner for the build named by DXTC2TGA (the executable's path)."""
    return NativeRunner(RUNNER_EXE)
