#!/usr/bin/env python3
"""Loads PELMORAERRI with ctypes and prints one error text in English and in Chinese.

Usage: pelmora_demo.py <path to the library> [code]

The library returns 8-bit text: English in ASCII, Chinese in code page 936, so the Chinese
bytes are decoded with Python's cp936 codec before printing.
"""
import ctypes
import sys


def load(path):
    # The 32-bit Windows library uses stdcall; everywhere else the C convention.
    loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL
    library = loader(path)
    for name in ("GetEglishErrorMessageinformationRTX", "GetChineseErrorMessageinformationRTX"):
        function = getattr(library, name)
        function.argtypes = [ctypes.c_uint]
        function.restype = ctypes.c_char_p  # ctypes copies the text into a bytes object
    return library


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    library = load(argv[1])
    code = int(argv[2], 0) if len(argv) > 2 else 0x1107
    english = library.GetEglishErrorMessageinformationRTX(code).decode("cp936")
    chinese = library.GetChineseErrorMessageinformationRTX(code).decode("cp936")
    print(f"0x{code:04X} English: {english}")
    print(f"0x{code:04X} Chinese: {chinese}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
