# SPDX-License-Identifier: GPL-3.0-or-later
"""What the fleet tests share: the Ansible collection built from ansible/ and
installed into a private folder, the environment ansible-playbook runs
under, and the backplane module helpers loaded straight from the source."""

import importlib.util
import json
import os
import pathlib
import shutil
import subprocess
import tempfile
import time

import pytest

from conftest import SOURCE_DIR, VELMORAN
from ipmisim_bench import BACKEND_DIR, PASSWORD, USER

COLLECTION_SOURCE = SOURCE_DIR / "ansible"
MODULE_UTILS = COLLECTION_SOURCE / "plugins" / "module_utils" / "velmoran.py"
ANSIBLE_TOOLS = ("ansible-playbook", "ansible-galaxy", "ansible-doc", "ansible")


def ansible_missing():
    return [tool for tool in ANSIBLE_TOOLS if shutil.which(tool) is None]


needs_ansible = pytest.mark.skipif(bool(ansible_missing()),
                                   reason="ansible-core not installed: " + ", ".join(ansible_missing()))


# The fleet tests drive the collection, which a second pass under the
# sanitizers does not tell more about: that build's run leaves them out.
normal_build_only = pytest.mark.normal_build_only


def sanitizer_build():
    """A sanitizer build of velmoran: the fleet tests drive the collection,
    which a second pass under the sanitizers does not tell more about."""
    listing = subprocess.run(["ldd", str(VELMORAN)], stdout=subprocess.PIPE, text=True).stdout
    return "libasan" in listing or "libubsan" in listing


def load_module_utils():
    found = importlib.util.spec_from_file_location("velmoran_module_utils", MODULE_UTILS)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def install_collection(folder):
    """Builds the collection as a release would and installs the tarball into
    folder/collections; returns that collections path."""
    folder.mkdir(parents=True, exist_ok=True)
    environment = ansible_environment(folder)
    built = subprocess.run(["ansible-galaxy", "collection", "build", str(COLLECTION_SOURCE),
                            "--output-path", str(folder), "--force"],
                           env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert built.returncode == 0, built.stdout
    tarball = next(folder.glob("velmoran-backplane-*.tar.gz"))
    collections = folder / "collections"
    installed = subprocess.run(["ansible-galaxy", "collection", "install", "--offline", "--force",
                                "-p", str(collections), str(tarball)],
                               env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert installed.returncode == 0, installed.stdout
    return collections


def ansible_environment(folder, collections=None, **extra):
    """Ansible's settings for one test: its home, temporary folders and the
    collection path inside `folder`, nothing read from the machine's own."""
    home = folder / "home"
    home.mkdir(parents=True, exist_ok=True)
    config = home / "ansible.cfg"
    # As the collection's playbooks/ansible.cfg: a run that waits minutes on
    # velmoran need not poll its workers a thousand times a second, nor read
    # the inventory's host_vars and group_vars again for every task.
    config.write_text("[defaults]\ninternal_poll_interval = 0.05\nrun_vars_plugins = start\n")
    environment = {
        "PATH": "/usr/sbin:/usr/bin:/sbin:/bin",
        "HOME": str(home),
        "LANG": "C.UTF-8",
        "LC_ALL": "C.UTF-8",
        "ANSIBLE_CONFIG": str(config),
        "ANSIBLE_HOME": str(home / ".ansible"),
        "ANSIBLE_LOCAL_TEMP": str(home / "local-tmp"),
        "ANSIBLE_REMOTE_TEMP": str(home / "remote-tmp"),
        "ANSIBLE_HOST_KEY_CHECKING": "False",
        "ANSIBLE_RETRY_FILES_ENABLED": "False",
        "ANSIBLE_NOCOLOR": "1",
        "ANSIBLE_PIPELINING": "True",
        "ANSIBLE_PYTHON_INTERPRETER": "/usr/bin/python3",
        "ANSIBLE_GALAXY_SERVER_LIST": "",
    }
    if collections is not None:
        environment["ANSIBLE_COLLECTIONS_PATH"] = str(collections)
    environment.update({key: str(value) for key, value in extra.items()})
    return environment


def lan_inventory(benches, folder, data_file, program_environment):
    hosts = {}
    for index, bench in enumerate(benches):
        hosts[f"srv{index:02d}"] = {
            "velmoran_bmc_host": "127.0.0.1",
            "velmoran_bmc_port": bench.port,
            "velmoran_state_dir": str(folder / "records" / f"srv{index:02d}"),
        }
    return {"backplane_fleet": {"hosts": hosts, "vars": {
        "ansible_connection": "local",
        "velmoran_backend": "lan",
        "velmoran_controller": "localhost",
        "velmoran_bmc_user": USER,
        "velmoran_bmc_password": PASSWORD,
        "velmoran_workaround_flags": ["open_session_privilege"],
        "velmoran_system_id": "16D",
        "velmoran_session_timeout_ms": 5000,
        "velmoran_retransmission_timeout_ms": 500,
        "velmoran_program": str(VELMORAN),
        "velmoran_library_path": str(BACKEND_DIR),
        "velmoran_workdir": str(folder / "controller"),
        "velmoran_data_file": str(data_file),
        "velmoran_program_environment": program_environment,
    }}}


def private_etc(folder):
    """A shell command that gives the mount namespace it runs in its own
    /etc: the machine's underneath, every change kept in folder/upper (made
    here, where a test may put files first)."""
    for name in ("upper", "work"):
        (folder / name).mkdir(parents=True, exist_ok=True)
    return (f"mount -t overlay overlay -o lowerdir=/etc,upperdir={folder / 'upper'},"
            f"workdir={folder / 'work'} /etc")


def in_private_etc(folder, argv):
    """argv run in a private mount namespace with private_etc(folder)."""
    return ["unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c",
            private_etc(folder) + ' && exec "$@"', "sh", *argv]


def run_lan_rollout(folder, collections, inventory, count, name, *options, etc=None):
    """ansible-playbook on the controller with forks = count, the whole fleet in one
    batch; returns (status, output, {wall, cpu} seconds). With etc, the
    controller's /etc is private_etc(etc)."""
    path = folder / f"{name}.json"
    path.write_text(json.dumps(inventory, indent=1))
    private_tmp = folder / "tmp"
    private_tmp.mkdir(exist_ok=True)
    environment = ansible_environment(
        folder, collections, ANSIBLE_FORKS=count, TMPDIR=private_tmp,
        ANSIBLE_CALLBACKS_ENABLED="velmoran.backplane.fleet_report",
        VELMORAN_FLEET_REPORT_DIR=folder / "reports", VELMORAN_FLEET_REPORT_NAME=name)
    extra = json.dumps({"velmoran_serial": [count], "velmoran_max_fail_percentage": 0})
    started = time.monotonic()
    argv = ["ansible-playbook", "-i", str(path), "-e", extra, *options, "velmoran.backplane.rollout"]
    process = subprocess.Popen(in_private_etc(etc, argv) if etc is not None else argv,
                               cwd=folder, env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    output = process.stdout.read()
    _, wait_status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(wait_status)
    process.stdout.close()
    # The whole controller side: ansible-playbook, its forks, the modules and velmoran.
    seconds = time.monotonic() - started
    return process.returncode, output, {"wall": seconds, "cpu": usage.ru_utime + usage.ru_stime}


# The account Ansible logs in with on the simulated servers, as in the README.
DEPLOY_USER = "deploy"
DEPLOY_UID = 47111


class SshServers:
    """Simulated servers reached over real SSH: one OpenSSH server per
    server on its own loopback address (127.0.0.10, .11, ...) inside a
    network namespace made for the run, each in its own mount namespace
    with its own /etc (private_etc: the login account, sudo for it, the
    velmoran configuration) where the simulated service script stands in for
    /etc/init.d. Host keys and the client key are made here."""

    FIRST = 10

    def __init__(self, root, count, init_dir):
        self.root = root / "ssh"
        self.root.mkdir(parents=True)
        self.count = count
        self.init_dir = init_dir
        self.client_key = self.root / "client"
        keygen(self.client_key)
        # The account's home is outside the test's folder, which only root may enter.
        self.home = pathlib.Path(tempfile.mkdtemp(prefix="velmoran-deploy-"))
        os.chown(self.home, DEPLOY_UID, DEPLOY_UID)
        # Made as the account's, as a login would: modules run as root would
        # make it root's, and the account could no longer copy files there.
        remote_tmp = self.home / ".ansible" / "tmp"
        remote_tmp.mkdir(parents=True)
        for path in (remote_tmp.parent, remote_tmp):
            os.chown(path, DEPLOY_UID, DEPLOY_UID)
        # sshd reads it as the account's user.
        authorized = self.home / "authorized_keys"
        authorized.write_text((self.root / "client.pub").read_text())
        os.chown(authorized, DEPLOY_UID, DEPLOY_UID)
        for index in range(count):
            self.prepare_server(index, authorized)

    def address(self, index):
        return f"127.0.0.{self.FIRST + index}"

    def etc(self, index):
        """The files server index wrote into its /etc."""
        return self.root / f"server{index:02d}" / "etc" / "upper"

    def prepare_server(self, index, authorized):
        folder = self.root / f"server{index:02d}"
        folder.mkdir()
        keygen(folder / "host_key")
        upper = self.etc(index)
        private_etc(folder / "etc")
        for name, line in (("passwd", f"{DEPLOY_USER}:x:{DEPLOY_UID}:{DEPLOY_UID}::{self.home}:/bin/sh"),
                           ("group", f"{DEPLOY_USER}:x:{DEPLOY_UID}:"),
                           ("shadow", f"{DEPLOY_USER}:*:20000:0:99999:7:::")):
            shutil.copy2(f"/etc/{name}", upper / name)
            with open(upper / name, "a") as handle:
                handle.write(line + "\n")
        (upper / "sudoers.d").mkdir()
        sudoers = upper / "sudoers.d" / DEPLOY_USER
        sudoers.write_text(f"{DEPLOY_USER} ALL=(ALL) NOPASSWD: ALL\n")
        sudoers.chmod(0o440)
        (folder / "sshd_config").write_text("\n".join([
            f"ListenAddress {self.address(index)}:22",
            f"HostKey {folder / 'host_key'}",
            f"PidFile {folder / 'sshd.pid'}",
            f"AuthorizedKeysFile {authorized}",
            "StrictModes no",
            "UsePAM no",
            "PasswordAuthentication no",
            "KbdInteractiveAuthentication no",
            "PermitRootLogin no",
            "Subsystem sftp /usr/lib/openssh/sftp-server",
        ]) + "\n")

    def host_vars(self, index):
        return {
            "ansible_host": self.address(index),
            "ansible_user": DEPLOY_USER,
            "ansible_become": True,
            "ansible_ssh_private_key_file": str(self.client_key),
            "ansible_ssh_common_args": "-o UserKnownHostsFile=/dev/null -o StrictHostKeyChecking=no",
            "ansible_remote_tmp": str(self.home / ".ansible" / "tmp"),
        }

    def wrap(self, argv):
        """argv run in a new network namespace where the servers listen."""
        lines = ["set -u", "ip link set lo up", "pids="]
        for index in range(self.count):
            folder = self.root / f"server{index:02d}"
            setup = " && ".join([private_etc(folder / "etc"), f"mount --bind {self.init_dir} /etc/init.d",
                                 "mount -t tmpfs -o mode=0755 tmpfs /run", "mkdir /run/sshd",
                                 f"exec /usr/sbin/sshd -D -e -f {folder / 'sshd_config'}"])
            lines += [f"unshare --mount --propagation private -- /bin/sh -c '{setup}' 2>{folder / 'sshd.log'} &",
                      'pids="$pids $!"']
        # Each server is up once its port answers; none takes long.
        lines += [f"for address in {' '.join(self.address(index) for index in range(self.count))}; do",
                  "  tries=0",
                  '  until (exec 3<>"/dev/tcp/$address/22") 2>/dev/null; do',
                  "    tries=$((tries + 1)); [ $tries -lt 200 ] || { echo \"no sshd on $address\"; exit 98; }",
                  "    sleep 0.05",
                  "  done",
                  "done",
                  '"$@"', "status=$?", "kill $pids", "wait", "exit $status"]
        return ["unshare", "--net", "--", "/bin/bash", "-c", "\n".join(lines), "bash", *argv]

    def close(self):
        shutil.rmtree(self.home, ignore_errors=True)


def keygen(path):
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", path.name, "-f", str(path)], check=True)


def sign(data_file, keyring):
    """Signs data_file as a board maker would, into data_file.jcat; returns
    the public key for the servers' trust store."""
    subprocess.run(["jcat-tool", "--keyring", str(keyring), "--kind", "ed25519", "--basename", "self-sign",
                    f"{data_file}.jcat", str(data_file)], check=True, stdout=subprocess.DEVNULL)
    return keyring / "pki" / "public.ed25519"


def trust(etc_upper, public_key):
    """Installs public_key in the velmoran trust store of a private /etc."""
    pki = etc_upper / "velmoran" / "pki"
    pki.mkdir(parents=True, exist_ok=True)
    pki.parent.chmod(0o755)
    pki.chmod(0o755)
    shutil.copy(public_key, pki / public_key.name)
    (pki / public_key.name).chmod(0o644)


def require(*tools):
    """Fails, naming them, when tools a test needs are not installed."""
    missing = [tool for tool in tools if shutil.which(tool, path="/usr/sbin:/usr/bin:/sbin:/bin") is None]
    assert not missing, "not installed: " + ", ".join(missing)
