"""labgrid: a driver that runs commands on a kxMUti board over the protocol,
and a strategy that gets a board from power-off to serving it.

KxMUtiDriver binds to a ConsoleProtocol (labgrid's SerialDriver, say) and
gives the CommandProtocol: run, run_check, get_status, wait_for and
poll_until_success, so environments and strategies written for a shell
use a kxMUti board unchanged. KxMUtiStrategy moves a board between off,
its login shell and a session of the serve command. Add ``kxmuti.labgrid``
to the environment's ``imports`` to register both.
"""

from __future__ import annotations

import enum
import logging

import attr
from labgrid.driver.commandmixin import CommandMixin
from labgrid.driver.common import Driver
from labgrid.factory import target_factory
from labgrid.protocol import CommandProtocol, ConsoleProtocol
from labgrid.step import step
from labgrid.strategy.common import Strategy, StrategyError

from .client import Client
from .results import STATUS_UNKNOWN, Result

STATUS_ARGS = range(0xFFFFFF03, 0xFFFFFF07)  # the words do not fit the command


def exit_code(result: Result) -> int:
    """The example shell's exit status for a result: 127 unknown command,
    2 bad arguments, 1 any other failure, 0 success."""
    if result.status == STATUS_UNKNOWN:
        return 127
    if result.status in STATUS_ARGS:
        return 2
    return 1 if result.failed else 0


@target_factory.reg_driver
@attr.s(eq=False)
class KxMUtiDriver(CommandMixin, Driver, CommandProtocol):
    """Runs kxMUti command lines through the automation protocol.

    Args:
        connect_timeout (float): seconds to wait for the server's greeting
        poll (float): seconds of silence before the client asks again
        gone_after (float): seconds a board that answers nothing is given
            before the client's ServerGone
    """

    bindings = {"console": ConsoleProtocol, }
    connect_timeout = attr.ib(default=5.0, converter=float)
    poll = attr.ib(default=0.5, converter=float)
    gone_after = attr.ib(default=3.0, converter=float)
    #: Ask for the greeting at once (the server has long been up). The
    #: strategy clears it when it has just started the server, whose own
    #: greeting then comes unasked.
    hello = attr.ib(default=True, converter=bool)

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        self.logger = logging.getLogger(f"{self}:{self.target}")
        self._client: Client | None = None
        self._status = 0

    def on_activate(self):
        self._client = Client.console(self.console, connect_timeout=self.connect_timeout,
                                      poll=self.poll, gone_after=self.gone_after,
                                      hello=self.hello)
        self._status = 1

    def on_deactivate(self):
        # The server on the console outlives the driver: leave its session open.
        if self._client is not None:
            self._client.close(end_session=False)
        self._client = None
        self._status = 0

    @property
    def client(self) -> Client:
        """The protocol client, for what CommandProtocol does not cover
        (exact bytes, describe, completion, start, the board log)."""
        return self._client

    @Driver.check_active
    @step()
    def end_session(self):
        """Ends the server's session (B): a server started from a shell
        exits, and the console is the shell's again."""
        self._client.close(end_session=True)

    def _run(self, cmd, *, timeout=30.0, codec="utf-8", decodeerrors="strict"):
        result = self._client.run(cmd, timeout=timeout)
        self.logger.debug("%r: status %d, %d+%d bytes", cmd, result.status,
                          len(result.out), len(result.err))
        out = result.out.decode(codec, decodeerrors).splitlines()
        err = result.err.decode(codec, decodeerrors).splitlines()
        return (out, err, exit_code(result))

    @Driver.check_active
    @step(args=['cmd'], result=True)
    def run(self, cmd, timeout=30.0, codec="utf-8", decodeerrors="strict"):
        """Runs a line; returns (stdout lines, stderr lines, exit code)."""
        return self._run(cmd, timeout=timeout, codec=codec, decodeerrors=decodeerrors)

    @Driver.check_active
    @step(args=['cmd'])
    def run_result(self, cmd, timeout=30.0) -> Result:
        """Runs a line; returns the client's Result (status, exact bytes)."""
        return self._client.run(cmd, timeout=timeout)

    @step()
    def get_status(self):
        """1 while a session is open, 0 otherwise."""
        return self._status


class Status(enum.Enum):
    unknown = 0
    off = 1
    shell = 2
    kx = 3


@target_factory.reg_driver
@attr.s(eq=False)
class KxMUtiStrategy(Strategy):
    """Puts a kxMUti board into one of three states.

    ``off``: powered off. ``shell``: powered on and logged in at its shell
    (labgrid's ShellDriver). ``kx``: the serve command started from that
    shell on the console, its session held by KxMUtiDriver. Going from
    ``kx`` back to ``shell`` ends the session, so the server exits and the
    board is at its shell prompt again.

    Args:
        serve_command (str): what the shell runs to serve the protocol on
            its console (default "kxshell --serve")
    """

    bindings = {
        "power": "PowerProtocol",
        "console": "ConsoleProtocol",
        "shell": "ShellDriver",
        "kx": "KxMUtiDriver",
    }
    status = attr.ib(default=Status.unknown)
    serve_command = attr.ib(default="kxshell --serve", validator=attr.validators.instance_of(str))

    @step(args=['status'])
    def transition(self, status, *, step):
        if not isinstance(status, Status):
            status = Status[status]
        if status == Status.unknown:
            raise StrategyError(f"can not transition to {status}")
        if status == self.status:
            step.skip("nothing to do")
            return
        if status == Status.off:
            self._off()
        elif status == Status.shell:
            self._shell()
        elif status == Status.kx:
            self._kx()
        self.status = status

    def _off(self):
        self.target.deactivate(self.kx)
        self.target.deactivate(self.shell)
        self.target.deactivate(self.console)
        self.target.activate(self.power)
        self.power.off()

    def _shell(self):
        if self.status == Status.kx:
            self.kx.end_session()
            self.target.deactivate(self.kx)
            # Log in again only if the shell is gone; its prompt is checked either way.
            self.target.deactivate(self.shell)
            self.target.activate(self.shell)
            return
        self._off()
        self.target.activate(self.console)
        self.power.on()
        self.target.activate(self.shell)

    def _kx(self):
        if self.status != Status.shell:
            self._shell()
            self.status = Status.shell
        self.console.write(self.serve_command.encode() + b"\n")
        hello, self.kx.hello = self.kx.hello, False
        try:
            self.target.activate(self.kx)
        finally:
            self.kx.hello = hello

    @step(args=['status'])
    def force(self, status, *, step):
        """Takes the board to be in ``status`` already, activating its drivers."""
        if not isinstance(status, Status):
            status = Status[status]
        if status == Status.unknown:
            raise StrategyError(f"can not force state {status}")
        self.target.activate(self.power)
        if status in (Status.shell, Status.kx):
            self.target.activate(self.shell)
        if status == Status.kx:
            self.target.activate(self.kx)
        self.status = status
