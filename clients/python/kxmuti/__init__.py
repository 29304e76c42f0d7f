"""kxmuti: the PC side of the kxMUti automation protocol.

    from kxmuti import Client
    with Client.spawn(["kxshell", "--serve"]) as kx:
        print(kx.check("md 80100000 2").text)
"""

from .boardlog import BoardLog, Entry
from .client import Client
from .errors import (AuthError, CommandFailed, Error, LineRejected, NoGreeting, OutputLost,
                     ProtocolError, ServerGone, Timeout, TransportError)
from .frame import Frame, Reader, encode
from .results import Completion, LogFrame, Result, Stats
from .running import Running

__all__ = [
    "Client", "Running", "Completion", "LogFrame", "Result", "Stats", "BoardLog", "Entry",
    "Frame", "Reader", "encode",
    "Error", "TransportError", "ServerGone", "NoGreeting", "ProtocolError", "AuthError",
    "LineRejected", "OutputLost", "Timeout", "CommandFailed",
]
__version__ = "0.1"
