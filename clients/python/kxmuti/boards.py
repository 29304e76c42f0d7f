"""The board map: a rack's boards by name, read from a YAML file.

    boards:
      stb1:
        target: serial:/dev/ttyUSB0@115200
        type: stb-a
        labels: [tuner, rev-b]
      stb2:
        target: tcp:10.0.0.7:5025
        token_file: tokens/stb2
        type: stb-b
      stb3:
        labgrid: lab/stb3.yaml
        role: main
        type: stb-a

Every entry is checked when the map is read: a bad one raises BoardMapError
naming the file, the board and the field. Paths in entries (``token_file``,
``labgrid``) are taken from the map's folder. Needs Debian's python3-yaml.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence

from .errors import Error

FIELDS = ("target", "token_file", "labgrid", "role", "type", "labels")
TARGET_KINDS = ("spawn", "tcp", "serial")
_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.+-]*")  # also a folder name and a test id


class BoardMapError(Error, ValueError):
    """The board map cannot be used; the message names the file, board and field."""


@dataclass
class BoardEntry:
    """One board of the map, as checked."""

    name: str
    type: str
    labels: tuple[str, ...]
    entry: dict[str, Any]          #: the map's entry, as written
    target: str | None = None      #: the client's target string (None: a labgrid board)
    token_file: Path | None = None
    labgrid: Path | None = None    #: the labgrid environment file
    role: str | None = None        #: the target's name in that file

    @property
    def identity(self) -> str:
        """What names the hardware, whichever map or run names the board:
        its target string, or its labgrid file and role."""
        if self.target is not None:
            return self.target
        return f"labgrid:{self.labgrid}#{self.role}"

    def matches(self, type: str | Sequence[str] | None = None,
                labels: str | Sequence[str] | None = None) -> bool:
        """True when the board is of one of the types and carries every label."""
        if type is not None and self.type not in _words(type):
            return False
        return labels is None or set(_words(labels)) <= set(self.labels)

    def __repr__(self) -> str:  # shown in pytest's ids and reports
        return f"BoardEntry({self.name!r})"


def _words(value: str | Sequence[str]) -> tuple[str, ...]:
    return (value,) if isinstance(value, str) else tuple(value)


def select(boards: Iterable[BoardEntry], type: str | Sequence[str] | None = None,
           labels: str | Sequence[str] | None = None) -> list[BoardEntry]:
    """The boards of one of the types (any) that carry all the labels, in map order."""
    return [b for b in boards if b.matches(type, labels)]


# ------------------------------------------------------------------ reading


def load(path: str | os.PathLike) -> list[BoardEntry]:
    """Reads and checks a board map; the boards in the file's order."""
    path = Path(path)
    try:
        text = path.read_text()
    except OSError as e:
        raise BoardMapError(f"{path}: cannot read the board map: {e.strerror}") from e
    return parse(text, path)


def parse(text: str, path: Path) -> list[BoardEntry]:
    """Checks a board map's text; ``path`` names it in messages and is where
    relative paths start from."""
    data = _yaml(text, path)
    if not isinstance(data, dict) or set(data) != {"boards"}:
        raise BoardMapError(f"{path}: expected one top-level key, boards:, "
                            "mapping names to entries")
    entries = data["boards"]
    if not isinstance(entries, dict) or not entries:
        raise BoardMapError(f"{path}: boards: expected a mapping of board names to entries")
    boards = [_board(path, name, entry) for name, entry in entries.items()]
    _check_distinct(path, boards)
    return boards


def _yaml(text: str, path: Path) -> Any:
    import yaml

    class Loader(yaml.SafeLoader):
        """Refuses a key given twice: YAML would keep only the last entry."""

    def mapping(loader, node, deep=False):
        seen = set()
        for key_node, _ in node.value:
            key = loader.construct_object(key_node, deep=deep)
            if key in seen:
                raise BoardMapError(f"{path}:{key_node.start_mark.line + 1}: {key!r} given twice")
            seen.add(key)
        return yaml.SafeLoader.construct_mapping(loader, node, deep)

    Loader.add_constructor(yaml.resolver.BaseResolver.DEFAULT_MAPPING_TAG, mapping)
    try:
        return yaml.load(text, Loader=Loader)  # noqa: S506 - a SafeLoader
    except yaml.MarkedYAMLError as e:
        mark = e.problem_mark
        where = f":{mark.line + 1}:{mark.column + 1}" if mark else ""
        raise BoardMapError(f"{path}{where}: not valid YAML: {e.problem or e.context}") from None
    except yaml.YAMLError as e:
        raise BoardMapError(f"{path}: not valid YAML: {e}") from None


def _board(path: Path, name: Any, entry: Any) -> BoardEntry:
    if not isinstance(name, str) or not _NAME.fullmatch(name):
        raise BoardMapError(f"{path}: board {name!r}: a name is letters, digits and . _ + - "
                            "(it names the test ids and the log folders)")

    def bad(fld: str, problem: str) -> BoardMapError:
        return BoardMapError(f"{path}: board {name!r}: {fld}: {problem}")

    if not isinstance(entry, dict):
        raise bad("entry", "expected a mapping of fields (target or labgrid, type, labels)")
    for key in entry:
        if key not in FIELDS:
            raise bad(str(key), f"unknown field (known: {', '.join(FIELDS)})")
    text = {k: _text(entry, k, bad) for k in ("target", "token_file", "labgrid", "role", "type")}
    if text["type"] is None:
        raise bad("type", "missing (the kind of board, for selecting boards by type)")
    board = BoardEntry(name=name, type=text["type"], labels=_labels(entry, bad), entry=dict(entry))
    if (text["target"] is None) == (text["labgrid"] is None):
        raise bad("target", "give either target: or labgrid: with role:")
    if text["target"] is not None:
        board.target = _target(text["target"], bad)
        if text["role"] is not None:
            raise bad("role", "only for a labgrid board")
    else:
        board.labgrid = _existing(path, text["labgrid"], bad("labgrid", "no such file"))
        if text["role"] is None:
            raise bad("role", "missing (the target's name in the labgrid environment)")
        board.role = text["role"]
    if text["token_file"] is not None:
        board.token_file = _existing(path, text["token_file"], bad("token_file", "no such file"))
    return board


def _text(entry: dict, key: str, bad: Callable[[str, str], BoardMapError]) -> str | None:
    value = entry.get(key)
    if value is not None and (not isinstance(value, str) or not value.strip()):
        raise bad(key, f"expected text, got {value!r}")
    return value


def _labels(entry: dict, bad: Callable[[str, str], BoardMapError]) -> tuple[str, ...]:
    labels = entry.get("labels", [])
    if not isinstance(labels, list) or not all(isinstance(x, str) and x for x in labels):
        raise bad("labels", f"expected a list of words, got {labels!r}")
    return tuple(labels)


def _target(target: str, bad: Callable[[str, str], BoardMapError]) -> str:
    kind, sep, rest = target.partition(":")
    if kind not in TARGET_KINDS or not sep or not rest.strip():
        raise bad("target", f"{target!r}: expected spawn:COMMAND, tcp:HOST:PORT or serial:PORT")
    if kind == "tcp":
        host, _, port = rest.rpartition(":")
        if not host or not port.isdigit():
            raise bad("target", f"{target!r}: expected tcp:HOST:PORT")
    if kind == "serial" and "://" not in rest:
        device = rest.partition("@")[0]
        # A local device by its real name: a by-id link and its tty are one board.
        return f"serial:{os.path.realpath(device)}{rest[len(device):]}"
    return target


def _existing(base: Path, name: str, missing: BoardMapError) -> Path:
    p = Path(name).expanduser()
    p = p if p.is_absolute() else base.resolve().parent / p
    if not p.is_file():
        raise BoardMapError(f"{missing}: {p}")
    return p


def _check_distinct(path: Path, boards: list[BoardEntry]) -> None:
    seen: dict[str, str] = {}
    for b in boards:
        other = seen.setdefault(b.identity, b.name)
        if other != b.name:
            raise BoardMapError(f"{path}: board {b.name!r}: target: the same board as {other!r} "
                                f"({b.identity}); a board is driven by one test at a time")

