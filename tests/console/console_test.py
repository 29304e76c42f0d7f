#!/usr/bin/env python3
"""The example shell as a person uses it: statuses KXSHELL [EMULATOR...] (exit statuses) or
keys KXSHELL (on a pseudo-terminal). Prints every case; exits 1 when one does not hold."""
import fcntl
import os
import pathlib
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
    FAILS.extend([] if ok else [what])


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
    # A script runs on, names failing lines, exits 1; -e stops at the first, sourced ones too.
    (["fails.kx"], "", 1, "fails.kx:1: tuner: failed (status 0x00000002)\ngoes on"),
    (["nested.kx"], "", 1, "fails.kx:1: tuner: failed", "nested.kx:1"),  # not the source line
    (["-e", "fails.kx"], "", 1, "fails.kx:1: tuner", "goes on"),
    (["--stop-on-error", "nested.kx"], "", 1, "fails.kx:1: tuner", "outer"),
    (["-e", "ok.kx"], "", 0, "done\n"),
    (["nosuch.kx"], "", 1, "nosuch.kx:1: nosuch: unknown or ambiguous command"),
    (["missing.kx"], "", 2, 'ERROR: Cannot open "missing.kx" for read.'),
    (["-e", "missing.kx"], "", 2, 'ERROR: Cannot open "missing.kx" for read.'),
    (["inner_missing.kx"], "", 1, "inner_missing.kx:1: source: script not run"),
    # dev in a script is refused, not reading the keyboard, and the script goes on.
    (["dev.kx"], "status\n", 1, "dev.kx:1: dev: failed (status 0x00000003)\nafter", "not locked"),
    (["-c", "dev"], "status\nquit\n", 0, "not locked"),  # piped input still works
]


def write(folder, files):
    for name, text in files:
        os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
        pathlib.Path(folder, name).write_text(text)


def statuses(shell, emulator):
    with tempfile.TemporaryDirectory() as folder:
        write(folder, [("ok.kx", "echo done\n"), ("fails.kx", "tuner NOPE\necho goes on\n"),
                       ("nested.kx", "source fails.kx\necho outer\n"), ("nosuch.kx", "nosuch\n"),
                       ("inner_missing.kx", "source missing.kx\n"),
                       ("dev.kx", "dev\necho after\n")])
        for args, stdin, status, text, *absent in STATUSES:
            run = subprocess.run(emulator + [shell] + args, input=stdin.encode(), cwd=folder,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
            out = run.stdout.decode(errors="replace")
            check(run.returncode == status and text in out and not any(a in out for a in absent),
                  "%s: status %d (want %d), output %r" % (args, run.returncode, status, out))


class Term:
    """The shell on a pseudo-terminal; expect() waits a bounded time."""

    def __init__(self, shell, home, *args, env=None, cwd=None):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.environ.update(HOME=home, TERM="xterm", **(env or {}))
            os.chdir(cwd or ".")
            os.execv(shell, [shell] + list(args))
        self.seen = b""

    def resize(self, rows, columns):  # the shell gets SIGWINCH
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


def steps(t, table):
    """Rows: keys (a text, or texts, pauses in seconds and calls on the terminal),
    the pattern the output then holds, what it shows[, seconds to wait]."""
    for keys, pattern, what, *seconds in table:
        for key in [keys] if isinstance(keys, str) else keys:
            {str: t.send, float: time.sleep}.get(type(key), lambda call: call(t))(key)
        check(t.expect(pattern, *seconds), what)


NO = r"^(?:(?!%s).)*"  # the output up to the rest of the pattern does not hold this
SESSION = [
    ("ec\thi\r", r"\r\nhi\r\n\r\n" + PROMPT, "Tab completes echo and a blank"),
    ("m\t\t", r"md\s+msleep\s+mw", "second Tab lists md, msleep, mw"),
    ("\x15\x1b[A\r", r"\r\nhi\r\n\r\n" + PROMPT, "Ctrl-U, Up, Enter recalls echo hi"),
    (["msleep 60000\r", 0.5, "\x03"], PROMPT, "Ctrl-C ends msleep 60000", 3.0),
    ("nosuch\x03", r"\^C\r?\n" + PROMPT, "Ctrl-C at the prompt abandons the line"),
    ("\x12ech\r", NO % "unknown" + r"hi\r\n\r\n" + PROMPT, "Ctrl-R finds echo hi"),
    # Ctrl-C in a sourced script cuts the sleep, ends the script with one notice; the next runs.
    ("source long.kx\r", r"started\r\n\r\n", "source long.kx starts"),
    ([0.3, "\x03"], r"long\.kx:2: script stopped by Ctrl-C.*?" + PROMPT,
     "Ctrl-C stops source long.kx: notice and prompt within 0.5 s", 0.5),
    ("source short.kx\r", NO % "never ran" + r"short ran\r\n\r\n" + PROMPT,
     "the cut script's next lines do not run; the next script runs normally"),
    ("dev\r", r"dev> ", "dev enters the chip's environment"),
    ("dev\r", r"already in the dev environment.*dev> ", "dev inside dev refused"),
    # A pause first, as a person's: on a loaded machine an end-of-file typed
    # the instant the prompt shows was seen lost once (the line editor still
    # setting up the terminal).
    ([0.2, "\x04"], PROMPT, "Ctrl-D at dev> goes back to :)"),
    ("echo last\r", r"last\r\n", "echo last"),
]


def session(shell, home, table, *args, env=None, cwd=None):
    """Runs the steps in a new shell, then quit; the shell's exit status."""
    t = Term(shell, home, *args, env=env, cwd=cwd)
    check(t.expect(PROMPT), "prompt")
    steps(t, table)
    t.send("quit\r")
    return t.exit_status()


def keys(shell):
    shell = os.path.abspath(shell)
    with tempfile.TemporaryDirectory() as home:
        write(home, [("long.kx", "echo started\n" + "msleep 2000\n" * 3 + "echo never ran\n"),
                     ("short.kx", "echo short ran\n")])
        check(session(shell, home, SESSION, cwd=home) == 0, "quit ends the shell with status 0")
        history = os.path.join(home, ".kxshell_history")
        history_lines = lambda: open(history).read().replace("\\040", " ").splitlines()[1:]
        lines = history_lines()
        check(lines == ["echo hi", "msleep 60000", "echo hi", "source long.kx", "source short.kx",
                        "dev", "echo last", "quit"],
              "history file: no repeat in a row, no abandoned line: %r" % lines)
        session(shell, home, [("\x1b[A\x1b[A\r", r"last\r\n", "Up twice: echo last, read back")])
        session(shell, home, [("echo private\r", "private", "echo private")], "--no-history")
        check("private" not in open(history).read(), "--no-history leaves the file alone")

        # Lines reach the file as typed: a hangup loses nothing, shells merge, it stays bounded.
        os.remove(history)
        a, b = Term(shell, home), Term(shell, home)
        a.expect(PROMPT), b.expect(PROMPT)
        for term, line in [(a, "echo a1"), (b, "echo b1"), (a, "echo a2")]:
            term.send(line + "\r")
            term.expect(PROMPT)
        os.kill(a.pid, signal.SIGHUP), a.exit_status()
        b.send("quit\r"), b.exit_status()
        lines = history_lines()
        check(lines == ["echo a1", "echo b1", "echo a2", "quit"],
              "a hung-up shell and a second one both kept: %r" % lines)
        write(home, [(".kxshell_history",
                      "_HiStOrY_V2_\n" + "".join("echo\\040n%d\n" % i for i in range(1500)))])
        session(shell, home, [("\x1b[A\r", r"n1499\r\n", "Up: the last of 1500 lines")])
        lines = history_lines()
        check(len(lines) <= 502 and lines[-3:] == ["echo n1498", "echo n1499", "quit"],
              "the file is trimmed to the newest 500 lines: %d, %r" % (len(lines), lines[-3:]))
    for case, files, env, table in CASES:
        with tempfile.TemporaryDirectory() as home:
            write(home, files)
            check(session(shell, home, table, env=env, cwd=home) == 0, case + ": exit status 0")


# (name, files made in the home folder, environment, steps)
CASES = [
    # Only Ctrl-C interrupts a command, and the status after it starts a line.
    ("signals", [], None, [
        (["rc msleep 1500\r", 0.4, lambda t: t.resize(30, 100)], r"status 0x00000000",
         "a resize does not cut msleep short"),
        (["rc msleep 60000\r", 0.5, "\x03"], r"\nstatus 0xFFFFFFFF",
         "Ctrl-C cuts msleep short; its status starts a line"),
    ]),
    # Folders complete without a blank; a second Tab lists what a common
    # prefix left open; dev and rc complete their command line's words.
    ("tab keys", [("scripts/%s.kx" % n, "echo %s\n" % n) for n in ("booted", "burn1", "burn2")],
     None, [
        ("source scr\tboo\t\r", r"booted\r\n", "a completed folder takes no blank"),
        ("source scripts/bu\t", r"rn", "Tab completes the common prefix burn"),
        ("\t", r"burn1\.kx\s+scripts/burn2\.kx", "the second Tab lists the candidates"),
        ("2\t\r", r"\r\nburn2\r\n", "the line goes on after the list"),
        ("dev sta\t", r"tus", "dev completes a command of the chip"),
        ("\r", r"\r\nstatus 0x00: not locked", "the completed dev line runs"),
        ("rc ec\tx\r", r"\r\nx\r\n\r\nstatus", "rc completes a command of its own context"),
    ]),
    # A UTF-8 locale: typed and completed text keeps its characters.
    ("non-ASCII", [("d\u00e9/abc.kx", "echo ran\n")], {"LC_ALL": "C.UTF-8"}, [
        ("echo caf\u00e9\r", "\r\ncaf\u00e9\r\n", "echo caf\u00e9 prints it whole"),
        ("source d\u00e9/a\t\r", r"\r\nran\r\n", "Tab completes a path holding \u00e9"),
    ]),
]


if __name__ == "__main__":
    statuses(sys.argv[2], sys.argv[3:]) if sys.argv[1] == "statuses" else keys(sys.argv[2])
    sys.exit(1 if FAILS else 0)
