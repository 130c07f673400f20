# SPDX-License-Identifier: GPL-3.0-or-later
"""Signed data files: a catalog FILE.jcat beside the data file, made with
jcat-tool or fwpack sign, is verified against the keys in /etc/velmoran/pki
before any board is unlocked; every refusal ends with status 28, its message,
and no ENTER_FW_XFER sent. The policy file decides whether a catalog must be
there at all."""

import os
import shutil

import pytest

from datafiles import FILE_HEADER, crc16_arc, fwpack, image_header, reseal
from flashing import (CONTINUE, LOADED, Package, board, flash_platform, flashed_board, searching, table, table_line,
                      validate)
from signing import (POLICY_FILE, TRUST_STORE, Authority, catalog_of, checksum_catalog, ed25519_key, install_config,
                     sign_with_fwpack, sign_with_jcat_tool)
from simplatform import PRIMARY, SimPlatform, banner
from test_reports import failure

NOT_TRUSTED = 28
ENTER_FW_XFER = f"{PRIMARY:02X} 20 00"
CATALOG = "fwpack.dat.jcat"


def refused(reason):
    return f"\r   Data file not trusted: {reason} \n"


def signed_by(name):
    return f"\r   Data file signed by {name} \n"


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    """The makers' keys: an authority with a current and an expired signing
    certificate, and two Ed25519 key pairs, only the first of them trusted."""
    folder = tmp_path_factory.mktemp("keys")
    authority = Authority(folder / "ca")
    made = {"ca": authority.cert,
            "signer": authority.issue("Maker Signing"),
            "expired": authority.issue("Maker Signing 2020", expired=True),
            "ed25519": ed25519_key(folder / "ed", "maker"),
            "untrusted": ed25519_key(folder / "ed", "stranger")}
    return made


def signed_package(folder, keys, signer="ed25519", tool=sign_with_fwpack, rev="1.06"):
    package = Package(folder, rev=rev)
    cert, key = keys[signer]
    tool(folder / "fwpack.dat", cert, key)
    return package, catalog_of(folder / "fwpack.dat")


def platform():
    return flash_platform(board(PRIMARY), system_id=0x016C)


def trusted_config(sim, keys, policy=None):
    return install_config(sim.config_dir, keys=[keys["ca"], (keys["ed25519"][0], "maker.ed25519")], policy=policy)


def before_trust_check(package):
    return banner() + searching() + LOADED + table([table_line(PRIMARY, (1, 0x05), package.revision)])


def assert_refused(run, package, reason):
    assert (run.rc, run.stdout, run.stderr) == (NOT_TRUSTED, before_trust_check(package), refused(reason))
    assert not any(line.startswith(ENTER_FW_XFER) for line in run.request_lines()), "no board was unlocked"
    assert run.images == {}


AUTHORITY = "(CN=Velmoran Test Maker CA,O=Velmoran Test Maker)"
# name, key, tool, trusted file named in the line
ACCEPTED = [
    ("ed25519 by fwpack", "ed25519", sign_with_fwpack, "maker.ed25519"),
    ("ed25519 by jcat-tool", "ed25519", sign_with_jcat_tool, "maker.ed25519"),
    ("pkcs7 by fwpack", "signer", sign_with_fwpack, f"ca.pem {AUTHORITY}"),
    ("pkcs7 by jcat-tool", "signer", sign_with_jcat_tool, f"ca.pem {AUTHORITY}"),
]


@pytest.mark.parametrize("name, signer, tool, named", ACCEPTED, ids=[case[0] for case in ACCEPTED])
def test_signed_file_is_flashed_and_its_signer_named(tmp_path, keys, name, signer, tool, named):
    package, catalog = signed_package(tmp_path / "pack", keys, signer, tool)
    sim = SimPlatform(tmp_path, platform())
    trusted_config(sim, keys, policy="require_signature = yes\n")
    run = sim.run("-log=run.txt", stdin=b"Y\n", files={"fwpack.dat": package.data, CATALOG: catalog})
    assert (run.rc, run.stderr) == (0, "")
    assert run.stdout == before_trust_check(package) + signed_by(named) + CONTINUE + flashed_board(PRIMARY)
    assert run.images[PRIMARY] == package.image
    assert signed_by(named).strip("\r") in (sim.cwd / "run.txt").read_text()


def test_catalog_beside_a_file_named_with_its_folder(tmp_path, keys):
    """The item is looked up by the base name, whatever folder -input= names."""
    release = tmp_path / "run" / "release"
    package = Package(release)
    (release / "fwpack.dat").rename(release / "bp-1.06.dat")
    sign_with_jcat_tool(release / "bp-1.06.dat", *keys["ed25519"])
    sim = SimPlatform(tmp_path, platform())
    trusted_config(sim, keys)
    run = sim.run("-input=release/bp-1.06.dat", stdin=b"Y\n")
    assert (run.rc, run.stderr) == (0, "")
    assert run.stdout == before_trust_check(package) + signed_by("maker.ed25519") + CONTINUE + flashed_board(PRIMARY)


def tampered(package):
    """One image byte changed, the image CRC and the file CRC made good again."""
    data = bytearray(package.data)
    header = image_header(data, 0)
    data[header["offset"] + 100] ^= 0x01
    image = data[header["offset"]:header["offset"] + header["length"]]
    crc_offset = FILE_HEADER.size + 1 + 2 + 4 + 1 + 1
    data[crc_offset:crc_offset + 2] = crc16_arc(image).to_bytes(2, "little")
    reseal(data)
    return bytes(data)


def write(sim, files):
    for name, content in files.items():
        (sim.cwd / name).write_bytes(content)


NO_VERIFIER = f"fwpack.dat.jcat has no signature that a key or certificate in {TRUST_STORE} verifies"


def test_tampered_file_with_good_crcs_is_refused(tmp_path, keys):
    package, catalog = signed_package(tmp_path / "pack", keys)
    changed = tampered(package)
    sim = SimPlatform(tmp_path, platform())
    trusted_config(sim, keys)
    check = fwpack("show", "fwpack.dat", cwd=tmp_path / "pack")
    assert check.rc == 0, "the change must pass the data file's own checks"
    run = sim.run(stdin=b"Y\n", files={"fwpack.dat": changed, CATALOG: catalog})
    assert_refused(run, package, NO_VERIFIER)


def catalog_of_another_file(tmp_path, keys):
    other = Package(tmp_path / "other")
    shutil.move(tmp_path / "other" / "fwpack.dat", tmp_path / "other" / "other.dat")
    sign_with_fwpack(tmp_path / "other" / "other.dat", *keys["ed25519"])
    return catalog_of(tmp_path / "other" / "other.dat"), other


def catalog_of_other_bytes(tmp_path, keys):
    """A catalog naming fwpack.dat, but signed over another fwpack.dat."""
    _, catalog = signed_package(tmp_path / "other", keys, "ed25519", rev="1.07")
    return catalog


def checksums_only(tmp_path):
    Package(tmp_path / "sums")
    return checksum_catalog(tmp_path / "sums" / "fwpack.dat")


def gzip_of(text):
    import gzip
    return gzip.compress(text)


# name, catalog made from (tmp_path, keys, good catalog), reason
BAD_CATALOGS = [
    ("another file's catalog", lambda t, k, c: catalog_of_another_file(t, k)[0],
     "fwpack.dat.jcat has no signature for fwpack.dat"),
    ("signature over other bytes", lambda t, k, c: catalog_of_other_bytes(t, k), NO_VERIFIER),
    ("checksum but no signature", lambda t, k, c: checksums_only(t), NO_VERIFIER),
    ("key not in the trust store", lambda t, k, c: signed_package(t / "stranger", k, "untrusted")[1], NO_VERIFIER),
    ("expired certificate", lambda t, k, c: signed_package(t / "old", k, "expired")[1], NO_VERIFIER),
    ("empty", lambda t, k, c: b"", "fwpack.dat.jcat is empty"),
    ("truncated", lambda t, k, c: c[:len(c) // 2], "fwpack.dat.jcat is truncated or corrupt"),
    ("not gzip", lambda t, k, c: b'{"JcatVersionMajor": 0}', "fwpack.dat.jcat is not gzip-compressed"),
    ("gzip of no catalog", lambda t, k, c: gzip_of(b"[1, 2, 3]"), "fwpack.dat.jcat is not a signature catalog"),
    ("oversized", lambda t, k, c: c + bytes(1024 * 1024), "fwpack.dat.jcat is larger than 1048576 bytes"),
    ("expands without bound", lambda t, k, c: gzip_of(b" " * (5 * 1024 * 1024)),
     "fwpack.dat.jcat expands beyond 4194304 bytes"),
]


@pytest.mark.parametrize("name, make, reason", BAD_CATALOGS, ids=[case[0] for case in BAD_CATALOGS])
def test_catalog_that_does_not_verify_stops_the_run_before_any_unlock(tmp_path, keys, name, make, reason):
    package, good = signed_package(tmp_path / "pack", keys, "signer")
    sim = SimPlatform(tmp_path, platform())
    trusted_config(sim, keys)
    run = sim.run(stdin=b"Y\n", files={"fwpack.dat": package.data, CATALOG: make(tmp_path, keys, good)})
    assert_refused(run, package, reason)


def symbolic_link(sim, catalog):
    (sim.cwd / "real.jcat").write_bytes(catalog)
    os.symlink("real.jcat", sim.cwd / CATALOG)


def fifo(sim, catalog):
    os.mkfifo(sim.cwd / CATALOG)


def writable_by_others(sim, catalog):
    (sim.cwd / CATALOG).write_bytes(catalog)
    (sim.cwd / CATALOG).chmod(0o666)


def store_writable_by_others(sim, catalog):
    (sim.cwd / CATALOG).write_bytes(catalog)
    (sim.config_dir / "pki").chmod(0o777)


def store_key_writable_by_others(sim, catalog):
    (sim.cwd / CATALOG).write_bytes(catalog)
    (sim.config_dir / "pki" / "ca.pem").chmod(0o666)


def store_holds_a_link(sim, catalog):
    (sim.cwd / CATALOG).write_bytes(catalog)
    os.symlink("ca.pem", sim.config_dir / "pki" / "other.pem")


def policy_writable_by_others(sim, catalog):
    (sim.cwd / CATALOG).write_bytes(catalog)
    (sim.config_dir / "velmoran.conf").write_text("require_signature = no\n")
    (sim.config_dir / "velmoran.conf").chmod(0o666)


# name, what is done to the run's folder and /etc/velmoran, reason
UNSAFE_FILES = [
    ("catalog is a symbolic link", symbolic_link, "fwpack.dat.jcat is a symbolic link"),
    ("catalog is a FIFO", fifo, "fwpack.dat.jcat is not a regular file"),
    ("catalog writable by others", writable_by_others, "fwpack.dat.jcat is writable by other users"),
    ("trust store writable by others", store_writable_by_others, f"{TRUST_STORE} is writable by other users"),
    ("trusted key writable by others", store_key_writable_by_others,
     f"{TRUST_STORE}/ca.pem is writable by other users"),
    ("trust store holds a link", store_holds_a_link, f"{TRUST_STORE}/other.pem is a symbolic link"),
    ("policy writable by others", policy_writable_by_others, f"{POLICY_FILE} is writable by other users"),
]


@pytest.mark.parametrize("name, arrange, reason", UNSAFE_FILES, ids=[case[0] for case in UNSAFE_FILES])
def test_files_others_could_change_stop_the_run_before_any_unlock(tmp_path, keys, name, arrange, reason):
    package, catalog = signed_package(tmp_path / "pack", keys, "signer")
    sim = SimPlatform(tmp_path, platform())
    trusted_config(sim, keys)
    write(sim, {"fwpack.dat": package.data})
    arrange(sim, catalog)
    run = sim.run(stdin=b"Y\n")
    assert_refused(run, package, reason)


def test_required_signature_without_a_catalog_stops_the_run(tmp_path, keys):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, platform())
    trusted_config(sim, keys, policy="# fleet policy\n\n  require_signature=yes  \n")
    run = sim.run(stdin=b"Y\n", files=package.files())
    assert_refused(run, package, f"no catalog fwpack.dat.jcat, and {POLICY_FILE} requires a signature")


def test_unsigned_file_under_the_default_policy_runs_as_without_a_trust_store(tmp_path, keys):
    """Keys installed and the policy explicitly "no": a file without a
    catalog prints and sends exactly what it would with no /etc/velmoran."""
    package = Package(tmp_path / "pack")
    plain = SimPlatform(tmp_path / "plain", platform()).run(stdin=b"Y\n", files=package.files())
    sim = SimPlatform(tmp_path / "configured", platform())
    trusted_config(sim, keys, policy="require_signature = no\n")
    run = sim.run(stdin=b"Y\n", files=package.files())
    assert (run.rc, run.stdout, run.stderr) == (plain.rc, plain.stdout, plain.stderr) == \
        (0, before_trust_check(package) + CONTINUE + flashed_board(PRIMARY), "")
    assert run.request_lines() == plain.request_lines()


@pytest.mark.parametrize("mode", ["-revision", "-xml"])
def test_modes_that_flash_nothing_do_not_ask_for_a_signature(tmp_path, keys, mode):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, platform())
    trusted_config(sim, keys, policy="require_signature = yes\n")
    run = sim.run(mode, files={"fwpack.dat": package.data, CATALOG: b"not a catalog"})
    assert (run.rc, run.stderr) == (0, "")


def test_refusal_in_the_execution_report(tmp_path, keys):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, platform())
    trusted_config(sim, keys, policy="require_signature = yes\n")
    run = sim.run("-fml", "-force", files=package.files())
    assert (run.rc, run.stdout, run.stderr) == (NOT_TRUSTED, failure("SVMExecution", NOT_TRUSTED, "Data File Not Trusted"),
                                                "")
    validate(run.stdout, tmp_path)
    assert not any(line.startswith(ENTER_FW_XFER) for line in run.request_lines())


# name, policy text, line and reason of the refusal
BAD_POLICIES = [
    ("unknown key", "# comment\nrequire_signatures = yes\n", 2, 'unknown key "require_signatures"'),
    ("repeated key", "require_signature = no\nrequire_signature = no\n", 2, 'repeated key "require_signature"'),
    ("empty value", "require_signature =\n", 1, 'empty value for "require_signature"'),
    ("other value", "require_signature = true\n", 1, 'require_signature must be yes or no, not "true"'),
    ("no equals sign", "\nrequire_signature yes\n", 2, 'expected key = value, not "require_signature yes"'),
    ("control bytes echoed escaped", "require_signature = \x1b[2Jyes\n", 1,
     'require_signature must be yes or no, not "\\x1b[2Jyes"'),
    ("zero byte", "require_signature = no\n\0\n", 2, "holds a zero byte"),
]


@pytest.mark.parametrize("name, policy, line, reason", BAD_POLICIES, ids=[case[0] for case in BAD_POLICIES])
def test_policy_file_is_read_strictly(tmp_path, keys, name, policy, line, reason):
    package, catalog = signed_package(tmp_path / "pack", keys)
    sim = SimPlatform(tmp_path, platform())
    trusted_config(sim, keys, policy=policy)
    run = sim.run(stdin=b"Y\n", files={"fwpack.dat": package.data, CATALOG: catalog})
    assert (run.rc, run.stdout, run.stderr) == (NOT_TRUSTED, before_trust_check(package),
                                                f"\r   {POLICY_FILE} line {line}: {reason} \n")
    assert not any(request.startswith(ENTER_FW_XFER) for request in run.request_lines())


def test_fwpack_verify_names_the_trusted_signer(tmp_path, keys):
    folder = tmp_path / "pack"
    signed_package(folder, keys, "signer")
    sign_with_fwpack(folder / "fwpack.dat", *keys["untrusted"])
    store = install_config(tmp_path / "config", keys=[keys["ca"]]) / "pki"
    result = fwpack("verify", "--pki", store, "fwpack.dat", cwd=folder)
    lines = result.stdout.splitlines()
    assert (result.rc, result.stderr, len(lines)) == (0, "", 2)
    assert lines[0].startswith("fwpack.dat: pkcs7 signature of ") and \
        lines[0].endswith(f", verified by ca.pem {AUTHORITY}")
    assert lines[1].startswith("fwpack.dat: ed25519 signature of ") and lines[1].endswith(f", not verified by {store}")

    alone = install_config(tmp_path / "ed-only", keys=[(keys["ed25519"][0], "maker.ed25519")]) / "pki"
    refused_run = fwpack("verify", "--pki", alone, "fwpack.dat", cwd=folder)
    assert refused_run.rc == 1
    assert refused_run.stderr == f"fwpack verify: fwpack.dat: no signature is verified by a key or certificate in {alone}\n"


def test_fwpack_show_json_lists_the_signers(tmp_path, keys):
    import json
    folder = tmp_path / "pack"
    signed_package(folder, keys, "ed25519")
    store = install_config(tmp_path / "config", keys=[(keys["ed25519"][0], "maker.ed25519")]) / "pki"
    report = json.loads(fwpack("show", "--json", "--pki", store, "fwpack.dat", cwd=folder).stdout)
    assert report["catalog"]["file"] == "fwpack.dat.jcat"
    [signer] = report["catalog"]["signers"]
    assert (signer["kind"], signer["trusted_by"], signer["authority"]) == ("ed25519", "maker.ed25519", None)
    assert signer["timestamp"] > 0
    (folder / "fwpack.dat.jcat").unlink()
    assert json.loads(fwpack("show", "--json", "fwpack.dat", cwd=folder).stdout)["catalog"] is None
