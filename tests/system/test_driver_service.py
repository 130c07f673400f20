"""The management driver service around a run: what the install script's
probe decides, what is started before the library is loaded, and how the
service is put back at the end, on every path."""

import pytest

from simplatform import ENABLE_IPMB, Platform, Service, SimPlatform, banner

CHECKSTATUS = "tesselinstall.sh checkstatus"
INSTALL = "tesselinstall.sh install"
UNINSTALL = "tesselinstall.sh uninstall"
START = "pelord start"
STOP = "pelord stop"


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
    if not banner():
        pytest.skip("option translation is not built in this tree")
    run = SimPlatform(tmp_path, Platform(service=service)).run(option)
    # Nothing was started, yet the end puts the service back as the probe asked.
    assert run.service_log == log
    assert run.requests == []
