"""Loading of the PELMORAERRI library and its nine exports, as thin functions returning bytes.

The library is looked for on first use, once per process:

1. the file named by the environment variable PELMORAERRI_LIBRARY, and nothing else when it is
   set: a station that names its library must not silently get another one;
2. the library in this package's directory;
3. the system loader's search (ctypes.util.find_library, then the plain file names).

Every export returns a pointer into a text the library keeps per calling thread; ctypes copies it
into a new bytes object (restype c_char_p) before the call returns, so no caller ever holds the
library's buffer.
"""

import ctypes
import ctypes.util
import operator
import os
import struct
import sys
import threading
from typing import Callable, List, Optional, Tuple, Union

BytesLike = Union[bytes, bytearray, memoryview]

ENVIRONMENT_VARIABLE = "PELMORAERRI_LIBRARY"

# Bytes each decoder reads, counted from the type byte.
PKT_FA_LENGTH = 2
PKT_FB_HEADER_LENGTH = 3  # plus the count held in byte 2
PKT_FD_LENGTH = 8
# The most any decoder reads: an 0xFB packet with 255 listed bytes. Packets are handed over in a
# zero-padded buffer at least this long.
LONGEST_READ = PKT_FB_HEADER_LENGTH + 255

_ERROR_FUNCTIONS = (
    "GetErrorMessageinformationRTX",
    "GetEglishErrorMessageinformationRTX",
    "GetChineseErrorMessageinformationRTX",
)
_STATUS_FUNCTIONS = (
    "GetStatuInfomationStrRT",
    "GetPktFAxStatuInfomationStrRT",
    "GetPktFBxStatuInfomationStrRT",
    "GetPktFCxStatuInfomationStrRT",
    "GetPktFDxStatuInfomationStrRT",
    "GetPktFExStatuInfomationStrRT",
)


class LibraryNotFoundError(OSError):
    """No PELMORAERRI library could be loaded; the message lists every place tried and why."""


LibraryNotFoundError.__module__ = "pelmoraerri"


def _library_file_names() -> Tuple[str, ...]:
    if sys.platform == "win32":
        return ("PELMORAERRI.dll",)
    if sys.platform == "darwin":
        return ("libPELMORAERRI.1.dylib", "libPELMORAERRI.dylib")
    return ("libPELMORAERRI.so.1", "libPELMORAERRI.so")


def _loader() -> Callable[[str], ctypes.CDLL]:
    # Only the 32-bit Windows library uses stdcall; Win64 has one convention, which CDLL uses.
    if sys.platform == "win32" and struct.calcsize("P") == 4:
        return ctypes.WinDLL  # type: ignore[attr-defined]
    return ctypes.CDLL


def _declare(library: ctypes.CDLL) -> None:
    for name in _ERROR_FUNCTIONS:
        function = getattr(library, name)
        # Only GetErrorMessageinformationRTX takes the language as a second argument.
        function.argtypes = [ctypes.c_uint] * (2 if name == _ERROR_FUNCTIONS[0] else 1)
        function.restype = ctypes.c_char_p
    for name in _STATUS_FUNCTIONS:
        function = getattr(library, name)
        function.argtypes = [ctypes.c_char_p]
        function.restype = ctypes.c_char_p


class _DlInfo(ctypes.Structure):
    """Dl_info of dladdr: the object holding an address, as the loader names it."""

    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]


def _object_of_address(address: int) -> Optional[str]:
    """The file the loader mapped address from, as the loader names it (links kept; relative when
    it was loaded by a relative path), or None when the system does not say."""
    try:
        dladdr = ctypes.CDLL(None).dladdr
    except (OSError, AttributeError):
        return _mapped_file_of_address(address)
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
    dladdr.restype = ctypes.c_int
    info = _DlInfo()
    if dladdr(address, ctypes.byref(info)) == 0 or not info.dli_fname:
        return _mapped_file_of_address(address)
    return os.fsdecode(info.dli_fname)


def _mapped_file_of_address(address: int) -> Optional[str]:
    """Linux without dladdr: the file mapped at address by /proc/self/maps (links resolved)."""
    try:
        with open("/proc/self/maps", "rb") as maps:
            for line in maps:
                fields = line.split(None, 5)
                if len(fields) < 6 or not fields[5].startswith(b"/"):
                    continue
                start, end = (int(bound, 16) for bound in fields[0].split(b"-"))
                if start <= address < end:
                    return os.fsdecode(fields[5].rstrip(b"\n"))
    except (OSError, ValueError):
        pass
    return None


def _module_file_name(handle: int) -> Optional[str]:
    """Windows: the file of a loaded module, GetModuleFileNameW of its handle."""
    from ctypes import wintypes

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)  # type: ignore[attr-defined]
    function = kernel32.GetModuleFileNameW
    function.argtypes = [wintypes.HMODULE, wintypes.LPWSTR, wintypes.DWORD]
    function.restype = wintypes.DWORD
    size = 260
    while size <= 32768:
        buffer = ctypes.create_unicode_buffer(size)
        length = function(handle, buffer, size)
        if length == 0:
            return None
        if length < size:  # otherwise the name was cut short
            return buffer.value
        size *= 2
    return None


def _loaded_file(library: ctypes.CDLL, name: str) -> str:
    """The file the system loaded for name, as an absolute path: a bare name (the system
    loader's search) does not tell which directory it came from."""
    if sys.platform == "win32":
        found = _module_file_name(library._handle)
    else:
        export = getattr(library, _ERROR_FUNCTIONS[1])
        address = ctypes.cast(export, ctypes.c_void_p).value
        found = _object_of_address(address) if address else None
    # A relative name is relative to the current directory of the load, which is still this one.
    return os.path.abspath(found if found else name)


class _Loaded:
    def __init__(self, library: ctypes.CDLL, path: str) -> None:
        self.library = library
        self.path = path


_lock = threading.Lock()
_loaded: Optional[_Loaded] = None


def _try(path: str, failures: List[str]) -> Optional[_Loaded]:
    try:
        library = _loader()(path)
        _declare(library)
    except (OSError, AttributeError) as error:
        # AttributeError: a library of that name that lacks one of the nine exports.
        failures.append("%s: %s" % (path, error))
        return None
    return _Loaded(library, _loaded_file(library, path))


def _search() -> _Loaded:
    failures: List[str] = []
    named = os.environ.get(ENVIRONMENT_VARIABLE, "")
    if named:
        loaded = _try(named, failures)
        if loaded is not None:
            return loaded
        raise LibraryNotFoundError(
            "PELMORAERRI library named by %s could not be loaded (no other place is searched "
            "while it is set):\n  %s" % (ENVIRONMENT_VARIABLE, "\n  ".join(failures)))

    package_dir = os.path.dirname(os.path.abspath(__file__))
    for file_name in _library_file_names():
        path = os.path.join(package_dir, file_name)
        if not os.path.isfile(path):
            failures.append("%s: no such file" % path)
            continue
        loaded = _try(path, failures)
        if loaded is not None:
            return loaded

    system_names: List[str] = []
    found = ctypes.util.find_library("PELMORAERRI")
    if found:
        system_names.append(found)
    else:
        failures.append("ctypes.util.find_library('PELMORAERRI'): not found")
    for file_name in _library_file_names():
        if file_name not in system_names:
            system_names.append(file_name)
    for name in system_names:
        loaded = _try(name, failures)
        if loaded is not None:
            return loaded

    raise LibraryNotFoundError(
        "PELMORAERRI library not found; set %s to its file or install it. Tried:\n  %s"
        % (ENVIRONMENT_VARIABLE, "\n  ".join(failures)))


def _load() -> _Loaded:
    global _loaded
    loaded = _loaded
    if loaded is None:
        with _lock:
            if _loaded is None:
                # Published only once all nine prototypes are set.
                _loaded = _search()
            loaded = _loaded
    return loaded


def library_path() -> str:
    """The absolute path of the library file that was loaded (loading it if that has not happened
    yet), also when the system loader found it by its bare name (along LD_LIBRARY_PATH or in
    ldconfig's cache, say). The path is the one the loader opened: a link keeps its name."""
    return _load().path


def _unsigned(value: int, what: str) -> int:
    number = operator.index(value)
    if not 0 <= number <= 0xFFFFFFFF:
        raise ValueError("%s must be an unsigned 32-bit number, not %d" % (what, number))
    return number


def _text(result: Optional[bytes]) -> bytes:
    """A result as bytes of its own (c_char_p copies it); a null pointer reads as empty."""
    return result if result is not None else b""


def _packet_bytes(packet: Optional[BytesLike]) -> Optional[bytes]:
    if packet is None:
        return None
    return memoryview(packet).tobytes()


def _require(function: str, data: bytes, length: int) -> None:
    if len(data) < length:
        raise ValueError("%s reads %d bytes of this packet, only %d given"
                         % (function, length, len(data)))


def _require_fb(function: str, data: bytes) -> None:
    _require(function, data, PKT_FB_HEADER_LENGTH)
    _require(function, data, PKT_FB_HEADER_LENGTH + data[2])


def _call_status(function: str, packet: Optional[BytesLike],
                 check: Callable[[str, bytes], None]) -> bytes:
    data = _packet_bytes(packet)
    buffer = None
    if data is not None:
        check(function, data)
        # A private, zero-padded copy: the library never sees the caller's memory, and never
        # memory past the end even of a packet whose header promises more than it holds.
        buffer = ctypes.create_string_buffer(data, max(len(data), LONGEST_READ))
    return _text(getattr(_load().library, function)(buffer))


def _check_dispatch(function: str, data: bytes) -> None:
    _require(function, data, 1)
    kind = data[0]
    if kind == 0xFA:
        _require(function, data, PKT_FA_LENGTH)
    elif kind == 0xFB:
        _require_fb(function, data)
    elif kind == 0xFD:
        _require(function, data, PKT_FD_LENGTH)


def _check_nothing(function: str, data: bytes) -> None:
    pass


def GetErrorMessageinformationRTX(code: int, language: int) -> bytes:
    """Error text of code: Chinese (cp936 bytes) when the low 16 bits of language are 4."""
    return _text(_load().library.GetErrorMessageinformationRTX(_unsigned(code, "code"),
                                                               _unsigned(language, "language")))


def GetEglishErrorMessageinformationRTX(code: int) -> bytes:
    """English error text of code (low 16 bits)."""
    return _text(_load().library.GetEglishErrorMessageinformationRTX(_unsigned(code, "code")))


def GetChineseErrorMessageinformationRTX(code: int) -> bytes:
    """Chinese error text of code (low 16 bits), cp936 bytes."""
    return _text(_load().library.GetChineseErrorMessageinformationRTX(_unsigned(code, "code")))


def GetStatuInfomationStrRT(packet: Optional[BytesLike]) -> bytes:
    """Status text of a packet by its type byte; None passes a null pointer (empty text)."""
    return _call_status("GetStatuInfomationStrRT", packet, _check_dispatch)


def GetPktFAxStatuInfomationStrRT(packet: Optional[BytesLike]) -> bytes:
    """Debug-unlock progress of a 2-byte packet (type byte not looked at)."""
    return _call_status("GetPktFAxStatuInfomationStrRT", packet,
                        lambda f, d: _require(f, d, PKT_FA_LENGTH))


def GetPktFBxStatuInfomationStrRT(packet: Optional[BytesLike]) -> bytes:
    """Counted byte list of a packet of 3 bytes plus the count in byte 2."""
    return _call_status("GetPktFBxStatuInfomationStrRT", packet, _require_fb)


def GetPktFCxStatuInfomationStrRT(packet: Optional[BytesLike]) -> bytes:
    """Always the empty text; the packet is not read."""
    return _call_status("GetPktFCxStatuInfomationStrRT", packet, _check_nothing)


def GetPktFDxStatuInfomationStrRT(packet: Optional[BytesLike]) -> bytes:
    """Operation progress or result of an 8-byte packet; empty when its check byte is wrong."""
    return _call_status("GetPktFDxStatuInfomationStrRT", packet,
                        lambda f, d: _require(f, d, PKT_FD_LENGTH))


def GetPktFExStatuInfomationStrRT(packet: Optional[BytesLike]) -> bytes:
    """Always the empty text; the packet is not read."""
    return _call_status("GetPktFExStatuInfomationStrRT", packet, _check_nothing)
