# SPDX-License-Identifier: GPL-3.0-or-later
"""What the fleet tests share: the Ansible collection built from ansible/ and
installed into a private folder, the environment ansible-playbook runs
under, and the backplane module helpers loaded straight from the source."""

import importlib.util
import json
import os
import shutil
import subprocess
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
    # velmoran need not poll its workers a thousand times a second.
    config.write_text("[defaults]\ninternal_poll_interval = 0.05\n")
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


def run_lan_rollout(folder, collections, inventory, count, name, *options):
    """ansible-playbook on the controller with forks = count, the whole fleet in one
    batch; returns (status, output, {wall, cpu} seconds)."""
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
    process = subprocess.Popen(["ansible-playbook", "-i", str(path), "-e", extra, *options,
                                "velmoran.backplane.rollout"],
                               cwd=folder, env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    output = process.stdout.read()
    _, wait_status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(wait_status)
    process.stdout.close()
    # The whole controller side: ansible-playbook, its forks, the modules and velmoran.
    seconds = time.monotonic() - started
    return process.returncode, output, {"wall": seconds, "cpu": usage.ru_utime + usage.ru_stime}
