# SPDX-License-Identifier: GPL-3.0-or-later
"""The management driver service around a run: what the install script's
probe decides, what is started before the library is loaded, and how the
service is put back at the end, on every path."""

import signal

import pytest

from flashing import LOCK_PANEL, RESTORE_PANEL, Package, board, board_transfer, flash_platform
from simplatform import ENABLE_IPMB, PRIMARY, SECONDARY, Platform, Service, SimPlatform, banner, get_device_id

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


@pytest.mark.parametrize("service", [Service(running=False), Service(installed=False, running=False), Service()],
                         ids=["not-running", "not-installed", "running"])
@pytest.mark.parametrize("option", ["-help", "-version", "-nosuchoption"])
def test_run_ending_in_option_translation_leaves_the_service_alone(tmp_path, service, option):
    sim = SimPlatform(tmp_path, Platform(service=service))
    run = sim.run(option)
    # Such a run acts on nothing: no probe, no script, no lock, no record.
    assert run.service_log == []
    assert run.requests == []
    assert not sim.recovery_dir.exists()
    after = run.state.service
    assert (after.installed, after.running) == (service.installed, service.running)


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


LOOKUP = [ENABLE_IPMB, get_device_id(PRIMARY), get_device_id(SECONDARY)]
NOT_UPDATED = ("\r   Stopped on request: no further board is flashed \n   Primary Backplane not updated \n"
               "   Secondary Backplane not updated \n")


@pytest.mark.parametrize("service", [Service(), Service(running=False), Service(installed=False, running=False)],
                         ids=["running", "not-running", "not-installed"])
def test_remote_library_runs_no_service_script(tmp_path, service):
    """A library that reaches its BMC over the network: the local service is
    neither probed, started, installed, nor its users stopped, whatever its state."""
    package = Package(tmp_path / "pack")
    platform = flash_platform(board(PRIMARY), board(SECONDARY), service=service, remote=True)
    run = SimPlatform(tmp_path, platform).run(stdin=b"Y\n", files=package.files())
    assert (run.rc, run.stderr) == (0, "")
    assert run.service_log == []
    assert run.request_lines() == (LOOKUP + LOCK_PANEL + board_transfer(PRIMARY, package.image) +
                                   board_transfer(SECONDARY, package.image) + RESTORE_PANEL)
    after = run.state.service
    assert (after.installed, after.running, after.users_stopped) == (service.installed, service.running, False)


@pytest.mark.parametrize("name", ["QUIT", "TERM", "HUP"])
def test_stop_request_during_the_start_script_puts_the_service_back(tmp_path, name):
    """The request comes while `pelord start` runs: it is kept, nothing is
    sent, the service is stopped again, and the program ends as asked."""
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY), service=Service(running=False,
                                                                               signal_at=f"start:{name}")))
    run = sim.run(stdin=b"Y\n", files=Package(tmp_path / "pack").files())
    assert run.rc == -getattr(signal, "SIG" + name)
    assert run.service_log == ["tesselinstall.sh checkstatus", "pelord start", "pelord stop"]
    assert run.requests == []
    assert not run.state.service.running
    assert not (sim.recovery_dir / "recovery").exists()


@pytest.mark.parametrize("name, stopped", [("QUIT", True), ("TERM", True), ("HUP", True), ("INT", False)])
def test_stop_request_during_stopusers_flashes_nothing(tmp_path, name, stopped):
    """Before the first erase a request ends the run with nothing flashed;
    the interrupt is ignored from the flash run on, as ever."""
    package = Package(tmp_path / "pack")
    platform = flash_platform(board(PRIMARY), board(SECONDARY), service=Service(signal_at=f"stopusers:{name}"))
    sim = SimPlatform(tmp_path, platform)
    run = sim.run(stdin=b"Y\n", files=package.files())
    assert run.service_log == ["tesselinstall.sh checkstatus", "pelord stopusers", "pelord startusers"]
    assert not run.state.service.users_stopped
    assert run.state.front_panel == 0xF0
    assert not (sim.recovery_dir / "recovery").exists()
    if stopped:
        assert (run.rc, run.stderr) == (11, NOT_UPDATED)
        assert run.request_lines() == LOOKUP + LOCK_PANEL + RESTORE_PANEL
        assert run.images == {}
    else:
        assert (run.rc, run.stderr) == (0, "")
        assert sorted(run.images) == [PRIMARY, SECONDARY]
