"""kxmuti: the PC side of the kxMUti automation protocol.

    from kxmuti import Client
    with Client.spawn(["kxshell", "--serve"]) as kx:
        print(kx.check("md 80100000 2").text)
"""

from .client import Client, Completion, LogFrame, Result, Stats
from .errors import (AuthError, CommandFailed, Error, LineRejected, OutputLost, ProtocolError,
                     ServerGone, Timeout, TransportError)
from .frame import Frame, Reader, encode

__all__ = [
    "Client", "Completion", "LogFrame", "Result", "Stats", "Frame", "Reader", "encode",
    "Error", "TransportError", "ServerGone", "ProtocolError", "AuthError", "LineRejected",
    "OutputLost", "Timeout", "CommandFailed",
]
__version__ = "0.1"
