"""The wheel users install: a manylinux abi3 wheel that installs and runs where no compiler is.

CI builds the wheel with .ci/wheels and names it in VORNIK_WHEEL; without it there is
nothing to try.
"""

from __future__ import annotations

import os
import platform
import re
import subprocess
import sys
from pathlib import Path

import pytest

WHEEL = os.environ.get("VORNIK_WHEEL", "")
REPO = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(
    not WHEEL, reason="VORNIK_WHEEL names no built wheel (.ci/run sets it)"
)

COMPILERS = ("c++", "g++", "clang++", "cc", "gcc", "clang")

PROBE = f"""
import shutil, sys, vornik
from vornik import _core
missing = [name for name in {COMPILERS!r} if shutil.which(name) is None]
_core.record_request("GET", "/", 200, 1.5)
print(vornik.__file__.startswith(sys.prefix), len(missing), _core.aggregate().total_requests)
"""


def test_installs_and_runs_in_a_fresh_venv_without_a_compiler(tmp_path: Path) -> None:
    wheel = Path(WHEEL)
    assert re.fullmatch(
        rf"vornik-[\d.]+-cp310-abi3-manylinux_2_17_{platform.machine()}\.whl", wheel.name
    )
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    # Only the venv's own programs can be found: no compiler, no build tools.
    env = {"PATH": str(venv / "bin"), "HOME": str(tmp_path), "PIP_DISABLE_PIP_VERSION_CHECK": "1"}
    python = str(venv / "bin" / "python")

    def run(*args: str, path: str = env["PATH"]) -> str:
        result = subprocess.run(
            args, capture_output=True, text=True, env={**env, "PATH": path}, cwd=tmp_path,
            timeout=300,
        )  # fmt: skip
        assert result.returncode == 0, result.stdout + result.stderr
        return result.stdout

    run(
        python, "-m", "pip", "install", "--no-index", "--only-binary=:all:", "--no-deps", str(wheel)
    )
    assert run(python, "-c", PROBE).split() == ["True", str(len(COMPILERS)), "1"]
    demo = run(python, "-m", "vornik", "demo", "--requests", "20")
    assert re.search(r"the client got \d+ answers: matches", demo), demo

    # The core's tests, from outside the source tree against the installed wheel; with the
    # system's programs on the PATH again, which some of them start (mount, unshare).
    run(python, "-m", "pip", "install", "-q", "pytest", "psutil", "prometheus_client")
    tests = run(python, "-m", "pytest", "-q", "-p", "no:cacheprovider", f"--rootdir={REPO}",
                "-c", str(REPO / "pyproject.toml"), str(REPO / "tests" / "core"),
                path=f"{venv / 'bin'}{os.pathsep}{os.environ['PATH']}")  # fmt: skip
    assert re.search(r"^\d+ passed", tests.splitlines()[-1]), tests
