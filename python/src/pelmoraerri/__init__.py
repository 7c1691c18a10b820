"""Error and status texts of the device programmer, from the PELMORAERRI library.

    >>> import pelmoraerri
    >>> pelmoraerri.error_text(0x1107)
    'BLKC: Chip no Response!'
    >>> pelmoraerri.error_text(0x1107, "cn")
    '查  空：芯片无响应!'
    >>> pelmoraerri.status_text(bytes([0xFD, 0x0A, 0, 0, 0, 0, 0, 0xF9]))
    'Power On Self Data Checking......'

The library is loaded on first use (see library_path() and the PELMORAERRI_LIBRARY environment
variable), never at import. The nine exports are available under their own names and return the
library's bytes unchanged.
"""

import operator

from ._native import (
    ENVIRONMENT_VARIABLE,
    BytesLike,
    GetChineseErrorMessageinformationRTX,
    GetEglishErrorMessageinformationRTX,
    GetErrorMessageinformationRTX,
    GetPktFAxStatuInfomationStrRT,
    GetPktFBxStatuInfomationStrRT,
    GetPktFCxStatuInfomationStrRT,
    GetPktFDxStatuInfomationStrRT,
    GetPktFExStatuInfomationStrRT,
    GetStatuInfomationStrRT,
    LibraryNotFoundError,
    library_path,
)

__version__ = "1.0.0"

__all__ = [
    "ENVIRONMENT_VARIABLE",
    "LANGUAGES",
    "LibraryNotFoundError",
    "error_text",
    "library_path",
    "status_text",
    "GetErrorMessageinformationRTX",
    "GetEglishErrorMessageinformationRTX",
    "GetChineseErrorMessageinformationRTX",
    "GetStatuInfomationStrRT",
    "GetPktFAxStatuInfomationStrRT",
    "GetPktFBxStatuInfomationStrRT",
    "GetPktFCxStatuInfomationStrRT",
    "GetPktFDxStatuInfomationStrRT",
    "GetPktFExStatuInfomationStrRT",
]

# Language names and the selector GetErrorMessageinformationRTX takes for each: 4 is the primary
# language number of Chinese, anything else gives English.
LANGUAGES = {"en": 0, "cn": 4}

# Both languages' texts are code page 936 bytes: Chinese characters, and the full-width colon and
# exclamation mark that some English texts carry. Packet bytes that a status text copies as they
# are (serial numbers, memory names, Info lists) need not be valid cp936; those become U+FFFD.
ENCODING = "cp936"


def _decode(text: bytes) -> str:
    return text.decode(ENCODING, errors="replace")


def error_text(code: int, language: str = "en") -> str:
    """Text of a 16-bit error code in "en" (English) or "cn" (Chinese)."""
    number = operator.index(code)
    if not 0 <= number <= 0xFFFF:
        raise ValueError("error code must be 0 to 0xFFFF, not %#x" % number)
    if language not in LANGUAGES:
        raise ValueError("language must be one of %s, not %r"
                         % (", ".join(repr(name) for name in LANGUAGES), language))
    return _decode(GetErrorMessageinformationRTX(number, LANGUAGES[language]))


def status_text(packet: BytesLike) -> str:
    """English text of a status packet (unframed, type byte first), chosen by its type byte.

    Raises ValueError when the packet is shorter than what the decoder of its type reads: 1 byte
    for a type without a decoder, 2 for 0xFA, 3 plus the count in byte 2 for 0xFB, 8 for 0xFD.
    """
    if packet is None:
        raise TypeError("packet must be bytes, bytearray or memoryview, not None")
    return _decode(GetStatuInfomationStrRT(packet))
