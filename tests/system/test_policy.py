# SPDX-License-Identifier: GPL-3.0-or-later
"""Choosing a policy: which boards each flash mode updates, skips or asks
about, over the kinds of board the decision tells apart."""

import pytest

from flashing import (CONTINUE, LOADED, Package, board, flash_platform, flashed_board, options, searching,
                      skipped_board, table, table_line)
from simplatform import PRIMARY, SimPlatform, banner

IMAGE = (1, 0x06)
STATES = {
    "boot_block": (0x81, 0x05),
    "same": (1, 0x06),
    "older_image": (1, 0x10),
    "newer_image": (1, 0x05),
}
FORCE = "\r   Force flash Primary Backplane \n"
ASK = "\r   Flash Primary Backplane (Y/N)? "
DOWNGRADE = "   Downgrade Primary Backplane from 1.10 to 1.06 (Y/N)?"

# mode arguments, board state, typed after "Y" to Continue, shown, flashed
DECISIONS = [
    ((), "boot_block", "", FORCE, True),
    ((), "same", "", "", False),
    ((), "older_image", "y\n", DOWNGRADE, True),
    ((), "older_image", "n\n", DOWNGRADE, False),
    ((), "newer_image", "", "", True),
    (("-prompt",), "boot_block", "N\n", ASK, False),
    (("-prompt",), "same", "Y\n", ASK, True),
    (("-prompt",), "older_image", "Y\n", ASK, True),
    (("-prompt",), "newer_image", "N\n", ASK, False),
    (("-force",), "boot_block", "", FORCE, True),
    (("-force",), "same", "", FORCE, True),
    (("-f",), "older_image", "", FORCE, True),
    (("-f",), "newer_image", "", FORCE, True),
    (("-d",), "boot_block", "", FORCE, True),
    (("-d",), "same", "", "", False),
    (("-d",), "older_image", "", "", True),
    (("-d",), "newer_image", "", "", True),
]


def decide(tmp_path, package, args, state, typed):
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY, rev=STATES[state]), system_id=0x016C))
    return sim.run(*args, stdin=b"Y\n" + typed.encode(), files=package.files())


@pytest.mark.parametrize("args,state,typed,shown,flashed", DECISIONS,
                         ids=[f"{' '.join(d[0]) or 'normal'}-{d[1]}-{d[2].strip() or 'unasked'}" for d in DECISIONS])
def test_decision(tmp_path, args, state, typed, shown, flashed, request):
    if args:
        request.getfixturevalue("options")
    package = Package(tmp_path / "pack")
    run = decide(tmp_path, package, args, state, typed)
    outcome = flashed_board(PRIMARY) if flashed else (skipped_board(PRIMARY) if state == "same" and not shown else "")
    assert run.stderr == ""
    assert run.stdout == (banner() + searching() + LOADED + table([table_line(PRIMARY, STATES[state], IMAGE)]) +
                          CONTINUE + shown + outcome)
    assert run.rc == (0 if flashed else 1)
    assert (PRIMARY in run.images) == flashed


@pytest.mark.parametrize("state,flashed", [("boot_block", True), ("same", False), ("older_image", False),
                                           ("newer_image", True)])
def test_quiet_mode_never_downgrades_and_never_asks(tmp_path, options, state, flashed):
    package = Package(tmp_path / "pack")
    run = decide(tmp_path, package, ("-q",), state, "")
    assert (run.rc, run.stdout, run.stderr) == (0 if flashed else 1, "", "")
    assert (PRIMARY in run.images) == flashed
