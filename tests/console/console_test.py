#!/usr/bin/env python3
"""The example shell as a person uses it.

  console_test.py statuses KXSHELL [EMULATOR...]  exit statuses of -c and scripts
  console_test.py keys KXSHELL                    keystrokes through a pseudo-terminal

Prints every case; exits 1 when any of them does not hold."""
import os
import pty
import re
import select
import subprocess
import sys
import tempfile
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

    def __init__(self, shell, home, *args):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.environ.update(HOME=home, TERM="xterm")
            os.execv(shell, [shell] + list(args))
        self.seen = b""

    def send(self, text):
        os.write(self.fd, text.encode())

    def expect(self, pattern, seconds=5.0):
        """True once the output since the last match holds pattern."""
        end = time.monotonic() + seconds
        while True:
            m = re.search(pattern.encode(), self.seen, re.S)
            if m:
                self.seen = self.seen[m.end():]
                return True
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return False
            try:
                self.seen += os.read(self.fd, 4096)
            except OSError:  # the shell has ended
                return False

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
        text = open(history).read() if os.path.exists(history) else ""
        lines = text.replace("\\040", " ").splitlines()[1:]  # after the file's tag
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


if __name__ == "__main__":
    if sys.argv[1] == "statuses":
        statuses(sys.argv[2], sys.argv[3:])
    else:
        keys(sys.argv[2])
    sys.exit(1 if FAILS else 0)
