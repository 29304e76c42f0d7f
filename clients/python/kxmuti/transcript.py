"""What a stretch of work with one client did: the commands with their
results, and what the board said meanwhile, as text for a report or a log
file. It reads the client; any test runner can use it.

    t = Transcript(client)
    t.record(line, lambda: client.run(line))
    print(t.render_commands()); print(t.render_board_log())
    t.write("logs/test_x.log")   # both, interleaved in time order
"""

from __future__ import annotations

import time
from typing import Any, Callable

from .boardlog import Entry
from .errors import Error
from .results import Result, as_text
from .running import Running

OUTPUT_SHOWN = 2000  # bytes of each command's output shown


class Transcript:
    """Commands of one stretch of work (a test) and the board log of its span."""

    def __init__(self, client) -> None:
        self.client = client
        self.start = time.time()
        self.end: float | None = None
        self.events: list[tuple[float, str, Any]] = []  # (time, kind, what)

    def use(self, client) -> None:
        """Goes on with another client (the session was opened again)."""
        self.client = client
        self.events.append((time.time(), "note", f"new session with {client.target}"))

    def record(self, line: str | bytes, call: Callable[[], Any]) -> Any:
        """Runs ``call`` (which runs ``line``) and records it with its outcome."""
        sent = time.time()
        try:
            outcome = call()
        except Error as e:
            self.events.append((sent, "cmd", (line, getattr(e, "result", None) or e)))
            raise
        self.events.append((sent, "cmd", (line, outcome)))
        return outcome

    def record_many(self, lines, call: Callable[[], list]) -> list:
        """Runs ``call`` (run_many of ``lines``) and records each line."""
        sent = time.time()
        try:
            results = call()
        except Error as e:
            got = getattr(e, "results", None) or [None] * len(lines)
            for i, (line, r) in enumerate(zip(lines, got)):
                shown = r if r is not None else (e if i == getattr(e, "index", -1) else "not run")
                self.events.append((sent, "cmd", (line, shown)))
            raise
        for line, r in zip(lines, results):
            self.events.append((sent, "cmd", (line, r)))
        return results

    def started(self, running: Running) -> Running:
        self.events.append((running.started, "started", running))
        return running

    def finish(self) -> None:
        """Marks the end of the span, after taking what the board has sent."""
        try:
            if not self.client.closed:
                self.client.drain()
        except Error:
            pass
        self.client.board_log.flush()
        self.end = time.time()

    # ------------------------------------------------------------ text

    def board_log(self) -> list[Entry]:
        return self.client.board_log.since(self.start, self.end)

    def render_commands(self) -> str:
        return "\n".join(line for _, kind, what in self.events
                         for line in _render_event(kind, what, self.start))

    def render_board_log(self) -> str:
        return "\n".join(_render_entry(e, self.start) for e in self.board_log())

    def render(self) -> str:
        """Commands and board log, interleaved in time order."""
        items = [(t, 0, _render_event(kind, what, self.start)) for t, kind, what in self.events]
        items += [(e.time, 1, [_render_entry(e, self.start)]) for e in self.board_log()]
        items.sort(key=lambda item: (item[0], item[1]))
        return "\n".join(line for _, _, lines in items for line in lines)

    def write(self, path) -> None:
        with open(path, "w", encoding="utf-8") as f:
            f.write(f"# {self.client.target}, from {time.ctime(self.start)}; "
                    "seconds are counted from there\n")
            text = self.render()
            f.write(text + "\n" if text else "")


def _stamp(t: float, start: float) -> str:
    return f"[{t - start:8.3f}]"


def _render_entry(e: Entry, start: float) -> str:
    return f"{_stamp(e.time, start)} {e.kind:7} | {e.text.decode('utf-8', 'replace').rstrip()}"


def _render_event(kind: str, what, start: float) -> list[str]:
    if kind == "note":
        return [f"# {what}"]
    if kind == "started":
        return _render_started(what, start)
    line, outcome = what
    return [f"> {as_text(line)}"] + _render_outcome(outcome)


def _render_outcome(outcome) -> list[str]:
    if isinstance(outcome, Result):
        state = "ok" if outcome.ok else "FAILED"
        lines = [f"  status {outcome.status} (0x{outcome.status:08X}), {state}"
                 + (", cancelled" if outcome.cancelled else "")
                 + f", {outcome.seconds * 1000:.3f} ms"]
        for name, data in (("stdout", outcome.out), ("stderr", outcome.err)):
            if data:
                lines += _render_output(name, data)
        return lines
    if isinstance(outcome, str):
        return [f"  {outcome}"]
    return [f"  raised {type(outcome).__name__}: {outcome}"]


def _render_output(name: str, data: bytes) -> list[str]:
    text = data[:OUTPUT_SHOWN].decode("utf-8", "replace")
    lines = [f"  {name}:"] + [f"    {t}" for t in text.splitlines()]
    if len(data) > OUTPUT_SHOWN:
        lines.append(f"  ... {len(data) - OUTPUT_SHOWN} more bytes")
    return lines


def _render_started(running: Running, start: float) -> list[str]:
    lines = [f"> {as_text(running.line)}   (started)"]
    lines += [f"  {_stamp(t, start)} {what}" for t, what in running.history]
    if running.result is None and running.done:
        try:
            running.wait(0)
        except Error as e:
            return lines + [f"  raised {type(e).__name__}: {e}"]
    if running.result is not None:
        lines += _render_outcome(running.result)
    else:
        lines.append("  still running; output so far:" if running.output else "  still running")
        if running.output:
            lines += _render_output("stdout", running.output)[1:]
    return lines
