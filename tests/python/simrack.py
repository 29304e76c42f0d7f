"""A rack of four simulated boards on this machine, and its board map.

Two boards spawn the shell per session (``spawn:``), one is a shell
listening on loopback TCP with a token, one is a shell serving a
pseudo-terminal that Debian's ser2net exports over RFC 2217 on loopback,
as labs export UARTs. The TCP board is of another type. Also used by
benchmarks/bench_boards.py.
"""

from __future__ import annotations

import json
import shlex
import subprocess
from pathlib import Path

from conftest import Listener, PtyServer, Ser2net, ser2net_program

MAP_TEMPLATE = """\
boards:
  stb1:
    target: {stb1}
    type: stb-a
    labels: [tuner]
  stb2:
    target: {stb2}
    type: stb-a
    labels: [tuner, usb]
  net1:
    target: {net1}
    token_file: net1.token
    type: stb-b
    labels: [network]
  uart1:
    target: {uart1}
    type: stb-a
    labels: [ser2net]
"""


class SimRack:
    """The four boards; ``map`` is the board map's path."""

    def __init__(self, shell_argv: list[str], folder: Path) -> None:
        self.folder = folder
        serve = shell_argv + ["--serve"]
        token = folder / "net1.token"
        subprocess.run(shell_argv + ["--make-token", str(token)], check=True, timeout=60)
        self.parts: list = []
        ser2net = ser2net_program()
        if ser2net is None:
            raise RuntimeError("ser2net is not installed (Debian package ser2net)")
        try:
            self.net1 = self._keep(Listener(shell_argv, ["--token-file", str(token)]))
            self.console = self._keep(PtyServer(serve))
            self.ser2net = self._keep(Ser2net(ser2net, self.console.path, folder))
        except BaseException:
            self.close()
            raise
        # Each spawned board names itself in its environment: one command, one board.
        targets = {name: "spawn:" + shlex.join(["env", f"KX_SIM_BOARD={folder}/{name}"] + serve)
                   for name in ("stb1", "stb2")}
        # ign_set_control: a pseudo-terminal has no modem lines to set.
        targets.update(net1=f"tcp:127.0.0.1:{self.net1.port}",
                       uart1=f"serial:rfc2217://127.0.0.1:{self.ser2net.rfc2217}?ign_set_control")
        # JSON strings are YAML strings: any command or path reads back as written.
        self.text = MAP_TEMPLATE.format(**{k: json.dumps(v) for k, v in targets.items()})
        self.map = folder / "boards.yaml"
        self.map.write_text(self.text)

    def _keep(self, part):
        self.parts.append(part)
        return part

    def close(self) -> None:
        for part in reversed(self.parts):
            part.close()
        self.parts = []

    def __enter__(self) -> "SimRack":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
