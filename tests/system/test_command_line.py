# SPDX-License-Identifier: GPL-3.0-or-later
"""The command line as a user meets it: version and help requests, rejected
words, the log file and the loop option, checked on the real binary."""

import pytest

from conftest import VELMORAN
from flashing import Package, board, flash_platform
from simplatform import PRIMARY, SimPlatform

BANNER = "\n   Velmoran Version:  1.09 \n   Copyright (c) 2026 The Velmoran Developers\n"
NORMAL_HELP = (
    "-d                   Allow downgrade of firmware without asking.\n"
    "-f, -force           Force flash all devices.\n"
    "-h, -help            Show command line options with descriptions.\n"
    "-i, -input=argument  Argument is name of alternate data file to use.\n"
    "-l, -log=argument    Log all messages to file specified by argument.\n"
    "-q, -quiet           Quiet mode. No prompts. Display error messages ONLY.\n"
    "-r, -revision        Display firmware and data file revisions then exit.\n"
    "-version             Display version of this flash program.\n"
)
ADVANCED_HELP = (
    "-advhelp         Display advanced options help.\n"
    "-quordebug       Enable extra Quor debug messages.\n"
    "-tloop           Loop flashing forever.\n"
    "-prompt          Prompt user before flashing each device.\n"
    "-sysid=argument  Use specified system ID. Argument is a hex number.\n"
    "-xml             Produce inventory output in XML format.\n"
    "-fml             Flash with result in XML format.\n"
)
HELP = BANNER + "\n   Valid Options are:\n" + NORMAL_HELP
ADVHELP = BANNER + "   === help normal ===\n" + NORMAL_HELP + "   === help advanced ===\n" + ADVANCED_HELP
OVERLONG = "-input=" + "x" * 300

REQUESTS = [
    pytest.param(["-version"], BANNER, id="version"),
    pytest.param(["-version", "-quiet", "-xml"], BANNER, id="version_beats_quiet_and_xml"),
    pytest.param(["-help"], HELP, id="help"),
    pytest.param(["-h", "-q"], HELP, id="help_shown_despite_quiet"),
    pytest.param(["-advhelp"], ADVHELP, id="advhelp"),
    pytest.param(["-help", "-advhelp"], ADVHELP, id="advhelp_beats_help"),
    pytest.param(["-version", "-sysid=1a"], BANNER + "   Sys ID 1a \n", id="version_then_sysid_line"),
    pytest.param(["-tloop", "-help"], HELP, id="loop_with_help_ends_at_once"),
]


@pytest.mark.parametrize("args, stdout", REQUESTS)
def test_version_and_help_requests_end_with_status_zero(velmoran, args, stdout):
    result = velmoran(*args)
    assert (result.rc, result.stdout, result.stderr) == (0, stdout, "")


REJECTED = [
    pytest.param(["-badopt"], "OPTION INVALID", "-badopt", id="unknown_word"),
    pytest.param(["-q", "-badopt", "-q"], "OPTION INVALID", "-badopt", id="stops_at_first_bad_word"),
    pytest.param([""], "OPTION INVALID", "", id="empty_word"),
    pytest.param(["-input", "a.dat"], "ARGUMENT REQUIRED", "-input", id="argument_as_separate_word"),
    pytest.param(["-input="], "ARGUMENT EMPTY", "-input=", id="empty_argument"),
    pytest.param(["-i=a*.dat"], "ARGUMENT INVALID CHARACTER", "-i=a*.dat", id="wildcard_in_path"),
    pytest.param(["-sysid=10000"], "ARGUMENT INVALID SYSTEM ID", "-sysid=10000", id="sysid_too_big"),
    pytest.param(["-f", "-force"], "OPTION DUPLICATE", "-force", id="duplicate_by_identifier"),
    pytest.param(["-help", OVERLONG], "OPTION INVALID", OVERLONG, id="overlong_word_shown_whole"),
]


@pytest.mark.parametrize("args, reason, word", REJECTED)
def test_rejected_command_line_ends_with_status_23(velmoran, args, reason, word):
    result = velmoran(*args)
    assert (result.rc, result.stdout, result.stderr) == (
        23, BANNER + NORMAL_HELP, f"   {reason}   [{word}]\n\n")


@pytest.mark.parametrize("args, stdout", [
    pytest.param(["-version"], BANNER, id="version"),
    pytest.param(["-help"], HELP, id="help"),
    pytest.param(["-advhelp"], ADVHELP, id="advhelp"),
])
def test_log_holds_the_command_line_then_every_message(velmoran, workdir, args, stdout):
    result = velmoran(*args, "-log=run.log")
    assert (result.rc, result.stdout, result.stderr) == (0, stdout, "")
    command_line = "".join(f"{word} " for word in [str(VELMORAN), *args, "-log=run.log"]) + "\n"
    assert (workdir / "run.log").read_text() == command_line + stdout


@pytest.mark.parametrize("args", [
    pytest.param(["-log=run.log", "-badopt"], id="unknown_word"),
    pytest.param(["-log=run.log", "-l=other.log"], id="second_log"),
    pytest.param(["-log=run.log", OVERLONG], id="overlong_word"),
])
def test_rejected_command_line_creates_no_log(velmoran, workdir, args):
    result = velmoran(*args)
    assert result.rc == 23
    assert list(workdir.iterdir()) == []


def test_log_that_cannot_be_created_does_not_stop_a_version_run(velmoran, workdir):
    result = velmoran("-log=no-such-dir/run.log", "-version")
    assert (result.rc, result.stdout, result.stderr) == (
        0, BANNER, " Cannot create no-such-dir/run.log \n")


def loop_platform(tmp_path):
    return Package(tmp_path / "pack"), SimPlatform(tmp_path, flash_platform(board(PRIMARY), system_id=0x016C))


def test_loop_with_nothing_to_flash_runs_once_like_a_plain_run(tmp_path):
    package, sim = loop_platform(tmp_path)
    plain = sim.run(stdin=b"n\n", files=package.files())
    looped = sim.run("-tloop", stdin=b"n\n", files=package.files())
    assert (looped.rc, looped.stderr) == (1, "")
    assert (looped.stdout, looped.request_lines()) == (plain.stdout, plain.request_lines())
