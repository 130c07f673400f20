# SPDX-License-Identifier: GPL-3.0-or-later
"""Signing for the system and package tests: Ed25519 keys, a certificate
authority with its signing certificates (one of them expired), catalogs made
with jcat-tool or with fwpack sign, and the /etc/velmoran a simulated run
sees (policy file and trust store), all made with the real tools."""

import pathlib
import shutil
import subprocess

from datafiles import FWPACK

CATALOG_SUFFIX = ".jcat"
TRUST_STORE = "/etc/velmoran/pki"
POLICY_FILE = "/etc/velmoran/velmoran.conf"

CA_TEMPLATE = """cn = Velmoran Test Maker CA
organization = Velmoran Test Maker
ca
cert_signing_key
expiration_days = 3650
"""
SIGNER_TEMPLATE = """cn = {name}
organization = Velmoran Test Maker
signing_key
code_signing_key
{validity}
"""
CURRENT = "expiration_days = 365"
EXPIRED = 'activation_date = "2020-01-01 00:00:00 UTC"\nexpiration_date = "2021-01-01 00:00:00 UTC"'


def tool(name):
    """A signing tool's path; a missing one fails the test, naming its package."""
    found = shutil.which(name, path="/usr/sbin:/usr/bin:/sbin:/bin")
    package = {"jcat-tool": "jcat", "certtool": "gnutls-bin"}[name]
    assert found, f"{name} is missing: install the Debian package {package} (scripts/packages.txt)"
    return found


def run(argv, cwd):
    done = subprocess.run([str(word) for word in argv], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=60)
    assert done.returncode == 0, f"{' '.join(map(str, argv))}: {done.stdout}{done.stderr}"
    return done


def ed25519_key(folder, name):
    """An Ed25519 key pair as jcat-tool makes it: (public, secret) raw files."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    keyring = folder / name
    seed = folder / f"{name}.seed"
    seed.write_bytes(b"seed")
    run([tool("jcat-tool"), "--keyring", keyring, "self-sign", f"{seed}.jcat", seed, "--kind", "ed25519"], folder)
    public, secret = folder / f"{name}.ed25519", folder / f"{name}.secret"
    shutil.copy(keyring / "pki" / "public.ed25519", public)
    shutil.copy(keyring / "pki" / "secret.ed25519", secret)
    return public, secret


class Authority:
    """A certificate authority made with certtool; issue() makes signers."""

    def __init__(self, folder):
        self.folder = pathlib.Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.key = self._private_key("ca")
        template = self.folder / "ca.tmpl"
        template.write_text(CA_TEMPLATE)
        self.cert = self.folder / "ca.pem"
        run([tool("certtool"), "--generate-self-signed", "--load-privkey", self.key, "--template", template,
             "--outfile", self.cert], self.folder)

    def _private_key(self, name):
        key = self.folder / f"{name}.key"
        run([tool("certtool"), "--generate-privkey", "--key-type", "rsa", "--bits", "2048", "--outfile", key], self.folder)
        return key

    def issue(self, name, expired=False):
        """A signing certificate and its private key: (cert, key)."""
        key = self._private_key(name)
        template = self.folder / f"{name}.tmpl"
        template.write_text(SIGNER_TEMPLATE.format(name=name, validity=EXPIRED if expired else CURRENT))
        cert = self.folder / f"{name}.pem"
        run([tool("certtool"), "--generate-certificate", "--load-privkey", key, "--load-ca-certificate", self.cert,
             "--load-ca-privkey", self.key, "--template", template, "--outfile", cert], self.folder)
        return cert, key


def sign_with_jcat_tool(data_path, cert, key):
    """Signs as a maker does with jcat-tool: the item named by the base name."""
    data_path = pathlib.Path(data_path)
    kind = ["--kind", "ed25519"] if str(cert).endswith(".ed25519") else []
    run([tool("jcat-tool"), "--basename", "sign", f"{data_path.name}{CATALOG_SUFFIX}", data_path.name, cert, key,
         *kind], data_path.parent)


def checksum_catalog(data_path):
    """A catalog whose item holds a SHA-256 checksum and no signature."""
    data_path = pathlib.Path(data_path)
    run([tool("jcat-tool"), "--basename", "self-sign", f"{data_path.name}{CATALOG_SUFFIX}", data_path.name,
         "--kind", "sha256"], data_path.parent)
    return catalog_of(data_path)


def sign_with_fwpack(data_path, cert, key):
    data_path = pathlib.Path(data_path)
    run([FWPACK, "sign", data_path.name, cert, key], data_path.parent)


def catalog_of(data_path):
    return pathlib.Path(f"{data_path}{CATALOG_SUFFIX}").read_bytes()


def install_config(folder, keys=(), policy=None):
    """Makes `folder` what /etc/velmoran holds: the trusted files (path, or
    (path, name in the store)) in pki/ and the policy text, if any."""
    folder = pathlib.Path(folder)
    store = folder / "pki"
    store.mkdir(parents=True, exist_ok=True)
    folder.chmod(0o755)
    store.chmod(0o755)
    for key in keys:
        source, name = key if isinstance(key, tuple) else (key, pathlib.Path(key).name)
        shutil.copy(source, store / name)
        (store / name).chmod(0o644)
    if policy is not None:
        (folder / "velmoran.conf").write_text(policy)
        (folder / "velmoran.conf").chmod(0o644)
    return folder
