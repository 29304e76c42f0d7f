"""A labgrid driver that runs commands on a kxMUti board over the protocol.

KxMUtiDriver binds to a ConsoleProtocol (labgrid's SerialDriver, say) and
gives the CommandProtocol: run, run_check, get_status, wait_for and
poll_until_success, so environments and strategies written for a shell
use a kxMUti board unchanged. Add ``kxmuti.labgrid`` to the environment's
``imports`` to register it.
"""

from __future__ import annotations

import logging

import attr
from labgrid.driver.commandmixin import CommandMixin
from labgrid.driver.common import Driver
from labgrid.factory import target_factory
from labgrid.protocol import CommandProtocol, ConsoleProtocol
from labgrid.step import step

from .client import Client, Result

STATUS_UNKNOWN = 0xFFFFFF02                 # no command of that name
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
    """

    bindings = {"console": ConsoleProtocol, }
    connect_timeout = attr.ib(default=10.0, validator=attr.validators.instance_of(float))
    poll = attr.ib(default=0.5, validator=attr.validators.instance_of(float))

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        self.logger = logging.getLogger(f"{self}:{self.target}")
        self._client: Client | None = None
        self._status = 0

    def on_activate(self):
        self._client = Client.console(self.console, connect_timeout=self.connect_timeout,
                                      poll=self.poll)
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
        (exact bytes, describe, completion)."""
        return self._client

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
