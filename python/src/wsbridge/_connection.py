"""One WebSocket connection through the wsbridge library, over ctypes.

The library keeps one connection per process: opening a Connection ends the one opened before
it. receive() sleeps in the library until a message arrives (WsWaitForMessage) and reads each
message into a buffer of its own length (WsGetMessageLength), so nothing is ever cut. Every wait
has a time limit. Failures raise WsBridgeError, whose message is the library's status text (for
example "Server closed WebSocket connection").
"""

from __future__ import annotations

import ctypes
import time
from types import TracebackType
from typing import Iterable, Mapping, NoReturn, Optional, Tuple, Type, Union

from ._library import Library, LibraryPath

STATUS_DISCONNECTED = 0
STATUS_CONNECTING = 1
STATUS_CONNECTED = 2
STATUS_ERROR = 3

POLL_SECONDS = 0.005
# receive() waits in slices of at most this long, so that Ctrl-C is seen between two of them.
WAIT_SLICE_SECONDS = 0.5
STATUS_TEXT_CAPACITY = 512  # the library keeps at most 511 bytes
CLOSE_REASON_CAPACITY = 124  # a close reason is at most 123 bytes

Headers = Union[Mapping[str, str], Iterable[Tuple[str, str]]]


class WsBridgeError(Exception):
    """The connection failed or ended; str(error) is the library's status text. Once a
    connection has ended, close_code and close_reason say how (see Connection.close_status)."""

    def __init__(self, text: str, status: int, close_code: int = 0,
                 close_reason: str = "") -> None:
        super().__init__(text)
        self.text = text
        self.status = status
        self.close_code = close_code
        self.close_reason = close_reason


def _utf16(text: str) -> ctypes.Array[ctypes.c_char]:
    """str -> a NUL-terminated UTF-16 buffer, kept alive by the caller for the call."""
    return ctypes.create_string_buffer(text.encode("utf-16-le", "surrogatepass") + b"\0\0")


def _header_text(headers: Headers) -> str:
    """A mapping or (name, value) pairs -> 'Name: value' lines joined with CR LF."""
    pairs = headers.items() if isinstance(headers, Mapping) else headers
    return "\r\n".join(f"{name}: {value}" for name, value in pairs)


class Connection:
    """One WebSocket connection to ws://host:port/path (wss:// when secure), through the
    library that find_library(library) names.

    headers (a mapping or (name, value) pairs) go out on the upgrade request; a
    Sec-WebSocket-Protocol offer must be answered with one of the offered subprotocols.
    The constructor waits for the handshake. Raises ValueError for headers the library refuses,
    WsBridgeError if the handshake fails, TimeoutError if it does not finish within timeout
    seconds, OSError if the library cannot be loaded. Open and close connections from one thread
    at a time; send, receive and poll may be called from any thread.
    """

    def __init__(self, host: str, port: int, path: str = "/", secure: bool = False,
                 library: Optional[LibraryPath] = None, timeout: float = 10.0,
                 headers: Optional[Headers] = None) -> None:
        self._lib = Library.load(library)
        self._closed = False
        header_text = _header_text(headers) if headers else ""
        previous = self._lib.current
        if previous is not None:
            # WsConnect would end it too, but ending it first keeps the text it leaves behind
            # apart from the texts of this connection.
            previous.close()
        host_text, path_text = _utf16(host), _utf16(path)
        if header_text:
            started = self._lib.WsConnectWithHeaders(host_text, port, path_text,
                                                     1 if secure else 0, _utf16(header_text))
            if not started and self.status != STATUS_ERROR:
                self._closed = True
                raise ValueError("the library refused the headers: each is 'Name: value' in "
                                 "printable ASCII, none of those the handshake writes itself")
        else:
            self._lib.WsConnect(host_text, port, path_text, 1 if secure else 0)
        self._lib.current = self
        self._wait_until_connected(timeout)

    def _wait_until_connected(self, timeout: float) -> None:
        deadline = time.monotonic() + timeout
        while True:
            status = self.status
            if status == STATUS_CONNECTED:
                return
            if status == STATUS_ERROR:
                self._fail()
            # Status 0 also stands before the new worker has started. With a close status it
            # means the connection was open and has already ended: what it received is still
            # queued, and receive() raises once that has been read.
            if status == STATUS_DISCONNECTED and self.close_status[0] != 0:
                return
            if time.monotonic() >= deadline:
                self.close()
                raise TimeoutError(f"no connection after {timeout} s")
            time.sleep(POLL_SECONDS)

    @property
    def library(self) -> str:
        """The library this connection runs in, as it was given to the system's loader."""
        return self._lib.path

    @property
    def status(self) -> int:
        """The library's status code: STATUS_DISCONNECTED ... STATUS_ERROR."""
        return self._lib.WsGetStatus()

    @property
    def last_error(self) -> str:
        """The library's latest status or error text ("Connected" while all is well)."""
        text = ctypes.create_string_buffer(STATUS_TEXT_CAPACITY)
        length = self._lib.WsGetLastError(text, STATUS_TEXT_CAPACITY)
        return text.raw[:length].decode("latin-1")

    @property
    def close_status(self) -> Tuple[int, str]:
        """(code, reason) once the connection has ended: the server's close code (1000 to
        4999, 1005 for a close without a code) and its reason, or (1006, "") when no close frame
        came; (0, "") while the connection is open or being opened."""
        reason = ctypes.create_string_buffer(CLOSE_REASON_CAPACITY)
        code = self._lib.WsGetCloseStatus(reason, CLOSE_REASON_CAPACITY)
        return code, reason.value.decode("utf-8", "replace")

    def _fail(self) -> NoReturn:
        status, text = self.status, self.last_error
        code, reason = self.close_status
        self.close()
        raise WsBridgeError(text or "connection failed", status, code, reason)

    def _check_open(self) -> None:
        if self._closed:
            raise WsBridgeError("connection closed by this host", STATUS_DISCONNECTED)

    def send(self, text: str) -> None:
        """Sends text (a non-empty str) as one text message, UTF-8 on the wire."""
        self._check_open()
        if not text:
            raise ValueError("the library sends no empty messages")
        if "\0" in text:
            raise ValueError("the library's text ends at the first NUL character")
        if not self._lib.WsSendMessage(_utf16(text)):
            if self.status != STATUS_CONNECTED:
                self._fail()
            raise WsBridgeError("the transport refused the message", self.status)

    def poll(self) -> Optional[bytes]:
        """The oldest received message as bytes, whole, or None when none is queued."""
        if self._closed:
            return None
        with self._lib.read_lock:
            length = self._lib.WsGetMessageLength()
            if length < 0:
                return None
            buffer = ctypes.create_string_buffer(length + 1)
            read = self._lib.WsReadMessage(buffer, length + 1)
            return buffer.raw[:read]

    def receive(self, timeout: float = 10.0) -> bytes:
        """Waits for the next message and returns its bytes. Raises WsBridgeError once the
        connection has ended and nothing is left to read, TimeoutError after timeout seconds."""
        self._check_open()
        deadline = time.monotonic() + timeout
        while True:
            message = self.poll()
            if message is not None:
                return message
            if self.status != STATUS_CONNECTED:
                message = self.poll()  # what arrived before the end stays readable
                if message is not None:
                    return message
                self._fail()
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"no message within {timeout} s")
            # Returns at once with a message, and with 0 once the connection has ended.
            self._lib.WsWaitForMessage(max(1, int(min(remaining, WAIT_SLICE_SECONDS) * 1000)))

    def close(self) -> None:
        """Closes the WebSocket with status 1000 and ends the library's worker. Idempotent."""
        if self._closed:
            return
        self._closed = True
        if self._lib.current is self:
            self._lib.WsDisconnect()
            self._lib.current = None

    def __enter__(self) -> Connection:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()
