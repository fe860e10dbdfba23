"""Finding and loading the wsbridge shared library, with the C signatures of its functions."""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, ClassVar, Dict, List, Optional, Tuple, Union

if TYPE_CHECKING:
    from ._connection import Connection

if sys.platform == "win32":
    LIBRARY_FILE_NAME = "wsbridge.dll"
else:
    # The soname: what a program loads, present in every install (libwsbridge.so is only the
    # development link).
    LIBRARY_FILE_NAME = "libwsbridge.so.0"

LibraryPath = Union[str, "os.PathLike[str]"]

_i32 = ctypes.c_int32
_text = ctypes.c_void_p  # a NUL-terminated UTF-16 buffer, made by the caller
_buffer = ctypes.c_char_p  # a byte buffer the library writes into

# Every function the package calls, with its arguments and result. A library that lacks one of
# them is older than this package.
_SIGNATURES: Dict[str, Tuple[List[Any], Any]] = {
    "WsConnect": ([_text, _i32, _text, _i32], _i32),
    "WsDisconnect": ([], _i32),
    "WsGetStatus": ([], _i32),
    "WsGetLastError": ([_buffer, _i32], _i32),
    "WsSendMessage": ([_text], _i32),
    "WsHasMessages": ([], _i32),
    "WsReadMessage": ([_buffer, _i32], _i32),
    "WsWaitForMessage": ([_i32], _i32),
    "WsGetMessageLength": ([], _i32),
    "WsGetCloseStatus": ([_buffer, _i32], _i32),
    "WsConnectWithHeaders": ([_text, _i32, _text, _i32, _text], _i32),
}


def find_library(library: Optional[LibraryPath] = None) -> str:
    """The library a Connection loads: ``library`` itself when given (a path to the file);
    else the copy next to this package, if there is one; else the name LIBRARY_FILE_NAME
    (``libwsbridge.so.0``, or ``wsbridge.dll`` on Windows), which the system's loader looks up
    in its usual places (on Linux: LD_LIBRARY_PATH, then the installed libraries)."""
    if library is not None:
        return os.fspath(library)
    beside = Path(__file__).resolve().parent / LIBRARY_FILE_NAME
    if beside.is_file():
        return str(beside)
    return LIBRARY_FILE_NAME


def _load(path: str) -> ctypes.CDLL:
    if sys.platform == "win32":
        # The exports are __stdcall, which x64 treats as its one convention.
        return ctypes.WinDLL(path)
    return ctypes.CDLL(path)


class Library:
    """The functions of one loaded copy of the library, and what the package keeps beside them:
    the Connection that owns its one connection, and the lock that keeps reading a message's
    length and reading the message together."""

    _loaded: ClassVar[Dict[int, "Library"]] = {}
    _loading: ClassVar[threading.Lock] = threading.Lock()

    def __init__(self, dll: ctypes.CDLL, path: str) -> None:
        for name, (arguments, result) in _SIGNATURES.items():
            try:
                function = getattr(dll, name)
            except AttributeError:
                raise OSError(f"wsbridge: the library {path!r} has no {name}: it is not wsbridge, "
                              "or an older one than this package needs") from None
            function.argtypes = arguments
            function.restype = result
            setattr(self, name, function)
        self.path = path  # as given to the loader
        self.current: Optional[Connection] = None  # the Connection that owns the connection
        self.read_lock = threading.Lock()

    # The functions, as set in __init__ (declared for type checkers).
    WsConnect: Callable[[Any, int, Any, int], int]
    WsDisconnect: Callable[[], int]
    WsGetStatus: Callable[[], int]
    WsGetLastError: Callable[[Any, int], int]
    WsSendMessage: Callable[[Any], int]
    WsHasMessages: Callable[[], int]
    WsReadMessage: Callable[[Any, int], int]
    WsWaitForMessage: Callable[[int], int]
    WsGetMessageLength: Callable[[], int]
    WsGetCloseStatus: Callable[[Any, int], int]
    WsConnectWithHeaders: Callable[[Any, int, Any, int, Any], int]

    @classmethod
    def load(cls, library: Optional[LibraryPath] = None) -> "Library":
        """The library find_library(library) names, set up once per loaded copy: two names for
        the same file share one Library, as they share the library's one connection."""
        path = find_library(library)
        try:
            dll = _load(path)
        except OSError as error:
            raise OSError(f"wsbridge: cannot load the library {path!r} ({error}); give its path "
                          "with library=, or install it") from error
        with cls._loading:
            # The loader hands out one handle per loaded copy, whatever name found it.
            if dll._handle not in cls._loaded:
                cls._loaded[dll._handle] = cls(dll, path)
            return cls._loaded[dll._handle]
