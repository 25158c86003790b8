#!/usr/bin/env python3
"""Hunts for races on the output name, systematically.

The converter runs as root on a sticky (1777) folder that another user,
`nobody`, also writes to. It is stopped at the k-th occurrence of each system
call it makes after opening its input (strace injects a SIGSTOP there),
`nobody` does one thing an attacker would do at the output name, and the run
is resumed. Then, whatever the exit code:

- no file changed but the output name, and nothing was made outside it
  (a root-only file a planted link points at, or the name it would make,
  stays as it was: the kernel's protections forbid fopen to follow such a
  link, and they are on for every run here);
- the output name holds what it held when the run was resumed, or, where it
  was free then, the whole TGA;
- no temporary file is left behind.

Every stop is tried with every action, on both routes (an unnamed temporary
file; a named one, with the library that refuses O_TMPFILE preloaded) and
under two kinds of protection: fs.protected_symlinks and
fs.protected_regular (set for the run and restored), and a tmpfs mounted
with nosymfollow in a private mount namespace (with protected_regular);
and once with neither, where only the input, the textures and leftovers are
judged, since fopen itself would then follow nobody's links. `--sample` tries each stop
with one action only, in turn, for the test suite.

Usage, as root (a full run takes a few minutes):
    tests/e2e/race_harness.py build/ci/dxtc2tga \\
        --named-route build/ci/tests/libno_unnamed_files.so
"""
import argparse
import hashlib
import os
import pwd
import re
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ddsfile import dds  # noqa: E402

SKIP = 77  # CTest's code for a test that cannot run here
PROTECTIONS = ("/proc/sys/fs/protected_symlinks", "/proc/sys/fs/protected_regular")
# Calls that touch no file system object: not worth a stop.
NOT_FILE_CALLS = {"read", "lseek", "fcntl", "mmap", "munmap", "mremap", "brk", "madvise",
                  "exit_group", "rt_sigaction", "rt_sigprocmask", "getrandom", "getpid",
                  "clock_gettime", "umask", "geteuid", "fallocate"}
CALL = re.compile(rb"^\d+ +(\w+)\(")
SECRET = "secret/target"  # a root-only file; "secret/made" must never appear


def as_nobody(action, folder):
    """Runs `action(folder)` in a child process as `nobody`."""
    nobody = pwd.getpwnam("nobody")
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            os.setgroups([])
            os.setgid(nobody.pw_gid)
            os.setuid(nobody.pw_uid)
            action(folder)
        except OSError:
            code = 1  # the kernel refused the attacker: fine
        os._exit(code)
    os.waitpid(pid, 0)


def put(folder, make):
    """Makes an object under a name of its own, then renames it over the
    output name in one step, as an attacker racing a check would."""
    prepared = os.path.join(folder, "adversary")
    make(prepared)
    try:
        if os.path.isdir(prepared) and not os.path.islink(prepared):
            try:
                os.unlink(os.path.join(folder, "out.tga"))  # a folder cannot replace a file
            except OSError:
                pass
        os.rename(prepared, os.path.join(folder, "out.tga"))
    finally:
        if os.path.lexists(prepared):
            (os.rmdir if os.path.isdir(prepared) else os.unlink)(prepared)


def write_file(path):
    with open(path, "wb") as f:
        f.write(b"nobody's own file")


ACTIONS = {
    "link to a root-only file": lambda d: put(d, lambda p: os.symlink("../" + SECRET, p)),
    "link to a free root-only name": lambda d: put(d, lambda p: os.symlink("../secret/made", p)),
    "a file of nobody's": lambda d: put(d, write_file),
    "a texture renamed over": lambda d: os.rename(os.path.join(d, "tex.dds"),
                                                  os.path.join(d, "out.tga")),
    "a link to the input": lambda d: put(d, lambda p: os.symlink("in.dds", p)),
    "a folder": lambda d: put(d, os.mkdir),
    "a FIFO": lambda d: put(d, os.mkfifo),
}
STARTS = ("free", "a FIFO of nobody's")
TEXTURE = dds(4, 4, b"DXT1", bytes(8))  # nobody's tex.dds
UNPROTECTED = "no protections"


def snapshot(root):
    """Every object under `root`: kind, owner, mode, inode and contents."""
    seen = {}
    for folder, folders, files in os.walk(root):
        for name in folders + files:
            path = os.path.join(folder, name)
            status = os.lstat(path)
            content = None
            if stat.S_ISLNK(status.st_mode):
                content = os.readlink(path)
            elif stat.S_ISREG(status.st_mode):
                with open(path, "rb") as f:
                    content = hashlib.sha256(f.read()).hexdigest()
            seen[os.path.relpath(path, root)] = (stat.S_IFMT(status.st_mode), status.st_uid,
                                                 stat.S_IMODE(status.st_mode), status.st_ino,
                                                 content)
    return seen


class Harness:
    def __init__(self, exe, named_route, base):
        self.exe, self.named_route, self.base = exe, named_route, base
        self.tga_digest = None
        self.texture_digest = hashlib.sha256(TEXTURE).hexdigest()
        self.trials = 0
        self.verbose = False
        self.findings = []

    def prepare(self, start):
        """A fresh world: root's input and secret, nobody's texture, and the
        output name as `start` says, all in a sticky folder."""
        root = tempfile.mkdtemp(dir=self.base)
        os.chmod(root, 0o755)
        nobody = pwd.getpwnam("nobody")
        os.mkdir(os.path.join(root, "secret"), 0o755)
        with open(os.path.join(root, SECRET), "wb") as f:
            f.write(b"root's secret")
        os.chmod(os.path.join(root, SECRET), 0o600)
        sticky = os.path.join(root, "sticky")
        os.mkdir(sticky)
        os.chmod(sticky, 0o1777)
        with open(os.path.join(sticky, "in.dds"), "wb") as f:
            f.write(dds(64, 64, b"DXT1", bytes(range(256)) * 8))
        tex = os.path.join(sticky, "tex.dds")
        with open(tex, "wb") as f:
            f.write(TEXTURE)
        os.chown(tex, nobody.pw_uid, nobody.pw_gid)
        if start == "a FIFO of nobody's":
            os.mkfifo(os.path.join(sticky, "out.tga"))
            os.chown(os.path.join(sticky, "out.tga"), nobody.pw_uid, nobody.pw_gid)
        return root, sticky

    def command(self, route, trace):
        # The trace to standard error through /proc, never through /dev by name.
        command = ["strace", "-f", "-qq", "-o", "/proc/self/fd/2", *trace]
        if route == "named":
            command += ["-E", "LD_PRELOAD=" + self.named_route]
        return command + [self.exe, "in.dds", "out.tga"]

    def stops(self, route, start):
        """(call, k) for each file-system call the run makes after opening
        its input, from one undisturbed run."""
        root, sticky = self.prepare(start)
        reader = self.open_reader(sticky)
        proc = subprocess.run(self.command(route, ["-e", "trace=all"]), cwd=sticky,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=60)
        if reader is not None:
            os.close(reader)
        if self.tga_digest is None and start == "free":
            with open(os.path.join(sticky, "out.tga"), "rb") as f:
                self.tga_digest = hashlib.sha256(f.read()).hexdigest()
        shutil.rmtree(root)
        counts, stops, after_input = {}, [], False
        for line in proc.stderr.splitlines():
            match = CALL.match(line)
            if match is None:
                continue
            call = match.group(1).decode()
            counts[call] = counts.get(call, 0) + 1
            if call == "openat" and b'"in.dds"' in line:
                after_input = True
            elif after_input and call not in NOT_FILE_CALLS and \
                    not (call == "write" and (counts[call] > 1 or line.find(b"(2,") >= 0)):
                stops.append((call, counts[call]))
        return stops

    @staticmethod
    def open_reader(sticky):
        """A reader for a FIFO at the output name, so that opening it for
        writing does not wait, as it would not for a listening program."""
        path = os.path.join(sticky, "out.tga")
        if os.path.exists(path) and stat.S_ISFIFO(os.lstat(path).st_mode):
            return os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        return None

    def trial(self, config, route, start, stop, action):
        root, sticky = self.prepare(start)
        reader = self.open_reader(sticky)
        call, k = stop
        proc = subprocess.Popen(
            self.command(route, ["-e", f"trace={call}",
                                 "-e", f"inject={call}:signal=SIGSTOP:when={k}"]),
            cwd=sticky, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE)
        stopped = self.wait_for_stop(proc)
        if self.verbose:
            print(f"{time.monotonic():.1f}", config, route, start, stop, action,
                  "stopped" if stopped else "", flush=True)
        readers = [reader]
        if stopped:
            as_nobody(ACTIONS[action], sticky)
            readers.append(self.open_reader(sticky))
        before = snapshot(root)
        [child] = open(f"/proc/{proc.pid}/task/{proc.pid}/children").read().split() or [None]
        if stopped:
            os.kill(int(child), signal.SIGCONT)
        problems = []
        try:
            proc.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            os.kill(int(child), signal.SIGKILL)
            proc.communicate()
            problems.append("the run did not end")
        for fd in readers:
            if fd is not None:
                os.close(fd)
        after = snapshot(root)
        problems += self.check(before, after, config == UNPROTECTED)
        self.trials += 1
        if problems:
            self.findings.append((config, route, start, f"{call}#{k}", action, problems,
                                  proc.returncode))
        shutil.rmtree(root)

    @staticmethod
    def wait_for_stop(proc):
        """Reads strace's lines until the run is stopped (True) or ends."""
        deadline = time.monotonic() + 30
        seen = b""
        while time.monotonic() < deadline and b"--- stopped by SIGSTOP ---" not in seen:
            ready, _, _ = select.select([proc.stderr], [], [], 1)
            if ready:
                chunk = os.read(proc.stderr.fileno(), 65536)
                if not chunk:
                    return False
                seen += chunk
        return b"--- stopped by SIGSTOP ---" in seen

    def check(self, before, after, unprotected):
        """The invariants. Without the kernel's protections fopen itself
        would follow nobody's links and write nobody's files: only the input,
        the textures and the leftovers are judged then."""
        problems = []
        output = os.path.join("sticky", "out.tga")
        for path in sorted(set(before) | set(after)):
            if os.path.basename(path).startswith(".dxtc2tga"):
                if path in after:
                    problems.append(f"left behind: {path}")
            elif path != output and before.get(path) != after.get(path) and \
                    not (unprotected and path.startswith("secret")):
                problems.append(f"changed: {path}")
        was, now = before.get(output), after.get(output)
        whole_tga = now is not None and now[0] == stat.S_IFREG and now[4] == self.tga_digest
        texture = was is not None and was[4] == self.texture_digest
        if was != now and not (was is None and whole_tga) and (texture or not unprotected):
            problems.append(f"the output name held {describe(was)}, now {describe(now)}")
        return problems


def describe(entry):
    if entry is None:
        return "nothing"
    kind = {stat.S_IFREG: "a file", stat.S_IFLNK: "a link", stat.S_IFDIR: "a folder",
            stat.S_IFIFO: "a FIFO"}.get(entry[0], "an object")
    return f"{kind} of uid {entry[1]}"


def set_protections(values):
    old = []
    for path, value in zip(PROTECTIONS, values):
        with open(path) as f:
            old.append(f.read().strip())
        with open(path, "w") as f:
            f.write(value)
    return old


def run(args, harness):
    routes = ["unnamed"] + (["named"] if args.named_route else [])
    configs = ["protected_symlinks and protected_regular", "nosymfollow tmpfs", UNPROTECTED]
    for config in configs:
        if config.startswith("nosymfollow"):
            harness.base = tempfile.mkdtemp()
            subprocess.run(["mount", "-t", "tmpfs", "-o", "nosymfollow,mode=755", "race",
                            harness.base], check=True)
        else:
            harness.base = tempfile.mkdtemp()
            os.chmod(harness.base, 0o755)
        # nosymfollow alone keeps the links of others from being followed.
        old = set_protections({"nosymfollow tmpfs": ["0", "1"], UNPROTECTED: ["0", "0"]}
                              .get(config, ["1", "1"]))
        try:
            for route in routes:
                for start in STARTS:
                    for index, stop in enumerate(harness.stops(route, start)):
                        actions = sorted(ACTIONS)
                        if args.sample:
                            actions = [actions[(index + len(start)) % len(actions)]]
                        for action in actions:
                            harness.trial(config, route, start, stop, action)
        finally:
            set_protections(old)
            if config.startswith("nosymfollow"):
                subprocess.run(["umount", harness.base], check=True)
            shutil.rmtree(harness.base)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("exe")
    parser.add_argument("--named-route", help="the library that refuses O_TMPFILE")
    parser.add_argument("--sample", action="store_true", help="one action per stop")
    parser.add_argument("--verbose", action="store_true", help="each trial as it starts")
    args = parser.parse_args()
    if os.geteuid() != 0 or not shutil.which("strace") or not shutil.which("unshare"):
        print("the race harness needs root, strace and unshare")
        return SKIP
    if os.environ.get("RACE_HARNESS_NAMESPACE") != "1":
        # Our own mount namespace, so the nosymfollow tmpfs is private to us.
        env = dict(os.environ, RACE_HARNESS_NAMESPACE="1")
        return subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable,
                               *sys.argv], env=env).returncode
    harness = Harness(os.path.abspath(args.exe), args.named_route and
                      os.path.abspath(args.named_route), None)
    harness.verbose = args.verbose
    started = time.monotonic()
    # A test runner's SIGTERM still restores the protections and unmounts.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(SKIP))
    run(args, harness)
    for finding in harness.findings:
        config, route, start, stop, action, problems, code = finding
        print(f"[{config}; {route}; start {start}] stop at {stop}, {action} (exit {code}): "
              + "; ".join(problems))
    print(f"{harness.trials} trials in {time.monotonic() - started:.0f} s, "
          f"{len(harness.findings)} broke an invariant")
    return 1 if harness.findings else 0


if __name__ == "__main__":
    sys.exit(main())
