"""Where the package finds the library. Each case runs a fresh interpreter on a temporary copy of
the installed package, so that its one load per process starts from nothing."""

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


class LibraryLookupTest(unittest.TestCase):
    def setUp(self) -> None:
        self.library = os.path.abspath(pelmoraerri.library_path())
        directory = tempfile.mkdtemp(prefix="pelmoraerri-lookup-")
        self.addCleanup(shutil.rmtree, directory)
        self.package = os.path.join(directory, "pelmoraerri")
        shutil.copytree(os.path.dirname(os.path.abspath(pelmoraerri.__file__)), self.package,
                        ignore=shutil.ignore_patterns("__pycache__", "*.so*", "*.dll", "*.dylib"))
        self.beside = os.path.join(self.package, FILE_NAMES[0])

    def probe(self, named: Optional[str]) -> Dict[str, object]:
        environment = dict(os.environ)
        environment.pop(pelmoraerri.ENVIRONMENT_VARIABLE, None)
        if named is not None:
            environment[pelmoraerri.ENVIRONMENT_VARIABLE] = named
        environment["PYTHONPATH"] = os.path.dirname(self.package)
        environment["PYTHONDONTWRITEBYTECODE"] = "1"
        output = subprocess.run([sys.executable, "-c", PROBE], env=environment, check=True,
                                stdout=subprocess.PIPE, universal_newlines=True).stdout
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
