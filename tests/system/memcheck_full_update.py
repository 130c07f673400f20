# SPDX-License-Identifier: GPL-3.0-or-later
"""One full three-board update of the simulated platform under valgrind's
memcheck. Run by scripts/check-memory.sh, not with the system tests (its
name keeps it out of their collection): the same update runs once as it is
and once under memcheck, and both must end alike, with memcheck finding no
invalid access, no use of unset memory and no leak."""

import os
import shutil
import stat

import pytest

import simplatform
from datafiles import build, make_image
from signing import Authority, catalog_of, ed25519_key, install_config, sign_with_fwpack
from simplatform import MEDIA_BAY, PRIMARY, SECONDARY, Board, Platform, SimPlatform

VALGRIND = shutil.which("valgrind")
MEMCHECK_FOUND_ERRORS = 99
# Every leak kind counts, still-reachable blocks included, so nothing the
# program allocates may outlive its destructors; only what the dynamic loader
# keeps for a library it cannot unload is set aside (memcheck.supp).
SUPPRESSIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "memcheck.supp")
MEMCHECK_OPTIONS = [
    "--tool=memcheck", "--quiet", f"--error-exitcode={MEMCHECK_FOUND_ERRORS}",
    "--leak-check=full", "--show-leak-kinds=all", "--errors-for-leak-kinds=all",
    "--track-origins=yes", "--child-silent-after-fork=yes", f"--suppressions={SUPPRESSIONS}",
]
OLD_REVISION = (0x01, 0x05)
NEW_REVISION = "1.06"


def wrapper(folder, log):
    """A stand-in for the binary that runs it under memcheck."""
    script = folder / "velmoran-under-memcheck"
    words = " ".join([VALGRIND, *MEMCHECK_OPTIONS, f"--log-file={log}", str(simplatform.VELMORAN)])
    script.write_text(f'#!/bin/sh\nexec {words} "$@"\n')
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    return script


def full_update(root, signer=None, trusted=()):
    """The update; with `signer` (cert, key), the data file signed with it
    and `trusted` files installed in the run's trust store, signature required."""
    boards = [Board(address, revision=OLD_REVISION) for address in (PRIMARY, SECONDARY, MEDIA_BAY)]
    sim = SimPlatform(root, Platform(system_id=0x016E, boards=boards))
    images = root / "images"
    images.mkdir()
    data = build(images, "fwpack.dat", "--rev", NEW_REVISION, make_image(images, "image.bin", NEW_REVISION))
    files = {"fwpack.dat": bytes(data)}
    if signer is not None:
        sign_with_fwpack(images / "fwpack.dat", *signer)
        files["fwpack.dat.jcat"] = catalog_of(images / "fwpack.dat")
        install_config(sim.config_dir, keys=trusted, policy="require_signature = yes\n")
    return sim.run(files=files, stdin=b"Y\n")


@pytest.mark.skipif(VALGRIND is None, reason="valgrind is not installed")
def test_full_three_board_update_is_clean_under_memcheck(tmp_path, monkeypatch):
    plain = full_update(tmp_path / "plain")
    assert plain.rc == 0, plain
    assert sorted(plain.images) == [PRIMARY, SECONDARY, MEDIA_BAY]

    log = tmp_path / "memcheck.log"
    monkeypatch.setattr(simplatform, "VELMORAN", wrapper(tmp_path, log))
    checked = full_update(tmp_path / "memcheck")
    report = log.read_text() if log.exists() else ""
    assert report == "", report
    assert (checked.rc, checked.stdout, checked.stderr) == (plain.rc, plain.stdout, plain.stderr)
    assert checked.request_lines() == plain.request_lines()
    assert checked.images == plain.images


@pytest.mark.skipif(VALGRIND is None, reason="valgrind is not installed")
@pytest.mark.parametrize("kind, verified", [("pkcs7", True), ("ed25519", True), ("ed25519", False)])
def test_signature_check_is_clean_under_memcheck(tmp_path, monkeypatch, kind, verified):
    """libjcat and GLib come into the process only for the signature check:
    a verified PKCS#7 and Ed25519 signature, and a refused one."""
    if kind == "pkcs7":
        authority = Authority(tmp_path / "ca")
        signer, trusted = authority.issue("Maker Signing"), [authority.cert]
    else:
        signer = ed25519_key(tmp_path / "keys", "maker")
        trusted = [signer[0] if verified else ed25519_key(tmp_path / "keys", "other")[0]]
    plain = full_update(tmp_path / "plain", signer, trusted)
    assert plain.rc == (0 if verified else 28), plain

    log = tmp_path / "memcheck.log"
    monkeypatch.setattr(simplatform, "VELMORAN", wrapper(tmp_path, log))
    checked = full_update(tmp_path / "memcheck", signer, trusted)
    report = log.read_text() if log.exists() else ""
    assert report == "", report
    assert (checked.rc, checked.stdout, checked.stderr) == (plain.rc, plain.stdout, plain.stderr)
    assert checked.images == plain.images
