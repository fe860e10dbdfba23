"""A Python host for the wsbridge library on Linux, over ctypes.

    from wsbridge import Connection

    with Connection("127.0.0.1", 8765, "/chat", library="/path/to/libwsbridge.so") as ws:
        ws.send("Grüße")                  # str, sent as one text message
        reply = ws.receive(timeout=5.0)   # bytes, exactly as the server sent them
        print(reply.decode("utf-8"))

The library keeps one connection per process: opening a Connection ends the one opened before
it. Every wait polls with a short sleep and has a time limit. Failures raise WsBridgeError,
whose message is the library's status text (for example "Server closed WebSocket connection").
"""

import ctypes
import time

STATUS_DISCONNECTED = 0
STATUS_CONNECTING = 1
STATUS_CONNECTED = 2
STATUS_ERROR = 3

POLL_SECONDS = 0.005
STATUS_TEXT_CAPACITY = 512  # the library keeps at most 511 bytes
DEFAULT_MAX_MESSAGE_BYTES = 16 * 1024 * 1024


class WsBridgeError(Exception):
    """The connection failed or ended; str(error) is the library's status text."""

    def __init__(self, text, status):
        super().__init__(text)
        self.text = text
        self.status = status


def _utf16(text):
    """str -> a NUL-terminated UTF-16 buffer, kept alive by the caller for the call."""
    return ctypes.create_string_buffer(text.encode("utf-16-le", "surrogatepass") + b"\0\0")


class _Library:
    """The seven functions of one loaded copy of the library, with their C signatures."""

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
        }
        for name, (arguments, result) in signatures.items():
            function = getattr(dll, name)
            function.argtypes = arguments
            function.restype = result
            setattr(self, name, function)
        self.current = None  # the Connection that owns the library's one connection

    @classmethod
    def load(cls, path):
        if path not in cls._loaded:
            cls._loaded[path] = cls(path)
        return cls._loaded[path]


class Connection:
    """One WebSocket connection through the library. Raises WsBridgeError if the handshake fails
    or does not finish within timeout seconds."""

    def __init__(self, host, port, path="/", secure=False, library="libwsbridge.so",
                 timeout=10.0, max_message_bytes=DEFAULT_MAX_MESSAGE_BYTES):
        self._lib = _Library.load(library)
        self._buffer = ctypes.create_string_buffer(max_message_bytes + 1)
        self._closed = False
        previous = self._lib.current
        if previous is not None:
            # WsConnect would end it too, but ending it first keeps the text it leaves behind
            # apart from the texts of this connection.
            previous.close()
        self._lib.current = self
        text_before = self.last_error
        host_text, path_text = _utf16(host), _utf16(path)
        self._lib.WsConnect(host_text, port, path_text, 1 if secure else 0)
        self._wait_until_connected(timeout, text_before)

    def _wait_until_connected(self, timeout, text_before):
        deadline = time.monotonic() + timeout
        while True:
            status = self.status
            if status == STATUS_CONNECTED:
                return
            if status == STATUS_ERROR:
                self._fail()
            # Status 0 also stands before the new worker has started. With a new text it means
            # the connection was open and has already ended: what it received is still queued,
            # and receive() raises once that has been read.
            if status == STATUS_DISCONNECTED and self.last_error != text_before:
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

    def _fail(self):
        status, text = self.status, self.last_error
        self.close()
        raise WsBridgeError(text or "connection failed", status)

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
        """The oldest received message as bytes, or None when none is queued."""
        if self._closed or not self._lib.WsHasMessages():
            return None
        length = self._lib.WsReadMessage(self._buffer, len(self._buffer))
        return ctypes.string_at(self._buffer, length)

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
            if time.monotonic() >= deadline:
                raise TimeoutError(f"no message within {timeout} s")
            time.sleep(POLL_SECONDS)

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
