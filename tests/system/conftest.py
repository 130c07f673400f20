# SPDX-License-Identifier: GPL-3.0-or-later
"""Shared fixtures for the system tests: where the built binaries are, and a
runner that starts the real velmoran binary the way a calling program would."""

import os
import pathlib
import subprocess

import pytest

BUILD_DIR = pathlib.Path(os.environ.get("VELMORAN_BUILD_DIR", "../../build")).resolve()
SOURCE_DIR = pathlib.Path(os.environ.get("VELMORAN_SOURCE_DIR", "../..")).resolve()
VELMORAN = BUILD_DIR / "src" / "velmoran"
SANITIZER_SETTINGS = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


class Result:
    def __init__(self, completed):
        self.rc = completed.returncode
        self.stdout = completed.stdout.decode("latin-1")
        self.stderr = completed.stderr.decode("latin-1")

    def __repr__(self):
        return f"Result(rc={self.rc}, stdout={self.stdout!r}, stderr={self.stderr!r})"


def run_binary(argv, cwd, stdin=b"", env=None, timeout=60):
    """Runs argv with a clean environment plus `env`; stdin is bytes."""
    full_env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}
    # The sanitizer build's settings reach the program under test.
    full_env.update({k: v for k, v in os.environ.items() if k in SANITIZER_SETTINGS})
    # The program's recovery record stays beside the run, never in /var/lib.
    full_env["VELMORAN_STATE_DIR"] = str(pathlib.Path(cwd) / ".velmoran-state")
    if env:
        full_env.update(env)
    completed = subprocess.run(
        [str(a) for a in argv], cwd=cwd, input=stdin, env=full_env,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    return Result(completed)


def pytest_configure(config):
    # A test that cannot run fails, and the run's counts reach the test
    # command's summary (tests/system/skip_policy.py).
    config.pluginmanager.import_plugin("skip_policy")


@pytest.fixture
def workdir(tmp_path):
    """An empty current directory for one run of the program."""
    return tmp_path


@pytest.fixture
def velmoran(workdir):
    """Runs velmoran in `workdir`: velmoran(*args, stdin=b"", env=None)."""
    def run(*args, stdin=b"", env=None, cwd=None):
        return run_binary([VELMORAN, *args], cwd or workdir, stdin=stdin, env=env)
    return run
