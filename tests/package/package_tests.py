#!/usr/bin/env python3
"""Unpacks each package of the packaging build into a temporary directory and uses it as a user
would.

- LinuxArchive: exactly the expected files (the library in lib/<multiarch triplet>); the licence;
  stripped programs; zq-gang loads the library of its own tree; its ZqCmdLin checks its own
  zq-programmer-sim; the C host example builds against the tree through the CMake package and
  through pkg-config.
- DebianPackage: control fields (dependencies from the shared-library scan), paths, the ldconfig
  trigger instead of maintainer scripts, lintian on the .deb and its -dbgsym package, the
  machine-readable copyright file, the changelog, the manual pages, the debug information in the
  -dbgsym package, and installing and removing both packages in a root of their own.
- Win32Contents, Win64Contents: exactly the expected files; the licence; the .def with the
  ordinals; both import libraries define what a host that includes the header calls; a MinGW
  host and a Visual C++ ABI host (clang, lld-link) link and import the DLL's undecorated exports.
  No Windows program runs here, so the Win32 links are proven on every machine.
- Win32Runs, Win64Runs: under Wine, ZqCmdLin.exe checks the Linux simulator and both hosts print
  their texts. Win64 wherever wine64 is installed; Win32 only with ZQ_WINE32=yes.

Usage: package_tests.py [-v] <test class>; configuration in the environment (PackageTests.cmake).
"""
import glob
import gzip
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

# The library directory of the Linux packages (lib/<multiarch triplet> where the compiler has one).
LIBDIR = ENV.get("ZQ_PACKAGE_LIBDIR", "")
DOCDIR = "share/doc/" + NAME
PAGES = [DOCDIR + "/" + os.path.basename(p)
         for p in glob.glob(os.path.join(SOURCE, "docs", "*.md")) + ["README.md"]]
# Linux only: docs/man/<name>.<section>, compressed, in share/man/man<section>.
MANUAL_PAGES = ["share/man/man%s/%s.gz" % (os.path.splitext(p)[1][1:], os.path.basename(p))
                for p in glob.glob(os.path.join(SOURCE, "docs", "man", "*.[1-9]"))]
LICENCE = DOCDIR + "/LICENSE"


def library_files(libdir):
    return [
        "include/PELMORAERRI.h",
        libdir + "/cmake/PELMORAERRI/PELMORAERRIConfig.cmake",
        libdir + "/cmake/PELMORAERRI/PELMORAERRIConfigVersion.cmake",
        libdir + "/cmake/PELMORAERRI/PELMORAERRITargets.cmake",
        libdir + "/cmake/PELMORAERRI/PELMORAERRITargets-release.cmake",
        libdir + "/pkgconfig/PELMORAERRI.pc",
    ]


LINUX_PROGRAMS = ["bin/ZqCmdLin", "bin/zq-gang", "bin/zq-programmer-sim"]
LINUX_LIBRARY = LIBDIR + "/libPELMORAERRI.so.1.0.0"
LINUX_FILES = PAGES + MANUAL_PAGES + library_files(LIBDIR) + LINUX_PROGRAMS + [
    LIBDIR + "/libPELMORAERRI.so",
    LIBDIR + "/libPELMORAERRI.so.1",
    LINUX_LIBRARY,
]
# The tarball has the licence as a file; the .deb states it in Debian's copyright file, beside the
# Debian changelog, and has lintian's overrides.
LINUX_ARCHIVE_FILES = LINUX_FILES + [LICENCE]
DEBIAN_FILES = LINUX_FILES + [DOCDIR + "/copyright", DOCDIR + "/changelog.gz",
                              "share/lintian/overrides/" + NAME]
WINDOWS_FILES = PAGES + [LICENCE] + library_files("lib") + [
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


def stdout_of(command, timeout=300, **kwargs):
    """The command's standard output alone; a non-zero exit fails the test, showing both."""
    proc = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout, **kwargs)
    output = proc.stdout.decode("utf-8", "replace")
    if proc.returncode != 0:
        raise AssertionError("failed (%d): %s\n%s%s" % (proc.returncode, " ".join(command), output,
                                                        proc.stderr.decode("utf-8", "replace")))
    return output


def control_fields(text):
    """The fields of one Debian control paragraph; a continued field keeps its lines, each with
    its leading space."""
    fields, key = {}, None
    for line in text.splitlines():
        if line.startswith((" ", "\t")) and key:
            fields[key] += "\n" + line
        elif line.strip():
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return fields


def elf_sections(path):
    output = stdout_of([tool("ZQ_READELF", "binutils"), "--section-headers", "--wide", path])
    return set(re.findall(r"^\s*\[\s*\d+\]\s+(\S+)", output, re.M))


def debug_sections(path):
    return sorted(s for s in elf_sections(path) if s.startswith((".debug_", ".zdebug_")))


def elf_build_id(path):
    output = stdout_of([tool("ZQ_READELF", "binutils"), "--notes", path])
    found = re.search(r"Build ID: ([0-9a-f]{8,})", output)
    if not found:
        raise AssertionError("no build ID in " + path)
    return found.group(1)


def licence():
    """LICENSE of the source tree: its bytes, the licence's name, the copyright holder with the
    year and the text after the copyright line."""
    with open(os.path.join(SOURCE, "LICENSE"), "rb") as f:
        data = f.read()
    found = re.match(r"(\S+) License\n\nCopyright \(c\) ([^\n]+)\n\n(.+)$",
                     data.decode("utf-8"), re.S)
    if not found:
        raise AssertionError("LICENSE: no \"<name> License\" and copyright line")
    return (data,) + found.groups()


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

    def expect_licence(self, path):
        """The source tree's LICENSE as it is."""
        with open(path, "rb") as f:
            self.assertEqual(f.read(), licence()[0], path)

    def expect_gzip_9n(self, path):
        """Compressed by gzip -9n, as Debian wants: the header holds neither the file's name nor
        a time, and says the most compression."""
        with open(path, "rb") as f:
            header = f.read(10)
        self.assertEqual(header[:3], b"\x1f\x8b\x08", "%s: not gzip" % path)
        self.assertFalse(header[3] & 0x08, "%s: holds the file's name (no -n)" % path)
        self.assertEqual(header[4:8], b"\0\0\0\0", "%s: holds a time (no -n)" % path)
        self.assertEqual(header[8], 2, "%s: not the most compression (no -9)" % path)


class LinuxArchive(PackageChecks, zqtest.OutputChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.members = unpack(cls, ENV.get("ZQ_PACKAGE_LINUX_ARCHIVE", ""), ".tar.gz")

    def test_files(self):
        self.expect_archive_files(self.members, LINUX_ARCHIVE_FILES)
        lib = os.path.join(self.root, LIBDIR)
        self.assertEqual(os.readlink(os.path.join(lib, "libPELMORAERRI.so")), "libPELMORAERRI.so.1")
        self.assertEqual(os.readlink(os.path.join(lib, "libPELMORAERRI.so.1")),
                         "libPELMORAERRI.so.1.0.0")
        for program in ("ZqCmdLin", "zq-gang", "zq-programmer-sim"):
            self.assertTrue(os.access(os.path.join(self.root, "bin", program), os.X_OK), program)

    def test_licence(self):
        self.expect_licence(os.path.join(self.root, LICENCE))

    def test_programs_and_library_stripped(self):
        # Built with debug information, which is in the .deb's -dbgsym package only.
        for path in LINUX_PROGRAMS + [LINUX_LIBRARY]:
            with self.subTest(path=path):
                self.assertEqual(debug_sections(os.path.join(self.root, path)), [])

    def test_gang_loads_the_library_of_its_tree(self):
        # Found from zq-gang's own place (bin/../<libdir>), wherever the tarball is unpacked, and
        # not from the system's directories.
        environment = {k: v for k, v in ENV.items() if k != "LD_LIBRARY_PATH"}
        output = run([tool("ZQ_LDD", "libc-bin"), os.path.join(self.root, "bin", "zq-gang")],
                     env=environment)
        found = re.search(r"^\s*libPELMORAERRI\.so\.1 => (\S+)", output, re.M)
        self.assertTrue(found, output)
        self.assertEqual(os.path.realpath(found.group(1)),
                         os.path.realpath(os.path.join(self.root, LINUX_LIBRARY)), output)

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
        cls.package = cls.find("%s_%s_*.deb" % (NAME, VERSION))
        cls.debug_package = cls.find("%s-dbgsym_%s_*.ddeb" % (NAME, VERSION))
        cls.scratch = tempfile.mkdtemp(prefix="zq-deb-")
        cls.addClassCleanup(shutil.rmtree, cls.scratch, True)
        # Each package's files, and its control files in DEBIAN/.
        cls.tree = os.path.join(cls.scratch, "deb")
        cls.debug_tree = os.path.join(cls.scratch, "dbgsym")
        for package, tree in ((cls.package, cls.tree), (cls.debug_package, cls.debug_tree)):
            run([tool("ZQ_DPKG_DEB", "dpkg"), "--raw-extract", package, tree])

    @staticmethod
    def find(pattern):
        found = glob.glob(os.path.join(PACKAGE_DIR, pattern))
        if len(found) != 1:
            raise AssertionError("expected one %s in %s, found %s" % (pattern, PACKAGE_DIR, found))
        return found[0]

    def dpkg_deb(self, option, *members):
        return run([tool("ZQ_DPKG_DEB", "dpkg"), option, self.package] + list(members))

    def doc_file(self, name):
        return os.path.join(self.tree, "usr", DOCDIR, name)

    def test_control_fields(self):
        fields = control_fields(self.dpkg_deb("-f"))
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
        self.expect_files(entries, DEBIAN_FILES)
        # The library in Debian's multiarch directory of the package's architecture.
        multiarch = stdout_of([tool("ZQ_DPKG_ARCHITECTURE", "dpkg-dev"),
                               "-qDEB_HOST_MULTIARCH"]).strip()
        self.assertEqual(LIBDIR, "lib/" + multiarch)
        self.assertEqual(entries[LIBDIR + "/libPELMORAERRI.so.1"],
                         ("lrwxrwxrwx", "libPELMORAERRI.so.1.0.0"))
        self.assertEqual(entries["bin/ZqCmdLin"][0], "-rwxr-xr-x")

    def test_library_registered_with_the_loader(self):
        # Other packages' shared-library scans find libPELMORAERRI.so.1 here; dpkg's ldconfig
        # trigger updates the loader's cache after installing and removing, so the package has
        # no maintainer script at all.
        self.assertRegex(self.dpkg_deb("-I", "shlibs").strip(),
                         r"^libPELMORAERRI 1 %s \(>= %s\)$" % (re.escape(NAME), re.escape(VERSION)))
        self.assertEqual(self.dpkg_deb("-I", "triggers").strip(), "activate-noawait ldconfig")
        self.assertCountEqual(os.listdir(os.path.join(self.tree, "DEBIAN")),
                              ["control", "md5sums", "shlibs", "triggers"])

    def test_lintian_finds_no_error_or_warning(self):
        # The overrides in usr/share/lintian/overrides/<package> give their reasons.
        for package in (self.package, self.debug_package):
            with self.subTest(package=os.path.basename(package)):
                proc = subprocess.run([tool("ZQ_LINTIAN", "lintian"), "--fail-on", "error,warning",
                                       package], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      timeout=600)
                output = proc.stdout.decode("utf-8", "replace")
                tags = [line for line in output.splitlines() if re.match(r"^[EW]: ", line)]
                self.assertEqual((proc.returncode, tags), (0, []),
                                 output + proc.stderr.decode("utf-8", "replace"))

    def test_copyright_states_the_licence(self):
        # Debian's machine-readable format: a header, the paragraph of all files, then the
        # licence with its whole text, the text of LICENSE.
        _, name, holder, text = licence()
        with open(self.doc_file("copyright"), encoding="utf-8") as f:
            paragraphs = [control_fields(p) for p in re.split(r"\n\s*\n", f.read()) if p.strip()]
        self.assertEqual(len(paragraphs), 3, paragraphs)
        header, files, licence_paragraph = paragraphs
        self.assertEqual(header.get("Format"),
                         "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/")
        self.assertEqual(header.get("Upstream-Name"), NAME)
        self.assertEqual(files.get("Files"), "*")
        self.assertEqual(files.get("Copyright"), holder)
        self.assertEqual(files.get("License"), "MIT")
        self.assertEqual(name, "MIT")
        first, *lines = licence_paragraph.get("License", "").split("\n")
        self.assertEqual(first, "MIT")
        self.assertEqual("\n".join("" if line == " ." else line[1:] for line in lines),
                         text.strip())

    def test_changelog(self):
        # changelog.gz, as for a native version, read by dpkg's own parser: its latest entry is
        # this version of this package.
        path = self.doc_file("changelog.gz")
        self.expect_gzip_9n(path)
        plain = os.path.join(self.scratch, "changelog")
        with gzip.open(path, "rb") as source, open(plain, "wb") as target:
            target.write(source.read())
        proc = subprocess.run([tool("ZQ_DPKG_PARSECHANGELOG", "dpkg-dev"), "-l", plain],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual((proc.returncode, proc.stderr), (0, b""), proc.stderr)
        fields = control_fields(proc.stdout.decode("utf-8"))
        self.assertEqual((fields.get("Source"), fields.get("Version")), (NAME, VERSION))
        self.assertRegex(fields.get("Maintainer", ""), r"^\S.* <[^@<>\s]+@[^@<>\s]+>$")

    def test_manual_pages_render_cleanly(self):
        # Each page compressed with gzip -9n; neither groff with every warning nor man as lintian
        # runs it has anything to say.
        self.assertIn("share/man/man1/ZqCmdLin.1.gz", MANUAL_PAGES)
        for page in MANUAL_PAGES:
            path = os.path.join(self.tree, "usr", page)
            with self.subTest(page=page):
                self.expect_gzip_9n(path)
                with gzip.open(path, "rb") as f:
                    source = f.read()
                groff = subprocess.run([tool("ZQ_GROFF", "groff-base"), "-ww", "-man", "-z"],
                                       input=source, stdout=subprocess.PIPE,
                                       stderr=subprocess.STDOUT, timeout=60)
                self.assertEqual((groff.returncode, groff.stdout.decode("utf-8", "replace")),
                                 (0, ""))
                man = subprocess.run([tool("ZQ_MAN", "man-db"), "--warnings", "-E", "UTF-8", "-l",
                                      "-Tutf8", "-Z", path],
                                     env=dict(ENV, LC_ALL="C.UTF-8", MANWIDTH="80",
                                              MANROFFSEQ=""),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)
                self.assertEqual((man.returncode, man.stderr.decode("utf-8", "replace")), (0, ""))

    def test_debug_information_in_the_dbgsym_package(self):
        # The .deb's programs and library are stripped and name their debug file; the -dbgsym
        # package holds it under their build ID, with the full debug information (-g).
        fields = control_fields(run([tool("ZQ_DPKG_DEB", "dpkg"), "-f", self.debug_package]))
        self.assertEqual(fields.get("Package"), NAME + "-dbgsym")
        self.assertEqual(fields.get("Depends"), "%s (= %s)" % (NAME, VERSION))
        build_ids = []
        for path in LINUX_PROGRAMS + [LINUX_LIBRARY]:
            with self.subTest(path=path):
                binary = os.path.join(self.tree, "usr", path)
                self.assertEqual(debug_sections(binary), [])
                self.assertIn(".gnu_debuglink", elf_sections(binary))
                build_id = elf_build_id(binary)
                build_ids.append(build_id)
                debug_file = os.path.join(self.debug_tree, "usr", "lib", "debug", ".build-id",
                                          build_id[:2], build_id[2:] + ".debug")
                self.assertTrue(os.path.isfile(debug_file), debug_file)
                self.assertLessEqual({".debug_info", ".debug_line", ".debug_str"},
                                     set(debug_sections(debug_file)))
        self.assertCountEqual(fields.get("Build-Ids", "").split(), build_ids)

    def test_installs_and_removes_cleanly(self):
        # Both packages installed by dpkg into a root of their own, with an empty package
        # database (so their dependencies are not there), then removed again.
        root = zqtest.scratch_directory(self, "zq-dpkg-root-")
        database = os.path.join(root, "var", "lib", "dpkg")
        for directory in ("info", "updates"):
            os.makedirs(os.path.join(database, directory))
        open(os.path.join(database, "status"), "w").close()
        dpkg = [tool("ZQ_DPKG", "dpkg"), "--root=" + root, "--force-not-root", "--force-depends"]
        run(dpkg + ["--install", self.package, self.debug_package])

        def left():
            """Everything below the root but dpkg's database and the directories above it."""
            found = []
            for directory, subdirectories, files in os.walk(root):
                relative = os.path.relpath(directory, root)
                if relative == "var/lib/dpkg":
                    subdirectories[:] = []
                    continue
                found += [os.path.normpath(os.path.join(relative, name))
                          for name in subdirectories + files]
            return sorted(set(found) - {"var", "var/lib", "var/lib/dpkg"})

        self.assertEqual({"usr/" + f for f in DEBIAN_FILES} - set(left()), set(), "not installed")
        # `man ZqCmdLin` finds the page where the package put it, and so for every page.
        environment = dict(ENV, LC_ALL="C.UTF-8", MANWIDTH="80", MANPAGER="cat", PAGER="cat")
        manuals = os.path.join(root, "usr", "share", "man")
        for page in MANUAL_PAGES:
            name, section = re.match(r"^share/man/man\w+/(.+)\.(\w+)\.gz$", page).groups()
            with self.subTest(page=page):
                shown = run([tool("ZQ_MAN", "man-db"), "-M", manuals, section, name],
                            env=environment)
                self.assertRegex(shown, r"^%s\(%s\)" % (re.escape(name), section))
                self.assertIn("NAME", shown)
        shown = run([tool("ZQ_MAN", "man-db"), "-M", manuals, "ZqCmdLin"], env=environment)
        self.assertRegex(shown, r"^ZqCmdLin\(1\)")

        run(dpkg + ["--remove", NAME + "-dbgsym", NAME])
        self.assertEqual(left(), [])
        self.assertEqual([n for n in os.listdir(os.path.join(database, "info"))
                          if n.startswith(NAME)], [])


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

    def test_licence(self):
        self.expect_licence(self.path(LICENCE))

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
