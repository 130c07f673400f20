"""What the fleet tests share: the Ansible collection built from ansible/ and
installed into a private folder, the environment ansible-playbook runs
under, and the backplane module helpers loaded straight from the source."""

import importlib.util
import shutil
import subprocess

import pytest

from conftest import SOURCE_DIR, VELMORAN

COLLECTION_SOURCE = SOURCE_DIR / "ansible"
MODULE_UTILS = COLLECTION_SOURCE / "plugins" / "module_utils" / "velmoran.py"
ANSIBLE_TOOLS = ("ansible-playbook", "ansible-galaxy", "ansible-doc", "ansible")


def ansible_missing():
    return [tool for tool in ANSIBLE_TOOLS if shutil.which(tool) is None]


needs_ansible = pytest.mark.skipif(bool(ansible_missing()),
                                   reason="ansible-core not installed: " + ", ".join(ansible_missing()))


def sanitizer_build():
    """A sanitizer build of velmoran: the fleet tests drive the collection,
    which a second pass under the sanitizers does not tell more about."""
    listing = subprocess.run(["ldd", str(VELMORAN)], stdout=subprocess.PIPE, text=True).stdout
    return "libasan" in listing or "libubsan" in listing


def load_module_utils():
    spec = importlib.util.spec_from_file_location("velmoran_module_utils", MODULE_UTILS)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
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
    config.write_text("[defaults]\n")
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
