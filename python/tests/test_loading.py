"""Where the package finds the library. Each case runs a fresh interpreter on a temporary copy of
the installed package, so that its one load per process starts from nothing."""

import ctypes
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from typing import Dict, Optional

import pelmoraerri

PROBE = """
import json, pelmoraerri
result = {"module": pelmoraerri.__file__}
try:
    result["path"] = pelmoraerri.library_path()
    result["text"] = pelmoraerri.error_text(0x1107)
except Exception as error:
    result["error"] = type(error).__name__
    result["oserror"] = isinstance(error, OSError)
    result["message"] = str(error)
print(json.dumps(result))
"""

EXPECTED_TEXT = "BLKC: Chip no Response!"

# The file names the library is installed under, looked for beside the package and by the loader.
if sys.platform == "win32":
    FILE_NAMES = ["PELMORAERRI.dll"]
elif sys.platform == "darwin":
    FILE_NAMES = ["libPELMORAERRI.1.dylib", "libPELMORAERRI.dylib"]
else:
    FILE_NAMES = ["libPELMORAERRI.so.1", "libPELMORAERRI.so"]

# The directories the system loader searches ahead of its cache (Linux).
LOADER_PATH = "LD_LIBRARY_PATH" if sys.platform.startswith("linux") else None


class LibraryLookupTest(unittest.TestCase):
    def setUp(self) -> None:
        self.library = os.path.abspath(pelmoraerri.library_path())
        directory = tempfile.mkdtemp(prefix="pelmoraerri-lookup-")
        self.addCleanup(shutil.rmtree, directory)
        self.package = os.path.join(directory, "pelmoraerri")
        shutil.copytree(os.path.dirname(os.path.abspath(pelmoraerri.__file__)), self.package,
                        ignore=shutil.ignore_patterns("__pycache__", "*.so*", "*.dll", "*.dylib"))
        self.beside = os.path.join(self.package, FILE_NAMES[0])

    def probe(self, named: Optional[str], search: Optional[str] = None,
              cwd: Optional[str] = None) -> Dict[str, object]:
        environment = dict(os.environ)
        environment.pop(pelmoraerri.ENVIRONMENT_VARIABLE, None)
        if named is not None:
            environment[pelmoraerri.ENVIRONMENT_VARIABLE] = named
        if search is not None:
            # The system loader's own search path, ahead of its cache.
            environment[LOADER_PATH] = search
        environment["PYTHONPATH"] = os.path.dirname(self.package)
        environment["PYTHONDONTWRITEBYTECODE"] = "1"
        output = subprocess.run([sys.executable, "-c", PROBE], env=environment, check=True,
                                cwd=cwd, stdout=subprocess.PIPE,
                                universal_newlines=True).stdout
        result = json.loads(output)
        self.assertEqual(os.path.dirname(str(result["module"])), self.package)
        return result

    def test_environment_variable_wins_over_the_copy_beside_the_package(self) -> None:
        shutil.copy(self.library, self.beside)
        result = self.probe(self.library)
        self.assertEqual(result.get("path"), self.library)
        self.assertEqual(result.get("text"), EXPECTED_TEXT)

    def test_library_beside_the_package(self) -> None:
        shutil.copy(self.library, self.beside)
        result = self.probe(None)
        self.assertEqual(result.get("path"), self.beside)
        self.assertEqual(result.get("text"), EXPECTED_TEXT)

    def test_library_path_names_the_file_loaded(self) -> None:
        # A directory holds a copy of the library and a link to it. Each row: the variable's
        # value (None: unset, and nothing beside the package), whether the directory is on the
        # loader's search path, whether the probe runs in it, and the file expected there.
        cases = [
            ("the system loader's search by bare name", None, True, False, FILE_NAMES[0]),
            ("the variable naming a bare file name", FILE_NAMES[0], True, False, FILE_NAMES[0]),
            ("the variable naming a relative path", os.path.join(".", FILE_NAMES[0]), False,
             True, FILE_NAMES[0]),
            ("the variable naming a link", os.path.join(".", "link"), False, True, "link"),
        ]
        for what, named, on_search_path, inside, expected in cases:
            with self.subTest(what):
                if LOADER_PATH is None:
                    self.skipTest("no loader search path variable on %s" % sys.platform)
                directory = tempfile.mkdtemp(prefix="pelmoraerri-loaded-")
                self.addCleanup(shutil.rmtree, directory)
                shutil.copy(self.library, os.path.join(directory, FILE_NAMES[0]))
                os.symlink(FILE_NAMES[0], os.path.join(directory, "link"))
                result = self.probe(named, directory if on_search_path else None,
                                    directory if inside else None)
                self.assertEqual(result.get("text"), EXPECTED_TEXT, result)
                self.assertEqual(result.get("path"), os.path.join(directory, expected), result)

    @unittest.skipUnless(os.path.exists("/proc/self/maps"), "no /proc/self/maps here")
    def test_mapped_file_of_an_address(self) -> None:
        # Where the system offers no dladdr, /proc/self/maps names the file (links resolved).
        from pelmoraerri import _native

        export = pelmoraerri.GetEglishErrorMessageinformationRTX  # loads the library
        library = _native._load().library
        function = ctypes.cast(library.GetEglishErrorMessageinformationRTX, ctypes.c_void_p)
        anonymous = ctypes.create_string_buffer(64)  # heap memory: no file
        cases = [
            ("an export of the library", function.value,
             os.path.realpath(pelmoraerri.library_path())),
            ("memory of no file", ctypes.addressof(anonymous), None),
            ("an address nothing is mapped at", 0, None),
        ]
        self.assertEqual(export(0x1107), EXPECTED_TEXT.encode())
        for what, address, expected in cases:
            with self.subTest(what):
                self.assertEqual(_native._mapped_file_of_address(address or 0), expected)

    def test_bad_environment_path_is_an_error_not_a_fallback(self) -> None:
        shutil.copy(self.library, self.beside)
        missing = os.path.join(os.path.dirname(self.package), "no-such-PELMORAERRI.so")
        # Importing worked (the probe ran); the first call reports the named file and why.
        result = self.probe(missing)
        self.assertEqual(result.get("error"), "LibraryNotFoundError", result)
        self.assertTrue(result["oserror"])
        self.assertIn(missing + ": ", str(result["message"]))
        self.assertIn(pelmoraerri.ENVIRONMENT_VARIABLE, str(result["message"]))
        self.assertNotIn(self.beside, str(result["message"]))

    def test_nothing_loadable_lists_every_place_tried(self) -> None:
        with open(self.beside, "wb") as not_a_library:
            not_a_library.write(b"not a shared library\n")
        result = self.probe(None)
        if "path" in result:
            self.skipTest("the system loader finds a PELMORAERRI library (%s); the list of "
                          "failures cannot be produced here" % result["path"])
        self.assertEqual(result.get("error"), "LibraryNotFoundError", result)
        self.assertTrue(result["oserror"])
        lines = [line.strip() for line in str(result["message"]).splitlines()]
        tried = [line.split(": ", 1)[0] for line in lines[1:]]
        # Beside the package (the first one there but not loadable), then the system's search.
        self.assertEqual(tried, [os.path.join(self.package, name) for name in FILE_NAMES]
                         + ["ctypes.util.find_library('PELMORAERRI')"] + FILE_NAMES)
        self.assertNotEqual(lines[1], self.beside + ": no such file")


if __name__ == "__main__":
    unittest.main()
