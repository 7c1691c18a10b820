#!/usr/bin/env python3
"""Build-tree driver of the pelmoraerri package: installs it into a fresh virtual environment and
runs its tests there, or builds its wheel, or installs that wheel and checks it.

    run_tests.py unit --source DIR --work DIR --library FILE --version V
    run_tests.py wheel --source DIR --work DIR --output DIR
    run_tests.py wheel-check --wheel FILE --work DIR --library FILE --version V

Everything is written below --work; the source tree is copied there first, because setuptools
writes build/ and *.egg-info beside the sources it builds. Nothing is downloaded: the package is
built with the setuptools and wheel the interpreter already has, so the environment is made
with --system-site-packages from the first interpreter that has setuptools, wheel and pip
(Debian's /usr/bin/python3 with python3-setuptools, python3-wheel, python3-pip and python3-venv).
When there is none, the step prints one SKIP line saying so and exits with SKIP_CODE (tests) or 0
(the wheel build, which must not fail a build for the machine's sake).
"""

import argparse
import os
import shutil
import subprocess
import sys
import zipfile
from typing import Dict, List, Optional, Sequence

SKIP_CODE = 77
PACKAGE = "pelmoraerri"
NEEDED = "import setuptools, wheel, pip"


def candidates() -> List[str]:
    found: List[str] = []
    for interpreter in ("/usr/bin/python3", sys.executable, shutil.which("python3")):
        if interpreter and os.path.exists(interpreter):
            if os.path.realpath(interpreter) not in (os.path.realpath(f) for f in found):
                found.append(interpreter)
    return found


def venv_python(venv: str) -> str:
    if sys.platform == "win32":
        return os.path.join(venv, "Scripts", "python.exe")
    return os.path.join(venv, "bin", "python")


def quiet_environment() -> Dict[str, str]:
    environment = dict(os.environ)
    # No user configuration, no user site, no index: only what the interpreter already has.
    environment.update(PIP_CONFIG_FILE=os.devnull, PIP_NO_INDEX="1", PYTHONNOUSERSITE="1",
                       PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_CACHE_DIR="1")
    environment.pop("PYTHONPATH", None)
    environment.pop("PYTHONHOME", None)
    return environment


def make_venv(venv: str) -> Optional[str]:
    """A virtual environment that sees setuptools, wheel and pip, or None after a SKIP line."""
    reasons: List[str] = []
    for interpreter in candidates():
        shutil.rmtree(venv, ignore_errors=True)
        try:
            made = subprocess.run([interpreter, "-m", "venv", "--system-site-packages",
                                   "--without-pip", venv], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, universal_newlines=True,
                                  env=quiet_environment())
        except OSError as error:
            reasons.append("%s: %s" % (interpreter, error))
            continue
        if made.returncode != 0:
            reasons.append("%s: no venv (%s)" % (interpreter, last_line(made.stdout)))
            continue
        python = venv_python(venv)
        probe = subprocess.run([python, "-c", NEEDED], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, universal_newlines=True,
                               env=quiet_environment())
        if probe.returncode == 0:
            print("-- %s package environment from %s" % (PACKAGE, interpreter), flush=True)
            return python
        reasons.append("%s: %s" % (interpreter, last_line(probe.stdout)))
    print("SKIP: %s package not built or tested: no Python interpreter with setuptools, wheel and "
          "pip to build it offline (%s)" % (PACKAGE, "; ".join(reasons) or "none found"),
          flush=True)
    return None


def last_line(text: str) -> str:
    lines = [line for line in text.strip().splitlines() if line.strip()]
    return lines[-1].strip() if lines else "no output"


def run(command: Sequence[str], **options: object) -> None:
    shown = ["<script>" if "\n" in part else part for part in command]
    print("-- " + " ".join(shown), flush=True)
    options.setdefault("env", quiet_environment())
    subprocess.run(list(command), check=True, **options)  # type: ignore[call-overload]


def copy_sources(source: str, destination: str) -> str:
    tree = os.path.join(destination, "source")
    os.makedirs(tree)
    shutil.copy2(os.path.join(source, "pyproject.toml"), tree)
    shutil.copytree(os.path.join(source, "src"), os.path.join(tree, "src"),
                    ignore=shutil.ignore_patterns("__pycache__", "*.egg-info", "build"))
    return tree


def fresh(work: str) -> None:
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)


def check_version(python: str, version: str) -> None:
    run([python, "-c", "import importlib.metadata as m, sys; v = m.version(%r); "
         "sys.exit(0 if v == %r else 'installed version %%s, project version %s' %% v)"
         % (PACKAGE, version, version)])


def unit(arguments: argparse.Namespace) -> int:
    fresh(arguments.work)
    python = make_venv(os.path.join(arguments.work, "venv"))
    if python is None:
        return SKIP_CODE
    tree = copy_sources(arguments.source, arguments.work)
    run([python, "-m", "pip", "install", "--no-index", "--no-build-isolation", "--no-deps",
         "--quiet", tree])
    check_version(python, arguments.version)
    shutil.copytree(os.path.join(arguments.source, "tests"), os.path.join(arguments.work, "tests"),
                    ignore=shutil.ignore_patterns("__pycache__"))
    environment = quiet_environment()
    environment["PELMORAERRI_LIBRARY"] = arguments.library
    environment["PYTHONIOENCODING"] = "utf-8"
    # Started from the work directory, which holds no pelmoraerri/: the installed one is tested.
    run([python, "-m", "unittest", "discover", "-v", "-s", "tests", "-t", "."],
        cwd=arguments.work, env=environment)
    return 0


def wheel(arguments: argparse.Namespace) -> int:
    fresh(arguments.work)
    python = make_venv(os.path.join(arguments.work, "venv"))
    if python is None:
        return 0
    tree = copy_sources(arguments.source, arguments.work)
    dist = os.path.join(arguments.work, "dist")
    run([python, "-m", "pip", "wheel", "--no-index", "--no-build-isolation", "--no-deps",
         "--quiet", "-w", dist, tree])
    built = [name for name in os.listdir(dist) if name.endswith(".whl")]
    if len(built) != 1:
        print("error: expected one wheel in %s, found %s" % (dist, built), file=sys.stderr)
        return 1
    os.makedirs(arguments.output, exist_ok=True)
    for old in os.listdir(arguments.output):
        if old.startswith(PACKAGE + "-") and old.endswith(".whl"):
            os.remove(os.path.join(arguments.output, old))
    shutil.copy2(os.path.join(dist, built[0]), arguments.output)
    print("-- %s" % os.path.join(arguments.output, built[0]), flush=True)
    return 0


CHECK = """
import os, pelmoraerri
expected = [
    (pelmoraerri.error_text(0x1107), "BLKC: Chip no Response!"),
    (pelmoraerri.error_text(0x1107, "cn"), "\\u67e5  \\u7a7a\\uff1a\\u82af\\u7247\\u65e0\\u54cd\\u5e94!"),
    (pelmoraerri.status_text(bytes([0xFD, 0x0A, 0, 0, 0, 0, 0, 0xF9])),
     "Power On Self Data Checking......"),
    (pelmoraerri.GetEglishErrorMessageinformationRTX(0x4010), b"Error: Open COM port error!"),
    (pelmoraerri.library_path(), os.environ["PELMORAERRI_LIBRARY"]),
    (os.path.isfile(os.path.join(os.path.dirname(pelmoraerri.__file__), "py.typed")), True),
]
for got, wanted in expected:
    assert got == wanted, (got, wanted)
print("pelmoraerri %s from %s: %d checks passed" % (pelmoraerri.__version__, pelmoraerri.__file__,
                                                   len(expected)))
"""


def wheel_check(arguments: argparse.Namespace) -> int:
    fresh(arguments.work)
    python = make_venv(os.path.join(arguments.work, "venv"))
    if python is None:
        return SKIP_CODE
    if not os.path.isfile(arguments.wheel):
        print("error: no wheel %s; the build makes it" % arguments.wheel, file=sys.stderr)
        return 1
    archive = zipfile.ZipFile(arguments.wheel)
    names = archive.namelist()
    # The licence of the project, named in the wheel's metadata as in every other package.
    metadata = [name for name in names if name.endswith(".dist-info/METADATA")]
    licence = archive.read(metadata[0]).decode("utf-8").splitlines() if metadata else []
    if "License: MIT" not in licence:
        print("error: the wheel's metadata names no MIT licence", file=sys.stderr)
        return 1
    wanted = ["%s/%s" % (PACKAGE, name) for name in ("__init__.py", "_native.py", "py.typed")]
    missing = [name for name in wanted if name not in names]
    strays = [name for name in names if not name.startswith(PACKAGE)]
    if missing or strays:
        print("error: wheel lacks %s, has %s" % (missing, strays), file=sys.stderr)
        return 1
    run([python, "-m", "pip", "install", "--no-index", "--no-deps", "--quiet", arguments.wheel])
    check_version(python, arguments.version)
    environment = quiet_environment()
    environment["PELMORAERRI_LIBRARY"] = arguments.library
    environment["PYTHONIOENCODING"] = "utf-8"
    run([python, "-c", CHECK], cwd=arguments.work, env=environment)
    return 0


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    steps = parser.add_subparsers(dest="step", required=True)
    for name, function in (("unit", unit), ("wheel", wheel), ("wheel-check", wheel_check)):
        step = steps.add_parser(name)
        step.set_defaults(function=function)
        step.add_argument("--work", required=True)
        if name in ("unit", "wheel"):
            step.add_argument("--source", required=True)
        if name in ("unit", "wheel-check"):
            step.add_argument("--library", required=True)
            step.add_argument("--version", required=True)
        if name == "wheel":
            step.add_argument("--output", required=True)
        if name == "wheel-check":
            step.add_argument("--wheel", required=True)
    arguments = parser.parse_args(argv)
    arguments.work = os.path.abspath(arguments.work)
    try:
        return int(arguments.function(arguments))
    except subprocess.CalledProcessError as error:
        print("error: %s exited with %s" % (error.cmd[0], error.returncode), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
