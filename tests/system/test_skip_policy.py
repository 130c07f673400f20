# SPDX-License-Identifier: GPL-3.0-or-later
"""The test command's own rules: a test that cannot run fails unless skips
are allowed, in pytest and in the unit suites, and the summary's last line
counts what ran."""

import json
import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest

from conftest import BUILD_DIR, SOURCE_DIR

SYSTEM_DIR = SOURCE_DIR / "tests" / "system"
SUMMARY = SOURCE_DIR / "scripts" / "test-summary.py"
UNIT_DRIVER = BUILD_DIR / "tests" / "unit_driver_test"
NOT_ALLOWED = "(a skip counts as a failure unless VELMORAN_ALLOW_SKIP=1 is set)"

PROBE = '''
import pytest

def test_runs():
    pass

def test_lacks_a_tool():
    pytest.skip("frobnicate is not installed")

@pytest.mark.skipif(True, reason="needs a private mount namespace")
def test_marked():
    pass
'''


def environment(allow, results):
    env = {"PATH": "/usr/bin:/bin", "PYTHONPATH": str(SYSTEM_DIR), "VELMORAN_TEST_RESULTS": str(results)}
    if allow is not None:
        env["VELMORAN_ALLOW_SKIP"] = allow
    return env


# VELMORAN_ALLOW_SKIP, exit status, counts written, reasons shown
PYTEST_CASES = [
    (None, 1, {"passed": 1, "failed": 2, "skipped": 0}, True),
    ("0", 1, {"passed": 1, "failed": 2, "skipped": 0}, True),
    ("1", 0, {"passed": 1, "failed": 0, "skipped": 2}, False),
]


@pytest.mark.parametrize("allow, rc, counts, reasons", PYTEST_CASES, ids=["unset", "zero", "allowed"])
def test_pytest_skip_fails_naming_the_reason_unless_allowed(tmp_path, allow, rc, counts, reasons):
    (tmp_path / "test_probe.py").write_text(PROBE)
    done = subprocess.run(["/usr/bin/python3", "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "skip_policy",
                           "test_probe.py"], cwd=tmp_path, env=environment(allow, tmp_path / "results"),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert done.returncode == rc, done.stdout
    for reason in ("frobnicate is not installed", "needs a private mount namespace"):
        assert (f"could not run: {reason} {NOT_ALLOWED}" in done.stdout) == reasons, done.stdout
    written = json.loads((tmp_path / "results" / "test_probe.py.json").read_text())
    assert written == {"suite": "test_probe.py", "kind": "pytest", **counts}


@pytest.mark.parametrize("allow, rc, counts", [(None, 1, {"passed": 0, "failed": 1, "skipped": 0}),
                                               ("1", 0, {"passed": 0, "failed": 0, "skipped": 1})],
                         ids=["unset", "allowed"])
def test_unit_skip_fails_naming_the_reason_unless_allowed(allow, rc, counts):
    # The driver suite skips this case for a user other than root; pytest's
    # own folders are private to root, so the counts go below /tmp.
    assert os.geteuid() == 0, "playing another user needs root"
    results = pathlib.Path(tempfile.mkdtemp(prefix="velmoran-skip-", dir="/tmp"))
    results.chmod(0o777)
    try:
        done = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", str(UNIT_DRIVER),
                               "--gtest_filter=*ScriptCheckTest*/symbolic_link"], cwd="/",
                              env=environment(allow, results), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True)
        written = json.loads((results / "unit_driver_test.json").read_text())
    finally:
        shutil.rmtree(results)
    assert done.returncode == rc, done.stdout + done.stderr
    complaint = ("could not run: needs root to give files to another user " + NOT_ALLOWED) in done.stderr
    assert complaint == (allow is None), done.stderr
    assert written == {"suite": "unit_driver_test", "kind": "GoogleTest", **counts}


def junit(**entries):
    cases = "".join(f'<testcase name="{name}" status="{status}"/>' for name, status in entries.items())
    return f"<testsuite>{cases}</testsuite>"


def counts(suite, passed, failed=0, skipped=0):
    return {"suite": suite, "kind": "GoogleTest", "passed": passed, "failed": failed, "skipped": skipped}


# stage lines, ctest report of stage "build", suites' counts, allowed, last line, exit status
SUMMARY_CASES = [
    pytest.param(["install 0", "build 0"], junit(**{"unit.a": "run", "unit.b": "run"}),
                 [counts("unit.a", 4), counts("unit.b", 3)], None, "7 passed, 0 failed", 0, id="all_passed"),
    pytest.param(["build 8"], junit(**{"unit.a": "fail"}), [counts("unit.a", 4, failed=2)], None,
                 "4 passed, 2 failed", 1, id="failed_cases_counted_once"),
    pytest.param(["build 8"], junit(**{"unit.a": "fail"}), [counts("unit.a", 4)], None,
                 "4 passed, 1 failed", 1, id="entry_failed_outside_its_cases"),
    pytest.param(["build 0", "static 1"], junit(**{"unit.a": "run"}), [counts("unit.a", 4)], None,
                 "4 passed, 1 failed", 1, id="stage_failed_without_a_case"),
    pytest.param(["build 0"], junit(**{"unit.a": "run", "inband.guest": "notrun"}), [counts("unit.a", 4)], None,
                 "4 passed, 1 failed", 1, id="entry_not_run_fails"),
    pytest.param(["build 0"], junit(**{"unit.a": "run", "inband.guest": "notrun"}), [counts("unit.a", 4, skipped=2)],
                 "1", "4 passed, 0 failed, 3 skipped", 0, id="skips_shown_when_allowed"),
    pytest.param(["build 0"], junit(**{"unit.a": "run", "other": "run"}), [counts("unit.a", 4)], None,
                 "5 passed, 0 failed", 0, id="entry_without_cases_is_one_test"),
]


@pytest.mark.parametrize("stages, report, suites, allow, last, rc", SUMMARY_CASES)
def test_summary_ends_with_the_line_ci_reads(tmp_path, stages, report, suites, allow, last, rc):
    (tmp_path / "stages").write_text("".join(line + "\n" for line in stages))
    build = tmp_path / "build"
    build.mkdir()
    (build / "ctest.xml").write_text(report)
    for suite in suites:
        (build / (suite["suite"] + ".json")).write_text(json.dumps(suite))
    env = {"PATH": "/usr/bin:/bin"}
    if allow:
        env["VELMORAN_ALLOW_SKIP"] = allow
    done = subprocess.run(["/usr/bin/python3", str(SUMMARY), str(tmp_path)], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert (done.returncode, done.stdout.splitlines()[-1], done.stderr) == (rc, last, "")
