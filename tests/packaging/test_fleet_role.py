# SPDX-License-Identifier: GPL-3.0-or-later
"""The fleet collection's package step for real: the rollout role installs the
built packages with apt on a throwaway copy of this system, run there by
ansible-playbook as it runs on an in-band server, and a second run finds
nothing to do."""

import json
import shutil
import subprocess

import pytest

from test_installed_packages import ALL_PACKAGES, SOURCE_DIR, VERSION, package
from throwaway_root import ThrowawayRoot

COLLECTION = SOURCE_DIR / "ansible"

pytestmark = pytest.mark.skipif(shutil.which("ansible-playbook") is None, reason="ansible-core not installed")


@pytest.fixture
def shared(tmp_path):
    """Packages, the collection and the playbook, at the same path inside the root."""
    for name in ALL_PACKAGES:
        shutil.copy(package(name), tmp_path)
    subprocess.run(["ansible-galaxy", "collection", "build", str(COLLECTION), "--output-path", str(tmp_path)],
                   check=True, stdout=subprocess.DEVNULL, env={"PATH": "/usr/bin:/bin", "HOME": str(tmp_path)})
    tarball = next(tmp_path.glob("velmoran-backplane-*.tar.gz"))
    subprocess.run(["ansible-galaxy", "collection", "install", "--offline", "-p", str(tmp_path / "collections"),
                    str(tarball)], check=True, stdout=subprocess.DEVNULL,
                   env={"PATH": "/usr/bin:/bin", "HOME": str(tmp_path)})
    (tmp_path / "install.yml").write_text(json.dumps([{"hosts": "localhost", "gather_facts": False, "tasks": [
        {"name": "packages", "ansible.builtin.include_role": {"name": "velmoran.backplane.rollout",
                                                              "tasks_from": "install"}},
        {"name": "keep the result", "ansible.builtin.copy": {"content": "{{ velmoran_packages | to_json }}",
                                                             "dest": str(tmp_path / "result.json")},
         "check_mode": False}]}]))
    return tmp_path


def playbook(root, shared, *options):
    debs = [str(shared / package(name).name) for name in ALL_PACKAGES]
    environment = {"HOME": "/root", "LANG": "C.UTF-8", "ANSIBLE_COLLECTIONS_PATH": str(shared / "collections"),
                   "ANSIBLE_PYTHON_INTERPRETER": "/usr/bin/python3", "ANSIBLE_NOCOLOR": "1"}
    result = root.check(["ansible-playbook", "-c", "local", "-i", "localhost,", *options,
                         "-e", json.dumps({"velmoran_debs": debs, "velmoran_workdir": "/var/lib/velmoran/rollout"}),
                         str(shared / "install.yml")], env=environment, timeout=600)
    return result, json.loads((shared / "result.json").read_text())


def test_role_installs_the_packages_once(shared):
    root = ThrowawayRoot(shared)
    try:
        _, checked = playbook(root, shared, "--check")
        assert checked["changed"] is True and "--simulate" in checked["cmd"]
        assert len(checked["cmd"]) == 9 + len(ALL_PACKAGES)
        assert checked["cmd"][4:8] == ["-o", "Dpkg::Options::=--force-confdef", "-o",
                                       "Dpkg::Options::=--force-confold"]
        assert root.run(["dpkg-query", "-W", "velmoran"]).rc != 0

        _, installed = playbook(root, shared)
        assert installed["changed"] is True and "--simulate" not in installed["cmd"]
        for name in ALL_PACKAGES:
            shown = root.check(["dpkg-query", "-W", "-f", "${Status} ${Version}", name]).stdout
            assert shown == f"install ok installed {VERSION}", name
        assert f"Velmoran Version:  {VERSION}" in root.check(["velmoran", "-version"]).stdout

        # Nothing differs now: apt-get is not run at all.
        _, again = playbook(root, shared)
        assert again["changed"] is False and again["skipped"] is True
    finally:
        root.close()
