"""What we ship besides the code: sources any supported compiler takes, and
the wheel workflow for the platforms this machine can't run."""

import itertools
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).parent.parent
SOURCES = ROOT / "cextension"
# Spellings one compiler has and another lacks (portable.h only), tests of
# the interpreter's version (compat.h only), and atomics outside the one
# vocabulary for shared fields (shared_fields.h only).
COMPILER_SPECIFIC = re.compile(r"__builtin|__attribute__|\[\[gnu::|_MSC_VER|__GNUC__|__clang__")
VERSION_CHECKS = re.compile(r"PY_VERSION_HEX|PY_MINOR_VERSION|PY_MAJOR_VERSION")
ATOMICS = re.compile(r"__atomic|std::atomic|_Py_atomic_")
# The Python that ruff checks and formats (its configuration is in pyproject.toml).
PYTHON_PATHS = ["tessel", "tests", "bench", "scripts"]


def sources():
    return sorted(SOURCES.rglob("*.[ch]*"))


def test_compiler_specific_code_version_checks_and_atomics_stay_in_their_headers():
    if not SOURCES.is_dir():
        pytest.skip("run from outside the source tree")
    found = [
        f"{path.relative_to(SOURCES)}:{number}: {line.strip()}"
        for path in sources()
        for number, line in enumerate(path.read_text().splitlines(), 1)
        if (path.name != "portable.h" and COMPILER_SPECIFIC.search(line))
        or (path.name != "compat.h" and VERSION_CHECKS.search(line))
        or (path.name != "shared_fields.h" and ATOMICS.search(line))
    ]
    assert not found, "\n".join(found)


# The tools come with requirements-tools.txt, in the main environment.
@pytest.fixture
def tools(typecheck):
    if not (ROOT / "pyproject.toml").is_file() or not (ROOT / ".github").is_dir():
        pytest.skip("run from outside the source tree")


def run(args):
    done = subprocess.run(args, cwd=ROOT, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def identifiers(pythons, platforms):
    return {f"{p}-{platform}" for p, platform in itertools.product(pythons, platforms)}


def test_wheel_workflow_builds_what_we_support(tools):
    pythons = ["cp311", "cp312", "cp313", "cp314", "cp314t"]
    expected = {
        "linux": identifiers(
            pythons, [f"{libc}_{arch}" for libc in ("manylinux", "musllinux") for arch in ("x86_64", "aarch64")]
        ),
        "macos": identifiers(pythons, ["macosx_x86_64", "macosx_arm64"]),
        "windows": identifiers(pythons, ["win_amd64"]),
    }
    for platform, wanted in expected.items():
        out = run([sys.executable, "-m", "cibuildwheel", "--print-build-identifiers", "--platform", platform])
        assert set(out.split()) == wanted, platform


def test_wheel_workflow_passes_its_linters(tools):
    workflow = str(ROOT / ".github" / "workflows" / "wheels.yml")
    bindir = pathlib.Path(sys.executable).parent
    lint = [shutil.which("check-jsonschema", path=bindir), shutil.which("zizmor", path=bindir)]
    assert all(lint), "requirements-tools.txt is not installed"
    run([lint[0], "--builtin-schema", "vendor.github-workflows", workflow])
    run([lint[1], "--offline", "--config", str(ROOT / ".github" / "zizmor.yml"), workflow])


def test_sources_are_formatted(tools):
    clang_format = shutil.which("clang-format", path=pathlib.Path(sys.executable).parent)
    assert clang_format, "requirements-tools.txt is not installed"
    run([clang_format, "--dry-run", "--Werror", *map(str, sources())])


def test_python_passes_the_linter_and_is_formatted(tools):
    ruff = shutil.which("ruff", path=pathlib.Path(sys.executable).parent)
    assert ruff, "requirements-tools.txt is not installed"
    run([ruff, "check", "--no-cache", *PYTHON_PATHS])
    run([ruff, "format", "--check", "--no-cache", *PYTHON_PATHS])
