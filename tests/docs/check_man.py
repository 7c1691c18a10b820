#!/usr/bin/env python3
"""The manual pages of docs/man/ as a user's man and Debian's lintian read them.

    check_man.py --pages DIR --version V [unittest options]

Every page renders without any warning through groff -ww and through man --warnings (at two
terminal widths); its title line names the page, its section, the date and the project's
version; its NAME line parses for whatis (lexgrog, where installed); it has the sections a page
of its kind has; every option dash is written \\- (a plain - renders as a hyphen, which a reader
cannot paste into a shell); every version it quotes is the project's; the pages it refers to
exist. The checks are first tried on broken snippets, so that each can fail.

Without groff the whole test is skipped with one line saying so (exit 77).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SKIP_CODE = 77
PAGES_DIR = ""
VERSION = ""

# The pages and the sections each must have, by kind.
PAGES = ["ZqCmdLin.1", "zq-gang.1", "zq-programmer-sim.1", "PELMORAERRI.3"]
SECTIONS = {
    "1": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "FILES", "EXIT STATUS", "EXAMPLES",
          "SEE ALSO"],
    "3": ["NAME", "LIBRARY", "SYNOPSIS", "DESCRIPTION", "RETURN VALUE", "FILES", "EXAMPLES",
          "SEE ALSO"],
}
DATE = "2026-12-07"
SOURCE = "zq-programmer-host"

# A dash that starts an option or stands for a minus, written without its backslash: after the
# start of a text, a blank, an opening bracket or a quote, before a letter, a digit or a dash.
BARE_DASH = re.compile(r"(?:^|[\s(\[\"'|=])(?<!\\)-{1,2}(?=[A-Za-z0-9-])")
# A reference to a page, as .BR name (n) writes it.
REFERENCE = re.compile(r"^\.BR\s+(\S+)\s+\((\d)\)")


def text_lines(source):
    """(number, line) of the lines that carry text or macros, without comments and .TH."""
    for number, line in enumerate(source.splitlines(), 1):
        if line.startswith('.\\"') or line.startswith(".TH "):
            continue
        yield number, line


def bare_dashes(source):
    """Line numbers holding an option dash written as a plain -."""
    return [number for number, line in text_lines(source)
            if BARE_DASH.search(line.replace("\\-", "").replace("\\(rs", ""))]


def title_problem(source, page):
    """What is wrong with the .TH line of the page named page (file name), or None."""
    name, section = page.rsplit(".", 1)
    titles = [line for line in source.splitlines() if line.startswith(".TH ")]
    if len(titles) != 1:
        return "%d title lines" % len(titles)
    expected = '.TH %s %s %s "%s %s" ' % (name, section, DATE, SOURCE, VERSION)
    if not titles[0].startswith(expected):
        return "title %r does not start %r" % (titles[0], expected)
    return None


def name_problem(source, page):
    """What is wrong with the NAME section (names, a \\- and a description), or None."""
    name = page.rsplit(".", 1)[0]
    match = re.search(r"^\.SH NAME\n(.*?)\n\.S[HS] ", source, re.S | re.M)
    if not match:
        return "no NAME section followed by another section"
    text = " ".join(match.group(1).split())
    parts = text.split(" \\- ")
    if len(parts) != 2 or not parts[1].strip():
        return "NAME is not 'names \\- description': %r" % text
    names = [item.strip().replace("\\-", "-") for item in parts[0].split(",")]
    if names[0] != name or any(not re.fullmatch(r"[\w.:-]+", item) for item in names):
        return "NAME lists %r, first must be %s" % (names, name)
    return None


def section_problem(source, page):
    """The sections the page lacks or has out of order, or None."""
    expected = SECTIONS[page.rsplit(".", 1)[1]]
    found = [line[4:].strip().strip('"') for line in source.splitlines()
             if line.startswith(".SH ")]
    present = [section for section in found if section in expected]
    if present != expected:
        return "sections %s, expected %s in this order" % (found, expected)
    return None


def version_problem(source):
    """A version other than the project's quoted in the page, or None."""
    others = sorted(set(re.findall(r"\b\d+\.\d+\.\d+\b", source)) - {VERSION})
    return "versions %s quoted, the project's is %s" % (others, VERSION) if others else None


def missing_references(source, pages):
    """References to pages of this project (its programs and library) that do not exist."""
    own = {page.rsplit(".", 1)[0].lower() for page in PAGES}
    missing = []
    for _, line in text_lines(source):
        match = REFERENCE.match(line)
        if match:
            name = match.group(1).replace("\\-", "-")
            if name.lower() in own and "%s.%s" % (name, match.group(2)) not in pages:
                missing.append("%s(%s)" % (name, match.group(2)))
    return missing


def groff_messages(path):
    """What groff -ww says while formatting the page (nothing for a clean page)."""
    run = subprocess.run(["groff", "-ww", "-man", "-z", path], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, universal_newlines=True)
    return run.stdout.strip() + ("" if run.returncode == 0 else " (exit %d)" % run.returncode)


def man_messages(path, width):
    """What man --warnings says on standard error while formatting the page for a terminal."""
    environment = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH=str(width))
    environment.pop("MANROFFSEQ", None)
    run = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", path],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         universal_newlines=True, env=environment)
    return run.stderr.strip() + ("" if run.returncode == 0 else " (exit %d)" % run.returncode)


def read(page):
    with open(os.path.join(PAGES_DIR, page), encoding="ascii") as f:
        return f.read()


class Checks(unittest.TestCase):
    """Each check on snippets it must turn down and on one it must pass."""

    GOOD = (".TH zq-gang 1 %s \"%s %s\" \"User Commands\"\n.SH NAME\n"
            "zq-gang \\- run testers\n.SH SYNOPSIS\n.B zq\\-gang \\-COM=3\n") % (
                DATE, SOURCE, "%(version)s")

    def good(self):
        return self.GOOD % {"version": VERSION}

    def test_checks_turn_down_broken_pages(self):
        good = self.good()
        cases = [
            ("plain option dash", lambda: bare_dashes(good + ".B zq-gang -COM=3\n"), [6]),
            ("plain long option", lambda: bare_dashes(good + "use \\-\\-jobs or --jobs\n"), [6]),
            ("bracketed dash", lambda: bare_dashes(good + ".RB [ -ENDPDAT ]\n"), [6]),
            ("escaped dashes", lambda: bare_dashes(good + ".B \\-\\-tester\nread-sum\n"), []),
            ("name without \\-", lambda: name_problem(good.replace(" \\- ", " - "),
                                                      "zq-gang.1") is not None, True),
            ("name of another page", lambda: name_problem(good, "ZqCmdLin.1") is not None, True),
            ("good name", lambda: name_problem(good, "zq-gang.1"), None),
            ("title of another version",
             lambda: title_problem(good.replace(VERSION, VERSION + "0"), "zq-gang.1")
             is not None, True),
            ("title of another section", lambda: title_problem(good, "zq-gang.8") is not None,
             True),
            ("good title", lambda: title_problem(good, "zq-gang.1"), None),
            ("missing sections", lambda: section_problem(good, "zq-gang.1") is not None, True),
            ("stale version", lambda: version_problem(good + "prints zq\\-gang 0.9.1\n")
             is not None, True),
            ("reference to no page",
             lambda: missing_references(".BR zq\\-gang (8),\n", PAGES), ["zq-gang(8)"]),
            ("reference to another project", lambda: missing_references(".BR pty (7)\n", PAGES),
             []),
        ]
        for what, check, expected in cases:
            with self.subTest(what):
                self.assertEqual(check(), expected)

    def test_renderers_report_warnings(self):
        # (what, page source, whether man --warnings, which asks only for the macro warnings,
        # reports it too)
        broken = [
            ("an escape groff does not know", self.good() + "text \\q here\n", False),
            ("a macro that does not exist", self.good() + ".XY something\n", True),
            ("a font that does not exist", self.good() + ".ft Q\nword\n", False),
        ]
        directory = tempfile.mkdtemp(prefix="zq-man-")
        self.addCleanup(shutil.rmtree, directory)
        for what, source, man_too in broken:
            with self.subTest(what):
                path = os.path.join(directory, "zq-gang.1")
                with open(path, "w", encoding="ascii") as f:
                    f.write(source)
                self.assertNotEqual(groff_messages(path), "")
                if man_too and shutil.which("man"):
                    self.assertNotEqual(man_messages(path, 80), "")


class Pages(unittest.TestCase):
    def test_every_page_is_there_and_only_those(self):
        present = sorted(name for name in os.listdir(PAGES_DIR) if re.search(r"\.\d$", name))
        self.assertEqual(present, sorted(PAGES))

    def test_pages(self):
        for page in PAGES:
            path = os.path.join(PAGES_DIR, page)
            source = read(page)
            checks = [
                ("groff -ww", lambda: groff_messages(path), ""),
                ("option dashes", lambda: bare_dashes(source), []),
                ("title line", lambda: title_problem(source, page), None),
                ("NAME line", lambda: name_problem(source, page), None),
                ("sections", lambda: section_problem(source, page), None),
                ("versions", lambda: version_problem(source), None),
                ("references", lambda: missing_references(source, PAGES), []),
            ]
            if shutil.which("man"):
                checks += [("man --warnings, 80 columns", lambda: man_messages(path, 80), ""),
                           ("man --warnings, 60 columns", lambda: man_messages(path, 60), "")]
            if shutil.which("lexgrog"):
                checks.append(("whatis entry", lambda: subprocess.run(
                    ["lexgrog", path], stdout=subprocess.DEVNULL).returncode, 0))
            for what, check, expected in checks:
                with self.subTest(page=page, check=what):
                    self.assertEqual(check(), expected)


def main():
    global PAGES_DIR, VERSION
    parser = argparse.ArgumentParser()
    parser.add_argument("--pages", required=True)
    parser.add_argument("--version", required=True)
    arguments, rest = parser.parse_known_args()
    PAGES_DIR, VERSION = arguments.pages, arguments.version
    if not shutil.which("groff"):
        print("SKIP: manual pages not checked: groff is not installed (apt-get install groff)",
              flush=True)
        return SKIP_CODE
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
