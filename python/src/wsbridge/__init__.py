"""wsbridge: one WebSocket client connection for a Python program, through the wsbridge library.

    from wsbridge import Connection

    with Connection("127.0.0.1", 8765, "/chat", headers={"Authorization": "Bearer abc"}) as ws:
        ws.send("Grüße")                  # str, sent as one text message
        reply = ws.receive(timeout=5.0)   # bytes, exactly as the server sent them
        print(reply.decode("utf-8"))
    print(ws.close_status)                # (1000, "") once the connection has ended

The library is the one given as library= (a path), else the copy next to this package, else the
installed libwsbridge.so.0 (wsbridge.dll on Windows): see find_library.
"""

from importlib.metadata import PackageNotFoundError, version

from ._connection import (STATUS_CONNECTED, STATUS_CONNECTING, STATUS_DISCONNECTED, STATUS_ERROR,
                          Connection, Headers, WsBridgeError)
from ._library import LIBRARY_FILE_NAME, LibraryPath, find_library

try:
    __version__ = version("wsbridge")
except PackageNotFoundError:  # used from a copy that was not installed
    __version__ = "unknown"

__all__ = [
    "Connection",
    "WsBridgeError",
    "Headers",
    "LibraryPath",
    "find_library",
    "LIBRARY_FILE_NAME",
    "STATUS_DISCONNECTED",
    "STATUS_CONNECTING",
    "STATUS_CONNECTED",
    "STATUS_ERROR",
    "__version__",
]
