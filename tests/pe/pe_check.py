#!/usr/bin/env python3
"""Checks of the Windows binaries that need no execution: PELMORAERRI.dll, ZqCmdLin.exe and
zq-gang.exe of a MinGW build, read as PE files.

    pe_check.py BUILD_DIR win32|win64 VERSION
    pe_check.py --prove-stdcall-check

The first form checks machine, file kind and subsystem, the nine exports with their ordinals,
the imported DLLs and the version resource; for win32 it also reads from the code of every export
that the function removes its own arguments (stdcall), since a host built for the original library
calls it that way and a cdecl export corrupts the host's stack on every call. The second form
builds small i686 DLLs in a temporary directory and shows that this code check accepts stdcall
exports and rejects cdecl ones. Every failure is printed; the exit status is 1 if any check
failed (77: the proof was skipped for want of the MinGW tools).
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

DLL = "PELMORAERRI.dll"
EXE = "ZqCmdLin.exe"
GANG = "zq-gang.exe"
# Ordinal, name and bytes of arguments (which a stdcall function removes on return).
EXPORTS = [
    (1, "GetPktFExStatuInfomationStrRT", 4),
    (2, "GetPktFDxStatuInfomationStrRT", 4),
    (3, "GetPktFCxStatuInfomationStrRT", 4),
    (4, "GetPktFBxStatuInfomationStrRT", 4),
    (5, "GetPktFAxStatuInfomationStrRT", 4),
    (6, "GetStatuInfomationStrRT", 4),
    (7, "GetChineseErrorMessageinformationRTX", 4),
    (8, "GetEglishErrorMessageinformationRTX", 4),
    (9, "GetErrorMessageinformationRTX", 8),
]
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "shell32.dll"}
# COFF machine and optional header magic of each build.
ARCHES = {"win32": (0x14C, 0x10B, "PE32 i386"), "win64": (0x8664, 0x20B, "PE32+ x86-64")}
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
SUBSYSTEM_WINDOWS_GUI = 2
SUBSYSTEM_WINDOWS_CUI = 3
RT_VERSION = 16
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
VFT_APP, VFT_DLL = 1, 2
REQUIRED_STRINGS = ("ProductName", "FileDescription", "FileVersion", "ProductVersion",
                    "OriginalFilename")


class PeFile:
    """The parts of a PE image these checks read, straight from the file's bytes."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = self.u32(0x3C)
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", self.data, pe + 4)
        opt = pe + 24
        self.magic = self.u16(opt)
        plus = self.magic == 0x20B
        self.image_base = struct.unpack_from("<Q" if plus else "<I", self.data,
                                             opt + (24 if plus else 28))[0]
        self.subsystem = self.u16(opt + 68)
        dirs = opt + (112 if plus else 96)
        count = self.u32(dirs - 4)
        self.directories = [struct.unpack_from("<II", self.data, dirs + 8 * i)
                            for i in range(min(count, 16))]
        table = opt + optional_size
        self.sections = []
        for i in range(sections):
            # (rva, size in memory, file offset, size in the file, flags)
            vsize, rva, raw_size, raw_offset = struct.unpack_from("<IIII", self.data,
                                                                  table + 40 * i + 8)
            flags = self.u32(table + 40 * i + 36)
            self.sections.append((rva, max(vsize, raw_size), raw_offset, raw_size, flags))

    def u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def section_of(self, rva):
        for section in self.sections:
            if section[0] <= rva < section[0] + section[1]:
                return section
        return None

    def offset(self, rva):
        section = self.section_of(rva)
        if section is None or rva - section[0] >= section[3]:
            raise ValueError("RVA %#x lies in no section's file data" % rva)
        return section[2] + rva - section[0]

    def rva_u32(self, rva):
        return self.u32(self.offset(rva))

    def string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("latin-1")

    def is_code(self, rva):
        section = self.section_of(rva)
        return section is not None and bool(section[4] & IMAGE_SCN_MEM_EXECUTE)

    def exports(self):
        """(ordinal, rva, names, forwarded-to) of every slot of the export address table."""
        rva, size = self.directory(0)
        if not rva:
            return []
        (_, _, _, _, _, base, functions, names, functions_rva, names_rva,
         ordinals_rva) = struct.unpack_from("<IIHHIIIIIII", self.data, self.offset(rva))
        named = {}
        for i in range(names):
            slot = self.u16(self.offset(ordinals_rva + 2 * i))
            named.setdefault(slot, []).append(self.string(self.rva_u32(names_rva + 4 * i)))
        slots = []
        for i in range(functions):
            target = self.rva_u32(functions_rva + 4 * i)
            forward = self.string(target) if rva <= target < rva + size else None
            slots.append((base + i, target, named.pop(i, []), forward))
        # Names whose slot lies outside the table are exports nobody can resolve.
        slots += [(None, 0, n, None) for n in named.values()]
        return slots

    def imports(self):
        rva, _ = self.directory(1)
        names = []
        while rva:
            descriptor = struct.unpack_from("<5I", self.data, self.offset(rva))
            if not any(descriptor):
                break
            names.append(self.string(descriptor[3]))
            rva += 20
        return names

    def resources(self, type_id):
        """Data (bytes) of every resource of one numeric type, all names and languages."""
        root, _ = self.directory(2)
        if not root:
            return []

        def entries(offset):
            start = self.offset(root + offset)
            named, ids = struct.unpack_from("<HH", self.data, start + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, start + 16 + 8 * i)
                yield name, target

        def leaves(offset):
            for _, target in entries(offset):
                if target & 0x80000000:
                    yield from leaves(target & 0x7FFFFFFF)
                else:
                    data_rva, size = struct.unpack_from("<II", self.data,
                                                        self.offset(root + target))
                    yield self.data[self.offset(data_rva):self.offset(data_rva) + size]

        found = []
        for name, target in entries(0):
            if name == type_id and target & 0x80000000:
                found += leaves(target & 0x7FFFFFFF)
        return found


def version_blocks(data, offset=0, end=None):
    """The VS_VERSIONINFO tree: [(key, value bytes, children)], each node being
    wLength, wValueLength, wType, a NUL-terminated UTF-16 key, then value and children, each
    aligned to 4 bytes."""
    end = len(data) if end is None else end
    nodes = []
    while offset + 6 <= end:
        length, value_length, kind = struct.unpack_from("<HHH", data, offset)
        if length < 6:
            break
        node_end = min(offset + length, end)
        key_end = offset + 6
        while key_end + 1 < node_end and data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[offset + 6:key_end].decode("utf-16-le")
        value_start = (key_end + 2 + 3) & ~3
        # Text values count characters, binary ones bytes.
        value_end = min(value_start + value_length * (2 if kind == 1 else 1), node_end)
        children = version_blocks(data, (value_end + 3) & ~3, node_end)
        nodes.append((key, data[value_start:value_end], children))
        offset = (offset + length + 3) & ~3
    return nodes


class Disassembler:
    """Instructions of a PE image decoded by objdump on demand, by address (a VA)."""
    CHUNK = 0x200
    PREFIXES = {"repz", "rep", "bnd", "notrack", "ds", "cs"}

    def __init__(self, objdump, path):
        self.objdump, self.path, self.cache = objdump, path, {}

    def at(self, address):
        if address not in self.cache:
            self.decode(address)
        return self.cache.get(address)

    def decode(self, start):
        out = subprocess.run([self.objdump, "-d", "-w", "--start-address=%#x" % start,
                              "--stop-address=%#x" % (start + self.CHUNK), self.path],
                             stdout=subprocess.PIPE).stdout.decode("latin-1")
        rows = re.findall(r"^\s*([0-9a-f]+):\t([0-9a-f ]+)\t(.*)$", out, re.M)
        # The last instruction may have been cut by the stop address.
        for address, raw, text in rows[:-1] if len(rows) > 1 else rows:
            words = text.split()
            while len(words) > 1 and words[0] in self.PREFIXES:
                words.pop(0)
            operands = words[1] if len(words) > 1 else ""
            self.cache[int(address, 16)] = (len(raw.split()), words[0] if words else "",
                                            operands)


def jump_table(pe, operands, recent):
    """Targets of `jmp *TABLE(,%reg,4)`, the table's size taken from the bounds check before it
    (`cmp $K` then ja/jbe: K+1 entries; jae/jb: K entries); None when it cannot be read."""
    m = re.match(r"\*0x([0-9a-f]+)\(,%\w+,4\)$", operands)
    if not m:
        return None
    count = None
    for i in range(len(recent) - 1, -1, -1):
        if recent[i][0] in ("ja", "jbe", "jae", "jb"):
            for op, args in reversed(recent[:i]):
                k = re.match(r"\$0x([0-9a-f]+),", args)
                if op.startswith("cmp") and k:
                    count = int(k.group(1), 16) + (recent[i][0] in ("ja", "jbe"))
                    break
            break
    if count is None or count > 4096:
        return None
    table = int(m.group(1), 16) - pe.image_base
    return [pe.rva_u32(table + 4 * i) for i in range(count)]


def stdcall_problems(pe, disassembler, name, rva, argument_bytes):
    """Follows every path from the export's first instruction to its ends: each must be
    `ret $argument_bytes`. Calls are stepped over (the callee returns here), jumps and branches
    are followed wherever they lead, jump tables through every entry; a path that cannot be
    followed is a failure, never a pass."""
    problems, exits = [], 0
    work, seen = [(pe.image_base + rva, ())], set()
    while work:
        address, recent = work.pop()
        while address not in seen:
            seen.add(address)
            insn = disassembler.at(address)
            if insn is None:
                problems.append("%s: no code at %#x" % (name, address))
                break
            length, op, operands = insn
            recent = (recent + ((op, operands),))[-12:]
            target = re.match(r"(?:0x)?([0-9a-f]+)\b", operands)
            if op in ("ret", "retl"):
                removed = int(operands[3:], 16) if operands.startswith("$0x") else 0
                if removed == argument_bytes:
                    exits += 1
                elif removed == 0:
                    problems.append("%s returns with a plain ret at %#x (cdecl: the caller's "
                                    "arguments stay on the stack)" % (name, address))
                else:
                    problems.append("%s returns with ret $%#x at %#x, expected ret $%#x"
                                    % (name, removed, address, argument_bytes))
                break
            if op == "jmp" and operands.startswith("*"):
                targets = jump_table(pe, operands, recent)
                if targets is None:
                    problems.append("%s: cannot follow the indirect jump `jmp %s` at %#x"
                                    % (name, operands, address))
                elif not all(pe.is_code(t - pe.image_base) for t in targets):
                    problems.append("%s: jump table at %#x leads outside the code"
                                    % (name, address))
                else:
                    work += [(t, recent) for t in targets]
                break
            if op == "jmp" and target:
                address = int(target.group(1), 16)
                continue
            if (op.startswith("j") or op.startswith("loop")) and target:
                work.append((int(target.group(1), 16), recent))
            elif op in ("ud2", "hlt", "int3"):
                break
            elif op.startswith(("(bad)", ".", "lj")) or "ret" in op or op == "jmp":
                problems.append("%s: unexpected `%s %s` at %#x" % (name, op, operands, address))
                break
            address += length
    if exits == 0 and not problems:
        problems.append("%s has no ret $%#x at all" % (name, argument_bytes))
    return problems


class Checks:
    """Counts the checks made and keeps every failure, each naming its file."""

    def __init__(self):
        self.count, self.failures = 0, []

    def expect(self, condition, file_name, message):
        self.count += 1
        if not condition:
            self.failures.append("%s: %s" % (file_name, message))
        return condition

    def group(self, check, pe, file_name, *args):
        """Runs one group of checks; a structure that cannot be read fails that group only."""
        try:
            return check(self, pe, file_name, *args)
        except (ValueError, IndexError, struct.error, UnicodeDecodeError) as e:
            self.expect(False, file_name, "%s stopped: %s" % (check.__name__, e))
            return None


def check_image(checks, pe, file_name, arch, want_dll):
    machine, magic, label = ARCHES[arch]
    checks.expect(pe.machine == machine and pe.magic == magic, file_name,
                  "is machine %#x, optional header magic %#x; expected %s"
                  % (pe.machine, pe.magic, label))
    is_dll = bool(pe.characteristics & IMAGE_FILE_DLL)
    checks.expect(is_dll == want_dll and pe.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE,
                  file_name, "characteristics %#x: expected %s" % (
                      pe.characteristics, "a DLL" if want_dll else "an executable, not a DLL"))
    imported = pe.imports()
    checks.expect(imported, file_name, "imports no DLL at all (import directory unread?)")
    # zq-gang.exe is a host program of the library beside it; nothing else imports more than the
    # system's own DLLs.
    allowed = SYSTEM_DLLS | ({DLL.lower()} if file_name == GANG else set())
    for dll in imported:
        checks.expect(dll.lower() in allowed, file_name, "imports %s" % dll)
    if file_name == GANG:
        checks.expect(DLL.lower() in {d.lower() for d in imported}, file_name,
                      "does not import %s" % DLL)
    checks.expect(not pe.directory(13)[0], file_name, "has delay-load imports")


def check_exports(checks, pe, file_name):
    by_name = {}
    for ordinal, rva, names, forward in pe.exports():
        checks.expect(rva or names, file_name, "ordinal %s is a gap in the export table" % ordinal)
        checks.expect(forward is None, file_name, "export %s (ordinal %s) is forwarded to %s"
                      % ("/".join(names), ordinal, forward))
        checks.expect(names or not rva, file_name, "ordinal %s is exported without a name"
                      % ordinal)
        for name in names:
            checks.expect("@" not in name and not name.startswith("_"), file_name,
                          "export %s is decorated" % name)
            by_name[name] = (ordinal, rva)
    expected = {name for _, name, _ in EXPORTS}
    for name in sorted(set(by_name) - expected):
        checks.expect(False, file_name, "unexpected export %s (ordinal %s)"
                      % (name, by_name[name][0]))
    for ordinal, name, _ in EXPORTS:
        if checks.expect(name in by_name, file_name, "export %s is missing" % name):
            checks.expect(by_name[name][0] == ordinal, file_name,
                          "export %s has ordinal %s, expected %d"
                          % (name, by_name[name][0], ordinal))
    return by_name


def check_version(checks, pe, file_name, version, file_type):
    found = pe.resources(RT_VERSION)
    if not checks.expect(found, file_name, "has no version resource (RT_VERSION)"):
        return
    tree = version_blocks(found[0])
    if not checks.expect(tree and tree[0][0] == "VS_VERSION_INFO" and len(tree[0][1]) >= 52,
                         file_name, "version resource has no VS_VERSION_INFO with fixed info"):
        return
    _, fixed, children = tree[0]
    (signature, _, file_ms, file_ls, product_ms, product_ls, _, _, _,
     kind) = struct.unpack_from("<10I", fixed)
    major, minor, patch = (int(p) for p in version.split("."))
    want = ((major << 16) | minor, patch << 16)
    checks.expect(signature == VS_FIXEDFILEINFO_SIGNATURE, file_name,
                  "VS_FIXEDFILEINFO signature is %#x" % signature)
    for what, ms, ls in (("FileVersion", file_ms, file_ls),
                         ("ProductVersion", product_ms, product_ls)):
        checks.expect((ms, ls) == want, file_name, "fixed %s is %d.%d.%d.%d, expected %s.0" % (
            what, ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF, version))
    checks.expect(kind == file_type, file_name, "fixed file type is %d, expected %d"
                  % (kind, file_type))
    tables = [table for block in children if block[0] == "StringFileInfo"
              for table in block[2]]
    if not checks.expect(tables, file_name, "version resource has no StringFileInfo table"):
        return
    for table in tables:
        strings = {k: v.decode("utf-16-le").split("\0")[0] for k, v, _ in table[2]}
        for name in REQUIRED_STRINGS:
            checks.expect(strings.get(name), file_name, "string table %s has no %s"
                          % (table[0], name))
        for name, wanted in (("FileVersion", version), ("OriginalFilename", file_name)):
            checks.expect(strings.get(name, wanted) == wanted, file_name, "%s is %r, expected %r"
                          % (name, strings.get(name), wanted))


def check_stdcall(checks, pe, file_name, path, exported):
    objdump = shutil.which("i686-w64-mingw32-objdump")
    if objdump is None:
        print("%s: stdcall code check skipped: i686-w64-mingw32-objdump not found" % file_name)
        return
    disassembler = Disassembler(objdump, path)
    for _, name, argument_bytes in EXPORTS:
        if name in exported:
            problems = stdcall_problems(pe, disassembler, name, exported[name][1], argument_bytes)
            for problem in problems or [None]:
                checks.expect(problem is None, file_name, problem)


def check_build(build, arch, version):
    checks = Checks()
    images = {}
    for file_name, sub in ((DLL, "msglib"), (EXE, "tester"), (GANG, "gang")):
        path = os.path.join(build, sub, file_name)
        try:
            images[file_name] = (PeFile(path), path)
        except (OSError, ValueError, struct.error) as e:
            checks.expect(False, file_name, "cannot be read as a PE file: %s" % e)
    if DLL in images:
        pe, path = images[DLL]
        checks.group(check_image, pe, DLL, arch, True)
        exported = checks.group(check_exports, pe, DLL) or {}
        checks.group(check_version, pe, DLL, version, VFT_DLL)
        if arch == "win32" and pe.machine == ARCHES["win32"][0]:
            checks.group(check_stdcall, pe, DLL, path, exported)
    # The tester never shows a window; the gang is a console program, so that its exit status and
    # lines reach the script that started it.
    for exe, subsystem, label in ((EXE, SUBSYSTEM_WINDOWS_GUI, "Windows GUI"),
                                  (GANG, SUBSYSTEM_WINDOWS_CUI, "Windows console")):
        if exe in images:
            pe, _ = images[exe]
            checks.group(check_image, pe, exe, arch, False)
            checks.expect(pe.subsystem == subsystem, exe, "subsystem is %d, expected %s (%d)"
                          % (pe.subsystem, label, subsystem))
            checks.group(check_version, pe, exe, version, VFT_APP)
    return checks


# The proof of the stdcall check: exports of small i686 DLLs and what the check must say of
# each (None: accepted). The assembly gives shapes a compiler makes but not on demand.
PROOF_ASSEMBLY = r"""
    .text
_StdcallPlain@4:  movl 4(%esp), %eax
                  ret $4
_CdeclPlain:      movl 4(%esp), %eax
                  ret
_TwoArguments@8:  movl 8(%esp), %eax
                  ret $8
_WrongSize@4:     ret $8
_TailStdcall@4:   cmpl $0, 4(%esp)
                  je 1f
                  movl $1, %eax
                  jmp tail_stdcall
1:                xorl %eax, %eax
                  jmp tail_stdcall
_TailCdecl@4:     movl 4(%esp), %eax
                  jmp tail_cdecl
_ColdCdecl@4:     cmpl $0, 4(%esp)
                  je cold_cdecl
                  ret $4
_TableStdcall@4:  movl 4(%esp), %eax
                  cmpl $2, %eax
                  ja 9f
                  jmp *table_stdcall(,%eax,4)
2:                ret $4
3:                ret $4
9:                ret $4
4:                ret $4
_TableCdecl@4:    movl 4(%esp), %eax
                  cmpl $2, %eax
                  ja 9f
                  jmp *table_cdecl(,%eax,4)
5:                ret $4
6:                ret $4
9:                ret $4
7:                ret
_Unbounded@4:     movl 4(%esp), %eax
                  jmp *table_stdcall(,%eax,4)
_Indirect@4:      movl 4(%esp), %eax
                  jmp *%eax
_NeverReturns@4:  ud2
tail_stdcall:     ret $4
tail_cdecl:       ret
cold_cdecl:       xorl %eax, %eax
                  ret
    .section .rdata,"dr"
table_stdcall:    .long 2b, 3b, 4b
table_cdecl:      .long 5b, 6b, 7b
"""
PROOF_CASES = [
    ("StdcallPlain", 4, None),
    ("CdeclPlain", 4, "plain ret"),
    ("TwoArguments", 8, None),
    ("WrongSize", 4, "ret $0x8"),
    ("TailStdcall", 4, None),
    ("TailCdecl", 4, "plain ret"),
    ("ColdCdecl", 4, "plain ret"),
    ("TableStdcall", 4, None),
    ("TableCdecl", 4, "plain ret"),
    ("Unbounded", 4, "cannot follow"),
    ("Indirect", 4, "cannot follow"),
    ("NeverReturns", 4, "no ret"),
]
PROOF_C = r"""
#include <stdio.h>
int CONVENTION Scale(int value)
{
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  return text[0] == '-' ? 0 : value * 3 + 1;
}
"""
# Compiler-made Scale: convention, whether the link disables the stdcall fixup, and the outcome
# (None: links and is accepted; "link": the link fails; other: the check's complaint).
PROOF_LINKS = [
    ("__stdcall", True, None),
    ("__cdecl", True, "link"),
    ("__cdecl", False, "plain ret"),
]


def prove_stdcall_check():
    gcc = shutil.which("i686-w64-mingw32-gcc")
    objdump = shutil.which("i686-w64-mingw32-objdump")
    if gcc is None or objdump is None:
        print("stdcall check proof skipped: i686-w64-mingw32-gcc or -objdump not found")
        return 77
    failures = []
    with tempfile.TemporaryDirectory(prefix="zq_pe_") as d:
        def build(name, sources, exports, fixup):
            with open(os.path.join(d, name + ".def"), "w") as f:
                f.write("LIBRARY %s\nEXPORTS\n" % name + "".join("    %s\n" % e for e in exports))
            dll = os.path.join(d, name + ".dll")
            flags = [] if fixup else ["-Wl,--disable-stdcall-fixup"]
            proc = subprocess.run([gcc, "-O2", "-shared", "-o", dll] + sources + flags
                                  + [os.path.join(d, name + ".def")],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            return dll, proc

        def verdicts(dll, cases):
            pe = PeFile(dll)
            disassembler = Disassembler(objdump, dll)
            rvas = {names[0]: rva for _, rva, names, _ in pe.exports() if names}
            for name, argument_bytes, expected in cases:
                if name not in rvas:
                    failures.append("%s: not exported by %s" % (name, dll))
                    continue
                problems = stdcall_problems(pe, disassembler, name, rvas[name], argument_bytes)
                ok = not problems if expected is None else any(expected in p for p in problems)
                print("%-8s %s: %s" % ("ok" if ok else "WRONG", name,
                                       "; ".join(problems) or "accepted"))
                if not ok:
                    failures.append("%s: expected %s, got %s"
                                    % (name, expected or "acceptance", problems or "acceptance"))

        source = os.path.join(d, "shapes.s")
        with open(source, "w") as f:
            f.write("".join("    .globl %s\n" % label.split(":")[0]
                            for label in re.findall(r"^_\S+:", PROOF_ASSEMBLY, re.M)))
            f.write(PROOF_ASSEMBLY)
        exports = [n if n.startswith("Cdecl") else "%s = %s@%d" % (n, n, b)
                   for n, b, _ in PROOF_CASES]
        dll, proc = build("shapes", [source], exports, False)
        if proc.returncode:
            print(proc.stdout.decode("latin-1"))
            return 1
        verdicts(dll, PROOF_CASES)

        for convention, disabled, expected in PROOF_LINKS:
            c = os.path.join(d, "scale.c")
            with open(c, "w") as f:
                f.write("#define CONVENTION %s\n%s" % (convention, PROOF_C))
            dll, proc = build("scale", [c], ["Scale = Scale@4 @1"], not disabled)
            link = "with" if disabled else "without"
            print("link of %s Scale against Scale = Scale@4 %s --disable-stdcall-fixup: %s"
                  % (convention, link, "fails" if proc.returncode else "succeeds"))
            output = proc.stdout.decode("latin-1")
            print("".join("    %s\n" % line for line in output.splitlines()), end="")
            if expected == "link":
                if not proc.returncode or "Scale@4" not in output:
                    failures.append("%s link %s the flag did not fail for want of Scale@4"
                                    % (convention, link))
            elif proc.returncode:
                failures.append("%s link %s the flag failed" % (convention, link))
            else:
                verdicts(dll, [("Scale", 4, expected)])
    for failure in failures:
        print(failure)
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prove-stdcall-check", action="store_true")
    parser.add_argument("build", nargs="?")
    parser.add_argument("arch", nargs="?", choices=sorted(ARCHES))
    parser.add_argument("version", nargs="?")
    args = parser.parse_args()
    if args.prove_stdcall_check:
        return prove_stdcall_check()
    if not (args.build and args.arch and re.fullmatch(r"\d+\.\d+\.\d+", args.version or "")):
        parser.error("BUILD_DIR, win32|win64 and a version major.minor.patch are required")
    checks = check_build(args.build, args.arch, args.version)
    for failure in checks.failures:
        print(failure)
    print("%s %s: %d of %d checks failed" % (args.arch, args.build, len(checks.failures),
                                             checks.count))
    return 1 if checks.failures else 0


if __name__ == "__main__":
    sys.exit(main())
