# SPDX-License-Identifier: GPL-3.0-or-later
"""The management driver service around a run: what the install script's
probe decides, what is started before the library is loaded, and how the
service is put back at the end, on every path."""

import pytest

from flashing import Package, board, flash_platform
from simplatform import ENABLE_IPMB, PRIMARY, SECONDARY, Platform, Service, SimPlatform, banner

CHECKSTATUS = "tesselinstall.sh checkstatus"
INSTALL = "tesselinstall.sh install"
UNINSTALL = "tesselinstall.sh uninstall"
START = "pelord start"
STOP = "pelord stop"
STOPUSERS = "pelord stopusers"
STARTUSERS = "pelord startusers"


@pytest.mark.parametrize("service, log", [
    (Service(), [CHECKSTATUS]),
    (Service(running=False), [CHECKSTATUS, START, STOP]),
    (Service(installed=False, running=False), [CHECKSTATUS, INSTALL, UNINSTALL]),
    (Service(checkstatus_exit=3), [CHECKSTATUS]),
    (Service(checkstatus_exit="signal"), [CHECKSTATUS]),
], ids=["running", "not-running", "not-installed", "other-status", "probe-killed"])
def test_service_is_brought_up_for_the_run_and_left_as_found(tmp_path, service, log):
    run = SimPlatform(tmp_path, Platform(service=service)).run()
    assert run.service_log == log
    # The library only works while the service runs: it reached the BMC.
    assert run.request_lines()[:1] == [ENABLE_IPMB]
    after = run.state.service
    assert (after.installed, after.running, after.users_stopped) == (service.installed, service.running, False)


@pytest.mark.parametrize("service, log", [
    (Service(running=False), [CHECKSTATUS, START, STOP]),
    (Service(installed=False, running=False), [CHECKSTATUS, INSTALL, UNINSTALL]),
    (Service(), [CHECKSTATUS]),
], ids=["not-running", "not-installed", "running"])
def test_service_is_put_back_when_the_library_cannot_be_loaded(tmp_path, service, log):
    run = SimPlatform(tmp_path, Platform(service=service)).run(libraries=[tmp_path / "empty"])
    assert (run.rc, run.stdout, run.stderr) == (27, banner(), "\r   Failed loading driver \n")
    assert run.service_log == log


def test_without_the_install_script_the_service_is_used_as_it_stands(tmp_path):
    run = SimPlatform(tmp_path).run(install_script=False)
    assert run.service_log == []
    assert run.request_lines()[:1] == [ENABLE_IPMB]


def test_without_the_install_script_a_stopped_service_leaves_the_bmc_unreachable(tmp_path):
    # Nothing starts the service, so the library carries no exchange.
    run = SimPlatform(tmp_path, Platform(service=Service(running=False))).run(install_script=False)
    assert (run.rc, run.stdout, run.stderr) == (27, banner(), "   IPMB enable channel failed \n")
    assert run.service_log == []
    assert run.request_lines() == [ENABLE_IPMB] * 5
    assert run.sleeps_ms == [200] * 5


@pytest.mark.parametrize("service, log", [
    (Service(running=False), [CHECKSTATUS, STOP]),
    (Service(installed=False, running=False), [CHECKSTATUS, UNINSTALL]),
    (Service(), [CHECKSTATUS]),
], ids=["not-running", "not-installed", "running"])
@pytest.mark.parametrize("option", ["-help", "-version", "-nosuchoption"])
def test_run_ending_in_option_translation_still_restores_the_service(tmp_path, service, log, option):
    run = SimPlatform(tmp_path, Platform(service=service)).run(option)
    # Nothing was started, yet the end puts the service back as the probe asked.
    assert run.service_log == log
    assert run.requests == []


@pytest.mark.parametrize("service, install_script, log", [
    (Service(), True, [CHECKSTATUS, STOPUSERS, STARTUSERS]),
    (Service(running=False), True, [CHECKSTATUS, START, STOPUSERS, STOP]),
    (Service(installed=False, running=False), True, [CHECKSTATUS, INSTALL, STOPUSERS, UNINSTALL]),
    (Service(), False, [STOPUSERS, STARTUSERS]),
], ids=["running", "not-running", "not-installed", "no-install-script"])
def test_users_are_stopped_once_before_the_first_flashed_board(tmp_path, service, install_script, log):
    # Two boards are flashed; stopping or uninstalling the service at the end
    # takes the place of restarting its users.
    platform = flash_platform(board(PRIMARY), board(SECONDARY), service=service)
    run = SimPlatform(tmp_path, platform).run(stdin=b"Y\n", install_script=install_script,
                                              files=Package(tmp_path / "pack").files())
    assert (run.rc, run.stderr) == (0, "")
    assert sorted(run.images) == [PRIMARY, SECONDARY]
    assert run.service_log == log
    after = run.state.service
    assert (after.installed, after.running, after.users_stopped) == (service.installed, service.running, False)
