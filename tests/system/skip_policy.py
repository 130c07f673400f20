# SPDX-License-Identifier: GPL-3.0-or-later
"""What every pytest run of the project holds to: a test that cannot run
fails, naming what it lacks, unless the developer allowed skips on their own
machine with VELMORAN_ALLOW_SKIP=1 (the test command never sets it); and,
when VELMORAN_TEST_RESULTS names a folder, the run's counts are written there
for the test command's summary. Loaded by tests/system/conftest.py, and with
`-p skip_policy` by the runs outside tests/system."""

import json
import os
import pathlib

import pytest

ALLOW_SKIP = "VELMORAN_ALLOW_SKIP"
RESULTS = "VELMORAN_TEST_RESULTS"
SUITE = "VELMORAN_SUITE"
TESTS_DIR = pathlib.Path(__file__).resolve().parent.parent


def skips_allowed():
    return os.environ.get(ALLOW_SKIP) == "1"


def _reason(report):
    if isinstance(report.longrepr, tuple):
        return report.longrepr[2].removeprefix("Skipped: ")
    return str(report.longrepr)


def _refuse_skip(report):
    if report.skipped and not hasattr(report, "wasxfail") and not skips_allowed():
        report.outcome = "failed"
        report.longrepr = (f"could not run: {_reason(report)} "
                           f"(a skip counts as a failure unless {ALLOW_SKIP}=1 is set)")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    _refuse_skip(outcome.get_result())


@pytest.hookimpl(hookwrapper=True)
def pytest_make_collect_report(collector):
    outcome = yield
    _refuse_skip(outcome.get_result())


# Each test's outcome over its phases, by node id: one pytest session a process.
_outcomes = {}


def pytest_configure(config):
    config.addinivalue_line("markers", "normal_build_only: left out of the sanitizer build's run")


def pytest_collection_modifyitems(session, config, items):
    """Tests marked normal_build_only are left out of a sanitizer build's run
    (shown as deselected), not skipped."""
    marked = [item for item in items if item.get_closest_marker("normal_build_only")]
    if not marked:
        return
    from fleet import sanitizer_build
    if sanitizer_build():
        config.hook.pytest_deselected(items=marked)
        items[:] = [item for item in items if item not in marked]
        global _all_left_out
        _all_left_out = not items


# Set when a sanitizer build's run leaves every test of the file out: that
# run has done what was asked of it.
_all_left_out = False


def pytest_runtest_logreport(report):
    if report.failed:
        _outcomes[report.nodeid] = "failed"
    elif report.skipped and _outcomes.get(report.nodeid) != "failed":
        _outcomes[report.nodeid] = "skipped"
    elif report.when == "call" and report.nodeid not in _outcomes:
        _outcomes[report.nodeid] = "passed"


def pytest_collectreport(report):
    if report.failed:
        _outcomes["collect " + report.nodeid] = "failed"


def _suite_name(config):
    if os.environ.get(SUITE):
        return os.environ[SUITE]
    parts = []
    for arg in config.args:
        path = pathlib.Path(config.invocation_params.dir, arg.split("::")[0]).resolve()
        parts.append(str(path.relative_to(TESTS_DIR)) if path.is_relative_to(TESTS_DIR) else path.name)
    return "+".join(parts)


def pytest_sessionfinish(session, exitstatus):
    if _all_left_out and exitstatus == pytest.ExitCode.NO_TESTS_COLLECTED:
        session.exitstatus = pytest.ExitCode.OK
    folder = os.environ.get(RESULTS)
    if not folder:
        return
    outcomes = list(_outcomes.values())
    counts = {"suite": _suite_name(session.config), "kind": "pytest",
              **{name: outcomes.count(name) for name in ("passed", "failed", "skipped")}}
    pathlib.Path(folder).mkdir(parents=True, exist_ok=True)
    file_name = counts["suite"].replace("/", "_").replace("+", "_") + ".json"
    (pathlib.Path(folder) / file_name).write_text(json.dumps(counts) + "\n")
