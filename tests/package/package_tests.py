#!/usr/bin/env python3
"""Unpacks each package of the packaging build into a temporary directory and uses it as a user
would.

- LinuxArchive: exactly the expected files; its ZqCmdLin checks its own zq-programmer-sim; the
  C host example builds against the tree through the CMake package and through pkg-config.
- DebianPackage: control fields (dependencies from the shared-library scan) and paths.
- Win32Contents, Win64Contents: exactly the expected files; the .def with the ordinals; both
  import libraries define what a host that includes the header calls; a MinGW host and a Visual
  C++ ABI host (clang, lld-link) link and import the DLL's undecorated exports. No Windows
  program runs here, so the Win32 links are proven on every machine.
- Win32Runs, Win64Runs: under Wine, ZqCmdLin.exe checks the Linux simulator and both hosts print
  their texts. Win64 wherever wine64 is installed; Win32 only with ZQ_WINE32=yes.

Usage: package_tests.py [-v] <test class>; configuration in the environment (PackageTests.cmake).
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
import zqtest  # noqa: E402

ENV = os.environ
PACKAGE_DIR = ENV.get("ZQ_PACKAGE_DIR", "")
NAME = ENV.get("ZQ_PACKAGE_NAME", "")
VERSION = ENV.get("ZQ_PACKAGE_VERSION", "")

PAGES = ["share/doc/ZqProgrammerHost/" + os.path.basename(p)
         for p in glob.glob(os.path.join(SOURCE, "docs", "*.md"))]
LIBRARY_FILES = PAGES + [
    "include/PELMORAERRI.h",
    "lib/cmake/PELMORAERRI/PELMORAERRIConfig.cmake",
    "lib/cmake/PELMORAERRI/PELMORAERRIConfigVersion.cmake",
    "lib/cmake/PELMORAERRI/PELMORAERRITargets.cmake",
    "lib/cmake/PELMORAERRI/PELMORAERRITargets-release.cmake",
    "lib/pkgconfig/PELMORAERRI.pc",
]
LINUX_FILES = LIBRARY_FILES + [
    "bin/ZqCmdLin",
    "bin/zq-gang",
    "bin/zq-programmer-sim",
    "lib/libPELMORAERRI.so",
    "lib/libPELMORAERRI.so.1",
    "lib/libPELMORAERRI.so.1.0.0",
]
WINDOWS_FILES = LIBRARY_FILES + [
    "bin/ZqCmdLin.exe",
    "bin/zq-gang.exe",
    "bin/PELMORAERRI.dll",
    "lib/libPELMORAERRI.dll.a",
    "lib/PELMORAERRI.lib",
    "lib/PELMORAERRI.def",
]

# name, ordinal, argument bytes (the n of the Win32 stdcall name _Name@n)
EXPORTS = [
    ("GetPktFExStatuInfomationStrRT", 1, 4),
    ("GetPktFDxStatuInfomationStrRT", 2, 4),
    ("GetPktFCxStatuInfomationStrRT", 3, 4),
    ("GetPktFBxStatuInfomationStrRT", 4, 4),
    ("GetPktFAxStatuInfomationStrRT", 5, 4),
    ("GetStatuInfomationStrRT", 6, 4),
    ("GetChineseErrorMessageinformationRTX", 7, 4),
    ("GetEglishErrorMessageinformationRTX", 8, 4),
    ("GetErrorMessageinformationRTX", 9, 8),
]

# What examples/c_host/main.c (argument 0x4010) and msvc_host.c print, and what they import.
ERROR_AND_STATUS = ("error 0x4010: Error: Open COM port error!\n"
                    "status: Progrmming Completed : Successed!, Chip CRC16=0x1234,ACC16=0x5678.\n")
C_HOST_OUTPUT = ERROR_AND_STATUS + "chinese bytes: 21\n"
C_HOST_IMPORTS = {"GetEglishErrorMessageinformationRTX", "GetStatuInfomationStrRT",
                  "GetErrorMessageinformationRTX"}
MSVC_HOST_OUTPUT = ERROR_AND_STATUS + "ordinal 8: BLKC: Chip no Response!\n"
MSVC_HOST_IMPORTS = {"GetEglishErrorMessageinformationRTX", "GetStatuInfomationStrRT"}

# The Windows tester in the C locale under Wine: English (United States) formats.
WINDOWS_TIME = r"\d{1,2}:\d\d:\d\d [AP]M"
WINDOWS_LOG_DATE_TIME = r"\d{1,2}_\d{1,2}_\d{4}_\d{1,2}_\d\d_\d\d [AP]M"


def tool(variable, package):
    path = ENV.get(variable, "")
    if not path:
        raise AssertionError("%s not found (Debian package %s)" % (variable, package))
    return path


def run(command, timeout=300, **kwargs):
    """The command's output (stdout and stderr); a non-zero exit fails the test, showing both."""
    proc = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=timeout, **kwargs)
    output = proc.stdout.decode("utf-8", "replace")
    if proc.returncode != 0:
        raise AssertionError("failed (%d): %s\n%s" % (proc.returncode, " ".join(command), output))
    return output


def unpack(cls, file_name, suffix):
    """Unpacks the package into a directory kept for the class; returns its member names."""
    path = os.path.join(PACKAGE_DIR, file_name)
    if not os.path.isfile(path):
        raise AssertionError("package not found: " + path)
    cls.package = path
    cls.scratch = tempfile.mkdtemp(prefix="zq-package-")
    cls.addClassCleanup(shutil.rmtree, cls.scratch, True)
    cls.top = file_name[:-len(suffix)]
    cls.root = os.path.join(cls.scratch, cls.top)
    if suffix == ".zip":
        with zipfile.ZipFile(path) as archive:
            archive.extractall(cls.scratch)
            return [n for n in archive.namelist() if not n.endswith("/")]
    with tarfile.open(path) as archive:
        # The "data" filter keeps the relative library links and refuses anything odd.
        archive.extractall(cls.scratch, **({"filter": "data"}
                                           if hasattr(tarfile, "data_filter") else {}))
        return [m.name for m in archive.getmembers() if not m.isdir()]


class PackageChecks:
    def expect_files(self, names, expected):
        """Exactly the expected files, each missing or unexpected one named."""
        problems = []
        for what, files in (("missing from", set(expected) - set(names)),
                            ("unexpected in", set(names) - set(expected))):
            if files:
                problems.append("%s %s: %s" % (what, os.path.basename(self.package),
                                               ", ".join(sorted(files))))
        if problems:
            self.fail("\n".join(problems))

    def expect_archive_files(self, members, expected):
        """The same below the archive's one top directory, named like the archive."""
        tops = {m.split("/", 1)[0] for m in members}
        self.assertEqual(tops, {self.top})
        self.expect_files([m.split("/", 1)[1] for m in members], expected)


class LinuxArchive(PackageChecks, zqtest.OutputChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.members = unpack(cls, ENV.get("ZQ_PACKAGE_LINUX_ARCHIVE", ""), ".tar.gz")

    def test_files(self):
        self.expect_archive_files(self.members, LINUX_FILES)
        lib = os.path.join(self.root, "lib")
        self.assertEqual(os.readlink(os.path.join(lib, "libPELMORAERRI.so")), "libPELMORAERRI.so.1")
        self.assertEqual(os.readlink(os.path.join(lib, "libPELMORAERRI.so.1")),
                         "libPELMORAERRI.so.1.0.0")
        for program in ("ZqCmdLin", "zq-gang", "zq-programmer-sim"):
            self.assertTrue(os.access(os.path.join(self.root, "bin", program), os.X_OK), program)

    def test_check_run_against_its_own_simulator(self):
        # The unpacked bin/ is the tester's directory: its files and dosdevices/com3 go there.
        bin_dir = os.path.join(self.root, "bin")
        result = zqtest.Run(bin_dir)
        simulator = zqtest.Simulator(os.path.join(bin_dir, "zq-programmer-sim"), bin_dir, 3,
                                     os.path.join(self.scratch, "wire.bin"))
        zqtest.run_with_simulator(self, result, simulator,
                                  [os.path.join(bin_dir, "ZqCmdLin"), "-COM=3", "-DOCHECK"],
                                  "/", dict(ENV, LC_ALL="C"), 60)
        self.check(result, zqtest.CHECK_OK_HEAD + zqtest.info_block(), "NG",
                   zqtest.WIRE["DOCHECK"])

    def test_gang_runs_its_tester_against_its_simulator(self):
        # zq-gang starts the ZqCmdLin beside it, in bin/, and tells the outcome by exit status.
        bin_dir = os.path.join(self.root, "bin")
        simulator = zqtest.Simulator(os.path.join(bin_dir, "zq-programmer-sim"), bin_dir, 4,
                                     os.path.join(self.scratch, "wire4.bin"))
        try:
            gang = subprocess.run([os.path.join(bin_dir, "zq-gang"), "-COM=4", "-DOPROGA"],
                                  cwd="/", env=dict(ENV, LC_ALL="C"), timeout=120,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        finally:
            simulator.stop()
        self.assertEqual(gang.returncode, 0, gang.stdout)
        self.assertIn(b"1 port: 1 OK, 0 NG", gang.stdout)
        logs = [n for n in zqtest.log_names(bin_dir) if n.startswith("ZQ_COM4_")]
        self.assertEqual(len(logs), 1, logs)
        self.assertRegex(logs[0], zqtest.log_name("COM4", "OK"))

    def test_c_host_builds_against_the_tree(self):
        output = run([tool("ZQ_CMAKE", "cmake"), "-DPREFIX=" + self.root,
                      "-DSOURCE=" + os.path.join(SOURCE, "examples", "c_host"),
                      "-DBINARY=" + os.path.join(self.scratch, "c_host"),
                      "-DGENERATOR=" + ENV.get("ZQ_CMAKE_GENERATOR", "Ninja"),
                      "-DC_COMPILER=" + tool("ZQ_C_COMPILER", "gcc"),
                      "-P", os.path.join(SOURCE, "examples", "run_c_host.cmake")])
        self.assertIn("through the CMake package and through pkg-config OK", output)


class DebianPackage(PackageChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        found = glob.glob(os.path.join(PACKAGE_DIR, "%s_%s_*.deb" % (NAME, VERSION)))
        if len(found) != 1:
            raise AssertionError("expected one %s_%s_<arch>.deb in %s, found %s"
                                 % (NAME, VERSION, PACKAGE_DIR, found))
        cls.package = found[0]

    def dpkg_deb(self, option, *members):
        return run([tool("ZQ_DPKG_DEB", "dpkg"), option, self.package] + list(members))

    def test_control_fields(self):
        fields = {}
        for line in self.dpkg_deb("-f").splitlines():
            if line.startswith(" "):
                fields[key] += "\n" + line
            else:
                key, _, fields[key] = line.partition(": ")
        self.assertEqual(fields.get("Package"), NAME)
        self.assertEqual(fields.get("Version"), VERSION)
        self.assertEqual(fields.get("Architecture"), run(["dpkg", "--print-architecture"]).strip())
        self.assertRegex(fields.get("Maintainer", ""), r"^\S.* <[^@<>\s]+@[^@<>\s]+>$")
        self.assertRegex(fields.get("Description", ""), r"^\S.*\n \S", "summary and long text")
        # From the scan of the ELF files: the C and C++ runtimes, each with a least version.
        depends = dict(re.match(r"^(\S+)(?: \((.+)\))?$", d.strip()).groups()
                       for d in fields.get("Depends", "").split(","))
        for runtime in ("libc6", "libstdc++6", "libgcc-s1"):
            self.assertRegex(depends.get(runtime) or "", r"^>= \S+$", fields.get("Depends"))

    def test_files(self):
        entries = {}
        for line in self.dpkg_deb("-c").splitlines():
            mode, path = line.split(None, 5)[0], line.split(None, 5)[5]
            if not mode.startswith("d"):
                path, _, target = path.partition(" -> ")
                entries[re.sub(r"^\./usr/", "", path)] = (mode, target)
        self.expect_files(entries, LINUX_FILES)
        self.assertEqual(entries["lib/libPELMORAERRI.so.1"],
                         ("lrwxrwxrwx", "libPELMORAERRI.so.1.0.0"))
        self.assertEqual(entries["bin/ZqCmdLin"][0], "-rwxr-xr-x")

    def test_library_registered_with_the_loader(self):
        # Other packages' shared-library scans find libPELMORAERRI.so.1 here, and installing or
        # removing the package runs ldconfig.
        self.assertRegex(self.dpkg_deb("-I", "shlibs").strip(),
                         r"^libPELMORAERRI 1 %s \(>= %s\)$" % (re.escape(NAME), re.escape(VERSION)))
        self.assertIn("ldconfig", self.dpkg_deb("-I", "postinst"))


def readobj_entries(output, kind):
    """llvm-readobj's `Import {` or `Export {` blocks, each as a list of (key, value)."""
    entries, current = [], None
    for line in output.splitlines():
        line = line.strip()
        if line == kind + " {":
            current = []
            entries.append(current)
        elif line == "}":
            current = None
        elif current is not None:
            key, _, value = line.partition(": ")
            current.append((key, value))
    return entries


class WindowsPackage(PackageChecks):
    """One Windows zip, unpacked once for the class; word_size is win32 or win64."""

    word_size = None

    @classmethod
    def setUpClass(cls):
        cls.members = unpack(cls, "%s-%s.zip" % (ENV.get("ZQ_PACKAGE_BASENAME", ""),
                                                 cls.word_size), ".zip")

    @property
    def win32(self):
        return self.word_size == "win32"

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def check_imports(self, exe, expected):
        """The program imports exactly these names from PELMORAERRI.dll, undecorated, and the
        zip's DLL exports each under that name."""
        readobj = tool("ZQ_LLVM_READOBJ", "llvm")
        imports = {}
        for entry in readobj_entries(run([readobj, "--coff-imports", exe]), "Import"):
            imports[dict(entry)["Name"].lower()] = {re.sub(r" \(\d+\)$", "", v)
                                                    for k, v in entry if k == "Symbol"}
        self.assertEqual(imports.get("pelmoraerri.dll"), expected, imports)
        exports = readobj_entries(run([readobj, "--coff-exports",
                                       self.path("bin", "PELMORAERRI.dll")]), "Export")
        self.assertLessEqual(expected, {dict(entry).get("Name") for entry in exports})

    def build_mingw_host(self, directory):
        """examples/c_host/main.c linked by MinGW-w64 against lib/libPELMORAERRI.dll.a."""
        gcc = (tool("ZQ_MINGW32_GCC", "gcc-mingw-w64-i686") if self.win32 else
               tool("ZQ_MINGW64_GCC", "gcc-mingw-w64-x86-64"))
        exe = os.path.join(directory, "pelmora_c_host.exe")
        run([gcc, "-std=c11", "-Wall", "-Wextra", "-Werror", "-O1", "-static-libgcc",
             "-I", self.path("include"), os.path.join(SOURCE, "examples", "c_host", "main.c"),
             self.path("lib", "libPELMORAERRI.dll.a"), "-o", exe])
        return exe

    def build_msvc_host(self, directory):
        """msvc_host.c compiled for the Visual C++ ABI and linked by lld-link against
        lib/PELMORAERRI.lib and system import libraries made from a .def each."""
        machine, target, kill_at = (("i386", "i686-pc-windows-msvc", ["-k"]) if self.win32 else
                                    ("i386:x86-64", "x86_64-pc-windows-msvc", []))
        system = {"kernel32": ["ExitProcess@4", "GetModuleHandleA@4", "GetProcAddress@8"],
                  "msvcrt": ["printf", "fflush"]}
        libraries = []
        for dll, names in system.items():
            definition = os.path.join(directory, dll + ".def")
            with open(definition, "w") as f:
                names = names if self.win32 else [n.split("@")[0] for n in names]
                f.write("LIBRARY %s.dll\nEXPORTS\n%s\n" % (dll, "\n".join(names)))
            libraries.append(os.path.join(directory, dll + ".lib"))
            run([tool("ZQ_LLVM_DLLTOOL", "llvm"), "-m", machine] + kill_at
                + ["-d", definition, "-l", libraries[-1]])
        obj = os.path.join(directory, "msvc_host.obj")
        run([tool("ZQ_CLANG", "clang"), "--target=" + target, "-c", "-O1", "-Wall", "-Wextra",
             "-Werror", "-fno-builtin", "-I", self.path("include"),
             os.path.join(HERE, "msvc_host.c"), "-o", obj])
        exe = os.path.join(directory, "msvc_host.exe")
        run([tool("ZQ_LLD_LINK", "lld"), "/nologo", "/nodefaultlib", "/entry:HostMain",
             "/subsystem:console", "/out:" + exe, obj, self.path("lib", "PELMORAERRI.lib")]
            + libraries + (["/safeseh:no"] if self.win32 else []))
        return exe


class Contents(WindowsPackage):
    def test_files(self):
        self.expect_archive_files(self.members, WINDOWS_FILES)

    def test_def_lists_the_exports_with_their_ordinals(self):
        with open(self.path("lib", "PELMORAERRI.def")) as f:
            lines = [line.split() for line in f if line.strip()]
        self.assertEqual(lines[:2], [["LIBRARY", "PELMORAERRI"], ["EXPORTS"]])
        self.assertCountEqual(lines[2:], [["%s@%d" % (n, size) if self.win32 else n, "@%d" % o]
                                          for n, o, size in EXPORTS])

    def test_import_libraries_define_what_hosts_call(self):
        # A Win32 host calls _Name@4 (stdcall), or reads __imp__Name@4 with dllimport.
        called = {"_%s@%d" % (n, size) if self.win32 else n for n, _, size in EXPORTS}
        called |= {"__imp_" + n for n in called}
        for library in ("libPELMORAERRI.dll.a", "PELMORAERRI.lib"):
            with self.subTest(library=library):
                defined = run([tool("ZQ_LLVM_NM", "llvm"), "--defined-only",
                               "--format=just-symbols", self.path("lib", library)]).split()
                missing = sorted(called - set(defined))
                self.assertFalse(missing, "%s lacks %s" % (library, ", ".join(missing)))

    def test_mingw_host_links_to_the_undecorated_exports(self):
        exe = self.build_mingw_host(zqtest.scratch_directory(self, "zq-mingw-host-"))
        self.check_imports(exe, C_HOST_IMPORTS)

    def test_msvc_host_links_to_the_undecorated_exports(self):
        exe = self.build_msvc_host(zqtest.scratch_directory(self, "zq-msvc-host-"))
        self.check_imports(exe, MSVC_HOST_IMPORTS)


class Runs(WindowsPackage, zqtest.OutputChecks):
    log_date_time = WINDOWS_LOG_DATE_TIME

    @classmethod
    def setUpClass(cls):
        cls.wine = cls.wine_loader()
        super().setUpClass()
        cls.prefix = ENV["WINEPREFIX"]
        wineserver = ENV.get("ZQ_WINESERVER") or "wineserver"
        if not os.path.exists(os.path.join(cls.prefix, "system.reg")):
            os.makedirs(os.path.dirname(cls.prefix), exist_ok=True)
            wine64 = ENV.get("ZQ_WINE64") or cls.wine
            run([wine64, "wineboot", "-i"], env=cls.wine_environment(wine64))
            run([wineserver, "-w"], env=cls.wine_environment(wine64))
        cls.addClassCleanup(subprocess.run, [wineserver, "-w"],
                            env=cls.wine_environment(cls.wine), timeout=60)

    @classmethod
    def wine_loader(cls):
        """The Wine loader of the zip's word size; skips the class, saying why, without one."""
        if cls.word_size == "win64":
            if not ENV.get("ZQ_WINE64"):
                raise unittest.SkipTest("win64 runs under Wine: wine64 not found")
            return ENV["ZQ_WINE64"]
        state = ENV.get("ZQ_WINE32", "")
        skipped = "win32 runs under Wine (ZqCmdLin.exe, MinGW host, Visual C++ ABI host): "
        if not state:
            raise unittest.SkipTest(skipped + "ZQ_WINE32 is not set, no 32-bit Wine probe was made")
        if state != "yes":
            raise unittest.SkipTest(skipped + "ZQ_WINE32=%s, 32-bit Wine cannot run here" % state)
        return tool("ZQ_WINE", "wine")

    @staticmethod
    def wine_environment(loader):
        environment = dict(ENV, WINEDEBUG="-all", LC_ALL="C")
        # Programs Wine starts itself (wineboot's) must use the same 64-bit loader.
        if os.path.basename(loader) == "wine64":
            environment["WINELOADER"] = loader
        return environment

    def run_host(self, exe, args, expected):
        """Runs a host beside a copy of the zip's DLL, as a user places it."""
        directory = os.path.dirname(exe)
        shutil.copy2(self.path("bin", "PELMORAERRI.dll"), directory)
        output = run([self.wine, exe] + args, cwd=directory, env=self.wine_environment(self.wine),
                     timeout=120)
        self.assertEqual(output.replace("\r\n", "\n"), expected)

    def test_tester_checks_the_linux_simulator(self):
        # Wine maps the tester's COM3 through the prefix's dosdevices/com3, which the simulator
        # points at its pseudo-terminal.
        result = zqtest.Run(self.path("bin"), 3, WINDOWS_TIME)
        simulator = zqtest.Simulator(tool("ZQ_SIMULATOR", "zq-programmer-sim"), self.prefix, 3,
                                     os.path.join(self.scratch, "wire.bin"))
        zqtest.run_with_simulator(
            self, result, simulator, [self.wine, self.path("bin", "ZqCmdLin.exe"), "-COM=3",
                                      "-DOCHECK"],
            self.path("bin"), self.wine_environment(self.wine), 120)
        self.check(result, zqtest.CHECK_OK_HEAD + zqtest.info_block(), "NG",
                   zqtest.WIRE["DOCHECK"])

    def test_mingw_host_prints_texts(self):
        exe = self.build_mingw_host(zqtest.scratch_directory(self, "zq-mingw-host-"))
        self.run_host(exe, ["0x4010"], C_HOST_OUTPUT)

    def test_msvc_host_prints_texts(self):
        exe = self.build_msvc_host(zqtest.scratch_directory(self, "zq-msvc-host-"))
        self.run_host(exe, [], MSVC_HOST_OUTPUT)


class Win32Contents(Contents, unittest.TestCase):
    word_size = "win32"


class Win64Contents(Contents, unittest.TestCase):
    word_size = "win64"


class Win32Runs(Runs, unittest.TestCase):
    word_size = "win32"


class Win64Runs(Runs, unittest.TestCase):
    word_size = "win64"


if __name__ == "__main__":
    unittest.main()
