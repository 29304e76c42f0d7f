"""A lock per board, held by whichever process on this machine drives it.

The lock is an flock on a file named after the board's identity (its target
string) in a folder of the user's own, so pytest workers and separate test
runs that name the same board, from the same map or another one, take turns.
The holder writes who it is into the file; a process that waits too long is
told who holds the board. The kernel drops the lock when its holder dies.
"""

from __future__ import annotations

import errno
import fcntl
import hashlib
import json
import os
import re
import socket
import sys
import tempfile
import time
from pathlib import Path

from .errors import Error


class LockTimeout(Error):
    """The board stayed locked by another process for the whole wait."""


def lock_dir() -> Path:
    """The folder of the locks: $KX_LOCK_DIR, else one of the user's own
    under $XDG_RUNTIME_DIR or the temporary folder (created mode 0700)."""
    given = os.environ.get("KX_LOCK_DIR")
    if given:
        return Path(given)
    base = os.environ.get("XDG_RUNTIME_DIR") or tempfile.gettempdir()
    d = Path(base) / f"kxmuti-locks-{os.getuid()}"
    try:
        d.mkdir(mode=0o700)
    except FileExistsError:
        pass
    st = d.lstat()
    # Another user could have made the folder first and watch or block our locks.
    if not d.is_dir() or d.is_symlink() or st.st_uid != os.getuid() or st.st_mode & 0o022:
        raise Error(f"{d}: not a folder of this user's own; set KX_LOCK_DIR")
    return d


def lock_path(identity: str, directory: Path | None = None) -> Path:
    """The lock file of a board: readable start of the identity, then its hash."""
    digest = hashlib.sha256(identity.encode()).hexdigest()[:16]
    slug = re.sub(r"[^A-Za-z0-9_.-]+", "_", identity)[:40].strip("_")
    return (directory or lock_dir()) / f"{slug}-{digest}.lock"


class BoardLock:
    """The lock of one board; ``acquire`` waits a bounded time."""

    def __init__(self, identity: str, directory: Path | None = None) -> None:
        self.identity = identity
        self.path = lock_path(identity, directory)
        self._fd: int | None = None

    @property
    def held(self) -> bool:
        return self._fd is not None

    def acquire(self, wait: float, board: str = "") -> float:
        """Takes the lock, waiting at most ``wait`` seconds; returns the seconds waited.

        Raises LockTimeout naming the holder when it is still taken then.
        """
        if self._fd is not None:
            raise Error(f"{self.identity}: lock already held by this process")
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        start = time.monotonic()
        pause = 0.01
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except OSError as e:
                if e.errno not in (errno.EWOULDBLOCK, errno.EAGAIN):
                    os.close(fd)
                    raise
            waited = time.monotonic() - start
            if waited >= wait:
                holder = self.holder()
                os.close(fd)
                raise LockTimeout(f"board {board or self.identity}: still in use after "
                                  f"{waited:.1f} s by {holder or 'another process'} "
                                  f"(lock {self.path})")
            time.sleep(min(pause, wait - waited))
            pause = min(pause * 2, 0.2)
        self._fd = fd
        self._write_holder(board)
        return time.monotonic() - start

    def _write_holder(self, board: str) -> None:
        info = {"pid": os.getpid(), "host": socket.gethostname(), "board": board,
                "since": time.strftime("%Y-%m-%d %H:%M:%S"), "command": " ".join(sys.argv)[:300]}
        os.ftruncate(self._fd, 0)
        os.pwrite(self._fd, json.dumps(info).encode() + b"\n", 0)

    def holder(self) -> str:
        """Who holds the board, as its holder wrote it ("" when nobody said)."""
        try:
            info = json.loads(self.path.read_text() or "{}")
        except (OSError, ValueError):
            return ""
        if not info:
            return ""
        return (f"pid {info.get('pid')} on {info.get('host')} since {info.get('since')} "
                f"({info.get('command')})")

    def release(self) -> None:
        if self._fd is None:
            return
        fd, self._fd = self._fd, None
        try:
            os.ftruncate(fd, 0)  # the next waiter must not read us as the holder
        finally:
            os.close(fd)  # closing drops the flock

    def __enter__(self) -> "BoardLock":
        return self

    def __exit__(self, *exc) -> None:
        self.release()
