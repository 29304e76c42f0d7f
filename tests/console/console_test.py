#!/usr/bin/env python3
"""The example shell as a person uses it.

  console_test.py statuses KXSHELL [EMULATOR...]  exit statuses of -c and scripts
  console_test.py keys KXSHELL                    keystrokes through a pseudo-terminal

Prints every case; exits 1 when any of them does not hold."""
import fcntl
import os
import pty
import re
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time

FAILS = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        FAILS.append(what)


# (arguments, standard input, exit status, text the output must hold[, text it must not])
STATUSES = [
    (["-c", "echo hi"], "", 0, "hi\n"),  # echo's count is success
    (["-c", ""], "", 0, ""),
    (["-c", "# a comment"], "", 0, ""),
    (["-c", "nosuch"], "", 127, "unknown or ambiguous"),
    (["-c", "md"], "", 2, "insufficient arguments"),
    (["-c", "md zz"], "", 2, "expecting hex integer"),
    (["-c", "tuner CTRL x"], "", 2, "too many"),
    (["-c", "tuner NOPE"], "", 1, "no register"),
    (["-c", "dev tune 1"], "", 1, "outside"),  # a failure inside dev
    (["-c", "rc nosuch"], "", 0, "status 0xFFFFFF02"),  # rc reports it
    (["--no-history", "-c", "echo x"], "", 0, "x\n"),
    (["ok.kx"], "", 0, "done\n"),
    # A script runs to its end, names each failing line and exits 1; -e stops
    # at the first, also inside a sourced file, and the outer lines do not run.
    (["fails.kx"], "", 1, "fails.kx:1: tuner: failed (status 0x00000002)\ngoes on"),
    (["nested.kx"], "", 1, "fails.kx:1: tuner: failed", "nested.kx:1"),  # not the source line
    (["-e", "fails.kx"], "", 1, "fails.kx:1: tuner", "goes on"),
    (["--stop-on-error", "nested.kx"], "", 1, "fails.kx:1: tuner", "outer"),
    (["-e", "ok.kx"], "", 0, "done\n"),
    (["nosuch.kx"], "", 1, "nosuch.kx:1: nosuch: unknown or ambiguous command"),
    (["missing.kx"], "", 2, 'ERROR: Cannot open "missing.kx" for read.'),
    (["-e", "missing.kx"], "", 2, 'ERROR: Cannot open "missing.kx" for read.'),
    (["inner_missing.kx"], "", 1, "inner_missing.kx:1: source: script not run"),
    (["dev.kx"], "status\n", 1, "dev.kx:1: dev: failed"),  # refused, not reading the keyboard
    (["-c", "dev"], "status\nquit\n", 0, "not locked"),  # piped input still works
]


def statuses(shell, emulator):
    with tempfile.TemporaryDirectory() as folder:
        for name, text in [("ok.kx", "echo done\n"), ("fails.kx", "tuner NOPE\necho goes on\n"),
                           ("nested.kx", "source fails.kx\necho outer\n"),
                           ("nosuch.kx", "nosuch\n"), ("inner_missing.kx", "source missing.kx\n"),
                           ("dev.kx", "dev\necho after\n")]:
            with open(os.path.join(folder, name), "w") as f:
                f.write(text)
        for args, stdin, status, text, *absent in STATUSES:
            run = subprocess.run(emulator + [shell] + args, input=stdin.encode(), cwd=folder,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
            out = run.stdout.decode(errors="replace")
            check(run.returncode == status and text in out and not any(a in out for a in absent),
                  "%s: status %d (want %d), output %r" % (args, run.returncode, status, out))
            if args == ["dev.kx"]:
                check("not locked" not in out and "after" in out, "dev in a script: %r" % out)


class Term:
    """The shell on a pseudo-terminal; expect() waits a bounded time."""

    def __init__(self, shell, home, *args, env=None, cwd=None):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.environ.update(HOME=home, TERM="xterm", **(env or {}))
            if cwd:
                os.chdir(cwd)
            os.execv(shell, [shell] + list(args))
        self.seen = b""

    def resize(self, rows, columns):
        """A window resize: the shell gets SIGWINCH."""
        fcntl.ioctl(self.fd, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))

    def send(self, text):
        os.write(self.fd, text.encode())

    def expect(self, pattern, seconds=5.0):
        """The match once the output since the last match holds pattern, else None."""
        end = time.monotonic() + seconds
        while True:
            m = re.search(pattern.encode(), self.seen, re.S)
            if m:
                self.seen = self.seen[m.end():]
                return m
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return None
            try:
                self.seen += os.read(self.fd, 4096)
            except OSError:  # the shell has ended
                return None

    def exit_status(self, seconds=5.0):
        """The shell's exit status, or None (and it is killed) if it runs on."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.expect("$^", 0.1)  # drain
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                return os.waitstatus_to_exitcode(status)
        os.kill(self.pid, 9)
        os.waitpid(self.pid, 0)
        return None


PROMPT = r":\) "


def keys(shell):
    shell = os.path.abspath(shell)
    with tempfile.TemporaryDirectory() as home:
        t = Term(shell, home)
        check(t.expect(PROMPT), "first prompt")
        t.send("ec\thi\r")
        check(t.expect(r"\r\nhi\r\n\r\n" + PROMPT), "Tab completes echo and a blank")
        t.send("m\t\t")
        check(t.expect(r"md\s+msleep\s+mw"), "second Tab lists md, msleep, mw")
        t.send("\x15\x1b[A\r")  # Ctrl-U, Up, Enter
        check(t.expect(r"\r\nhi\r\n\r\n" + PROMPT), "Up recalls echo hi")
        t.send("msleep 60000\r")
        time.sleep(0.5)
        start = time.monotonic()
        t.send("\x03")
        got = t.expect(PROMPT, 3.0)
        check(got, "Ctrl-C ends msleep 60000: prompt after %.2f s" % (time.monotonic() - start))
        t.send("nosuch\x03")
        check(t.expect(r"\^C\r?\n" + PROMPT), "Ctrl-C at the prompt abandons the line")
        t.send("\x12ech\r")
        check(t.expect(r"hi\r\n\r\n" + PROMPT) and b"unknown" not in t.seen,
              "Ctrl-R finds echo hi")
        # Ctrl-C during a script that source runs: the sleep is cut, the
        # script ends after that line, one notice, and the next script runs.
        with open(os.path.join(home, "long.kx"), "w") as f:
            f.write("echo started\n" + "msleep 2000\n" * 3 + "echo never ran\n")
        with open(os.path.join(home, "short.kx"), "w") as f:
            f.write("echo short ran\n")
        t.send("source %s/long.kx\r" % home)
        check(t.expect(r"started\r\n\r\n"), "source long.kx starts")
        time.sleep(0.3)
        start = time.monotonic()
        t.send("\x03")
        got = t.expect(r"long\.kx:2: script stopped by Ctrl-C.*?" + PROMPT, 0.5)
        spent = time.monotonic() - start
        check(got, "Ctrl-C stops source long.kx: notice and prompt after %.2f s" % spent)
        check(b"never ran" not in t.seen, "the lines after the cut one do not run")
        t.send("source %s/short.kx\r" % home)
        check(t.expect(r"short ran\r\n\r\n" + PROMPT), "the next script runs normally")
        t.send("dev\r")
        check(t.expect(r"dev> "), "dev enters the chip's environment")
        t.send("dev\r")
        check(t.expect(r"already in the dev environment.*dev> "), "dev inside dev refused")
        t.send("\x04")
        check(t.expect(PROMPT), "Ctrl-D at dev> goes back to :)")
        t.send("echo last\r")
        t.send("quit\r")
        check(t.exit_status() == 0, "quit ends the shell with status 0")

        history = os.path.join(home, ".kxshell_history")
        lines = history_lines(history)
        want = ["echo hi", "msleep 60000", "echo hi", "source %s/long.kx" % home,
                "source %s/short.kx" % home, "dev", "echo last", "quit"]
        check(lines == want, "history file: no repeat in a row, no abandoned line: %r" % lines)
        t = Term(shell, home)
        t.expect(PROMPT)
        t.send("\x1b[A\x1b[A\r")  # the line before quit
        check(t.expect(r"last\r\n"), "history read back at the next start")
        t.send("quit\r")
        t.exit_status()

        t = Term(shell, home, "--no-history")
        t.expect(PROMPT)
        t.send("echo private\rquit\r")
        t.exit_status()
        check("private" not in open(history).read(), "--no-history leaves the file alone")
    for case in (signals, tab_keys, non_ascii, history_as_typed):
        with tempfile.TemporaryDirectory() as home:
            case(shell, home)


def signals(shell, home):
    """Only Ctrl-C interrupts a command, and what follows starts a line."""
    t = Term(shell, home)
    t.expect(PROMPT)
    t.send("rc msleep 1500\r")
    time.sleep(0.4)
    t.resize(30, 100)
    m = t.expect(r"status 0x(\w+)", 4.0)
    check(m and m.group(1) == b"00000000", "a resize does not cut msleep short: %r" % m)
    t.send("rc msleep 60000\r")
    time.sleep(0.5)
    t.send("\x03")
    m = t.expect(r"(.{0,2})status 0x(\w+)", 3.0)
    check(m and m.group(2) == b"FFFFFFFF" and m.group(1).endswith(b"\n"),
          "Ctrl-C cuts msleep short; its status starts a line: %r" % m)
    t.send("quit\r")
    check(t.exit_status() == 0, "quit after the interrupt")


def tab_keys(shell, home):
    """Folders complete without a blank; a second Tab lists what a common
    prefix left open; dev and rc complete their command line's words."""
    os.makedirs(os.path.join(home, "scripts"))
    for name, text in [("boot.kx", "echo booted\n"), ("burn1.kx", "echo burn1\n"),
                       ("burn2.kx", "echo burn2\n")]:
        with open(os.path.join(home, "scripts", name), "w") as f:
            f.write(text)
    t = Term(shell, home, cwd=home)
    t.expect(PROMPT)
    t.send("source scr\tbo\t\r")
    check(t.expect(r"booted\r\n"), "a completed folder takes no blank")
    t.send("source scripts/bu\t")
    check(t.expect(r"rn"), "Tab completes the common prefix burn")
    t.send("\t")
    check(t.expect(r"burn1\.kx\s+scripts/burn2\.kx", 2.0), "the second Tab lists the candidates")
    t.send("2\t\r")
    check(t.expect(r"\r\nburn2\r\n"), "the line goes on after the list")
    t.send("dev sta\t")
    check(t.expect(r"tus", 2.0), "dev completes a command of the chip")
    t.send("\r")
    check(t.expect(r"\r\nstatus 0x00: not locked"), "the completed dev line runs")
    t.send("rc ec\tx\r")
    check(t.expect(r"\r\nx\r\n\r\nstatus"), "rc completes a command of its own context")
    t.send("quit\r")
    t.exit_status()


def non_ascii(shell, home):
    """A UTF-8 locale: typed and completed text keeps its characters."""
    os.makedirs(os.path.join(home, "d\u00e9"))
    with open(os.path.join(home, "d\u00e9", "abc.kx"), "w") as f:
        f.write("echo ran\n")
    t = Term(shell, home, env={"LC_ALL": "C.UTF-8"}, cwd=home)
    t.expect(PROMPT)
    t.send("echo caf\u00e9\r")
    check(t.expect("\r\ncaf\u00e9\r\n"), "echo caf\u00e9 prints it whole")
    t.send("source d\u00e9/a\t\r")
    check(t.expect(r"\r\nran\r\n"), "Tab completes a path holding \u00e9")
    t.send("quit\r")
    t.exit_status()


def history_lines(path):
    """The history file's lines after its tag, blanks decoded."""
    text = open(path).read() if os.path.exists(path) else ""
    return text.replace("\\040", " ").splitlines()[1:]


def history_as_typed(shell, home):
    """Lines reach the file as they are entered: a hangup loses nothing,
    two shells merge, and the file stays bounded."""
    history = os.path.join(home, ".kxshell_history")
    a, b = Term(shell, home), Term(shell, home)
    a.expect(PROMPT)
    b.expect(PROMPT)
    for term, line in [(a, "echo a1"), (b, "echo b1"), (a, "echo a2")]:
        term.send(line + "\r")
        term.expect(PROMPT)
    os.kill(a.pid, signal.SIGHUP)
    a.exit_status()
    b.send("quit\r")
    b.exit_status()
    lines = history_lines(history)
    check(lines == ["echo a1", "echo b1", "echo a2", "quit"],
          "a hung-up shell and a second one both kept: %r" % lines)

    with open(history, "w") as f:
        f.write("_HiStOrY_V2_\n" + "".join("echo\\040n%d\n" % i for i in range(1500)))
    t = Term(shell, home)
    t.expect(PROMPT)
    t.send("\x1b[A\r")
    check(t.expect(r"n1499\r\n"), "Up recalls the last line of a long file")
    t.send("quit\r")
    t.exit_status()
    lines = history_lines(history)
    check(len(lines) <= 502 and lines[-3:] == ["echo n1498", "echo n1499", "quit"],
          "the file is trimmed to the newest 500 lines: %d, %r" % (len(lines), lines[-3:]))


if __name__ == "__main__":
    if sys.argv[1] == "statuses":
        statuses(sys.argv[2], sys.argv[3:])
    else:
        keys(sys.argv[2])
    sys.exit(1 if FAILS else 0)
