"""A Python host for the wsbridge library on Linux, over ctypes.

    from wsbridge import Connection

    with Connection("127.0.0.1", 8765, "/chat", library="/path/to/libwsbridge.so",
                    headers={"Authorization": "Bearer abc"}) as ws:
        ws.send("Grüße")                  # str, sent as one text message
        reply = ws.receive(timeout=5.0)   # bytes, exactly as the server sent them
        print(reply.decode("utf-8"))
    print(ws.close_status)                # (1000, "") once the connection has ended

The library keeps one connection per process: opening a Connection ends the one opened before
it. receive() sleeps in the library until a message arrives (WsWaitForMessage) and reads each
message into a buffer of its own length (WsGetMessageLength), so nothing is ever cut. Every wait
has a time limit. Failures raise WsBridgeError, whose message is the library's status text (for
example "Server closed WebSocket connection").
"""

import ctypes
import threading
import time

STATUS_DISCONNECTED = 0
STATUS_CONNECTING = 1
STATUS_CONNECTED = 2
STATUS_ERROR = 3

POLL_SECONDS = 0.005
# receive() waits in slices of at most this long, so that Ctrl-C is seen between two of them.
WAIT_SLICE_SECONDS = 0.5
STATUS_TEXT_CAPACITY = 512  # the library keeps at most 511 bytes
CLOSE_REASON_CAPACITY = 124  # a close reason is at most 123 bytes


class WsBridgeError(Exception):
    """The connection failed or ended; str(error) is the library's status text. Once a
    connection has ended, close_code and close_reason say how (see Connection.close_status)."""

    def __init__(self, text, status, close_code=0, close_reason=""):
        super().__init__(text)
        self.text = text
        self.status = status
        self.close_code = close_code
        self.close_reason = close_reason


def _utf16(text):
    """str -> a NUL-terminated UTF-16 buffer, kept alive by the caller for the call."""
    return ctypes.create_string_buffer(text.encode("utf-16-le", "surrogatepass") + b"\0\0")


def _header_text(headers):
    """A dict or a sequence of (name, value) pairs -> 'Name: value' lines joined with CR LF."""
    pairs = headers.items() if hasattr(headers, "items") else headers
    return "\r\n".join(f"{name}: {value}" for name, value in pairs)


class _Library:
    """The functions of one loaded copy of the library, with their C signatures."""

    _loaded = {}

    def __init__(self, path):
        dll = ctypes.CDLL(path)
        i32, text, buffer = ctypes.c_int32, ctypes.c_void_p, ctypes.c_char_p
        signatures = {
            "WsConnect": ([text, i32, text, i32], i32),
            "WsDisconnect": ([], i32),
            "WsGetStatus": ([], i32),
            "WsGetLastError": ([buffer, i32], i32),
            "WsSendMessage": ([text], i32),
            "WsHasMessages": ([], i32),
            "WsReadMessage": ([buffer, i32], i32),
            "WsWaitForMessage": ([i32], i32),
            "WsGetMessageLength": ([], i32),
            "WsGetCloseStatus": ([buffer, i32], i32),
            "WsConnectWithHeaders": ([text, i32, text, i32, text], i32),
        }
        for name, (arguments, result) in signatures.items():
            function = getattr(dll, name)
            function.argtypes = arguments
            function.restype = result
            setattr(self, name, function)
        self.current = None  # the Connection that owns the library's one connection
        # Taking a message's length and then reading it must not be split by another reader.
        self.read_lock = threading.Lock()

    @classmethod
    def load(cls, path):
        if path not in cls._loaded:
            cls._loaded[path] = cls(path)
        return cls._loaded[path]


class Connection:
    """One WebSocket connection through the library. headers (a dict or (name, value) pairs)
    go out on the upgrade request; a Sec-WebSocket-Protocol offer must be answered with one of
    the offered subprotocols. Raises ValueError for headers the library refuses, WsBridgeError
    if the handshake fails, TimeoutError if it does not finish within timeout seconds."""

    def __init__(self, host, port, path="/", secure=False, library="libwsbridge.so",
                 timeout=10.0, headers=None):
        self._lib = _Library.load(library)
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

    def _wait_until_connected(self, timeout):
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
    def status(self):
        """The library's status code: STATUS_DISCONNECTED ... STATUS_ERROR."""
        return self._lib.WsGetStatus()

    @property
    def last_error(self):
        """The library's latest status or error text ("Connected" while all is well)."""
        text = ctypes.create_string_buffer(STATUS_TEXT_CAPACITY)
        length = self._lib.WsGetLastError(text, STATUS_TEXT_CAPACITY)
        return text.raw[:length].decode("latin-1")

    @property
    def close_status(self):
        """(code, reason) once the connection has ended: the server's close code (1000 to
        4999, 1005 for a close without a code) and its reason, or (1006, "") when no close frame
        came; (0, "") while the connection is open or being opened."""
        reason = ctypes.create_string_buffer(CLOSE_REASON_CAPACITY)
        code = self._lib.WsGetCloseStatus(reason, CLOSE_REASON_CAPACITY)
        return code, reason.value.decode("utf-8", "replace")

    def _fail(self):
        status, text = self.status, self.last_error
        code, reason = self.close_status
        self.close()
        raise WsBridgeError(text or "connection failed", status, code, reason)

    def _check_open(self):
        if self._closed:
            raise WsBridgeError("connection closed by this host", STATUS_DISCONNECTED)

    def send(self, text):
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

    def poll(self):
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

    def receive(self, timeout=10.0):
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

    def close(self):
        """Closes the WebSocket with status 1000 and ends the library's worker. Idempotent."""
        if self._closed:
            return
        self._closed = True
        if self._lib.current is self:
            self._lib.WsDisconnect()
            self._lib.current = None

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()
