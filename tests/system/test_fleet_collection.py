# SPDX-License-Identifier: GPL-3.0-or-later
"""The Ansible collection as a whole: it builds and installs, passes the
sanity tests ansible-test can run here, documents exactly the options its
modules take and the keys they return, and its package step only says what it
would install when run in check mode."""

import json
import shutil
import subprocess
import sys

import pytest

from conftest import VELMORAN
from datafiles import build, make_image
from fleet import COLLECTION_SOURCE, ansible_environment, install_collection, needs_ansible, normal_build_only
from simplatform import (INIT_DIR, INSTALL_SCRIPT, PRIMARY, REQUEST_LOG, SECONDARY, SIM_DIR, SLEEP_LOG, SLEEP_SHIM,
                         STATE_FILE, Board, Platform, SimPlatform, namespace_available)

pytestmark = [needs_ansible]

MODULES = ("backplane_info", "backplane_update")
# ansible-test's sanity tests that need nothing from the network (the others
# install their requirements into a virtual environment with pip first).
OFFLINE_SANITY = ("compile", "empty-init", "future-import-boilerplate", "ignores", "line-endings",
                  "metaclass-boilerplate", "no-assert", "no-basestring", "no-dict-iteritems", "no-dict-iterkeys",
                  "no-dict-itervalues", "no-get-exception", "no-illegal-filenames", "no-main-display",
                  "no-smart-quotes", "no-unicode-literals", "replace-urlopen", "shebang", "symlinks",
                  "use-argspec-type-path", "use-compat-six")
STANDARD_KEYS = {"changed", "failed", "msg", "invocation", "_ansible_no_log", "warnings", "deprecations",
                 "_ansible_verbose_always", "_ansible_delegated_vars", "ansible_facts",
                 "stderr_lines"}


@pytest.fixture(scope="module")
def collections(tmp_path_factory):
    return install_collection(tmp_path_factory.mktemp("collection"))


def test_offline_sanity_tests_pass(tmp_path):
    tree = tmp_path / "ansible_collections" / "velmoran" / "backplane"
    shutil.copytree(COLLECTION_SOURCE, tree, ignore=shutil.ignore_patterns("*.tar.gz", "__pycache__"))
    tests = [word for name in OFFLINE_SANITY for word in ("--test", name)]
    done = subprocess.run(["ansible-test", "sanity", "--local", "--python", "%d.%d" % sys.version_info[:2], *tests],
                          cwd=tree, env=ansible_environment(tmp_path), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=600)
    assert done.returncode == 0, done.stdout
    assert done.stdout.count("Running sanity test") == len(OFFLINE_SANITY)


class ModuleOptions(Exception):
    def __init__(self, argument_spec=None, **settings):
        super().__init__("module options")
        self.argument_spec = argument_spec
        self.settings = settings


def module_options(collections, name):
    """The module's options and their rules, taken from its AnsibleModule call."""
    sys.path.insert(0, str(collections))
    try:
        module = __import__(f"ansible_collections.velmoran.backplane.plugins.modules.{name}", fromlist=["main"])
        original = module.AnsibleModule

        def capture(**settings):
            raise ModuleOptions(**settings)
        module.AnsibleModule = capture
        try:
            module.main()
        except ModuleOptions as captured:
            return captured.argument_spec, captured.settings
        finally:
            module.AnsibleModule = original
    finally:
        sys.path.remove(str(collections))
    raise AssertionError(f"{name} never built its AnsibleModule")


def documentation(tmp_path, collections, name):
    done = subprocess.run(["ansible-doc", "--json", "-t", "module", f"velmoran.backplane.{name}"],
                          env=ansible_environment(tmp_path, collections), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)[f"velmoran.backplane.{name}"]


@pytest.mark.parametrize("name", MODULES)
def test_documentation_and_module_options_agree(tmp_path, collections, name):
    rules, settings = module_options(collections, name)
    doc = documentation(tmp_path, collections, name)
    options = doc["doc"]["options"]
    assert sorted(options) == sorted(rules)
    for option, rule in rules.items():
        documented = options[option]
        assert documented["type"] == rule.get("type", "str"), option
        assert documented.get("default") == rule.get("default"), option
        assert documented.get("choices") == rule.get("choices"), option
        assert bool(documented.get("required")) == bool(rule.get("required")), option
        assert documented.get("elements") == rule.get("elements"), option
        assert documented.get("description"), option
    assert rules["bmc_password"]["no_log"] is True
    assert settings["supports_check_mode"] is True
    assert doc["doc"]["attributes"]["check_mode"]["support"] == "full"
    for part in ("EXAMPLES", "RETURN"):
        assert doc["examples" if part == "EXAMPLES" else "return"], part


def module_arguments(tmp_path, sim):
    (sim.cwd / "tesselinstall.sh").write_bytes(INSTALL_SCRIPT.read_bytes())
    (sim.cwd / "tesselinstall.sh").chmod(0o755)
    return {"program": str(VELMORAN), "chdir": str(sim.cwd), "library_path": str(SIM_DIR),
            "state_dir": str(sim.root / "records"),
            "program_environment": {"LD_PRELOAD": str(SLEEP_SHIM), "SLEEPSHIM_LOG": str(sim.state_dir / SLEEP_LOG),
                                    "QRXSIM_STATE": str(sim.state_dir / STATE_FILE),
                                    "QRXSIM_LOG": str(sim.state_dir / REQUEST_LOG)}}


def sim_host_playbook(tmp_path, sim, failing, slow, data_file):
    """Two simulated servers, one with a board whose flash fails, and a
    playbook that calls each module the ways a user would, keeping every
    result in results.json."""
    common = module_arguments(tmp_path, sim)
    update = dict(common, data_file=str(data_file))
    marked = dict(module_arguments(tmp_path, failing), data_file=str(data_file),
                  failure_marker=str(tmp_path / "marks" / "flash-failed"))
    # Real waits here: the run is still on its first board when its time is up.
    stopped = dict(module_arguments(tmp_path, slow), data_file=str(data_file), timeout=2,
                   failure_marker=str(tmp_path / "slow-marks" / "flash-failed"))
    del stopped["program_environment"]["LD_PRELOAD"]
    tasks = [
        {"name": "info", "velmoran.backplane.backplane_info": common},
        {"name": "check", "velmoran.backplane.backplane_update": update, "check_mode": True, "diff": True},
        {"name": "update", "velmoran.backplane.backplane_update": update},
        {"name": "again", "velmoran.backplane.backplane_update": update},
        {"name": "wrong checksum", "velmoran.backplane.backplane_update": dict(update, data_sha256="0" * 64),
         "ignore_errors": True},
        {"name": "missing file", "velmoran.backplane.backplane_update": dict(update, data_file=str(tmp_path / "x")),
         "ignore_errors": True},
        {"name": "flash fails", "velmoran.backplane.backplane_update": marked, "ignore_errors": True},
        {"name": "after the failure", "velmoran.backplane.backplane_update": marked, "ignore_errors": True},
        {"name": "checked after the failure", "velmoran.backplane.backplane_update": marked,
         "check_mode": True, "ignore_errors": True},
        {"name": "out of time", "velmoran.backplane.backplane_update": stopped, "ignore_errors": True},
    ]
    for task in tasks:
        task["register"] = "result_" + task["name"].replace(" ", "_")
    gathered = ", ".join(f"'{task['name']}': {task['register']}" for task in tasks)
    tasks.append({"name": "keep the results", "ansible.builtin.copy": {
        "content": "{{ {" + gathered + "} | to_json }}", "dest": str(tmp_path / "results.json")}})
    playbook = tmp_path / "modules.yml"
    playbook.write_text(json.dumps([{"hosts": "localhost", "gather_facts": False, "tasks": tasks}]))
    return playbook


def run_json(tmp_path, collections, playbook):
    environment = ansible_environment(tmp_path, collections)
    setup = 'mount --bind "$0" /etc/init.d && exec "$@"'
    done = subprocess.run(["unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c", setup,
                           str(INIT_DIR), "ansible-playbook", "-c", "local", "-i", "localhost,", str(playbook)],
                          cwd=tmp_path, env=environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    return json.loads((tmp_path / "results.json").read_text())


@pytest.mark.skipif(not namespace_available(), reason="needs root and a private mount namespace")
@normal_build_only
def test_modules_return_what_they_document(tmp_path, collections):
    make_image(tmp_path, "bp.bin", "1.06")
    data_file = tmp_path / "bp.dat"
    data_file.write_bytes(build(tmp_path, "bp.dat", "--rev", "1.06", "bp.bin"))
    sim = SimPlatform(tmp_path / "server", Platform(boards=[Board(PRIMARY), Board(SECONDARY, revision=(1, 6))]))
    failing = SimPlatform(tmp_path / "failing", Platform(boards=[Board(PRIMARY), Board(SECONDARY, refuse_exit=True)]))
    slow = SimPlatform(tmp_path / "slow")
    results = run_json(tmp_path, collections, sim_host_playbook(tmp_path, sim, failing, slow, data_file))

    info = results["info"]
    assert (info["changed"], info["status"], info["version"]) == (False, 0, "1.09")
    assert info["boards"] == [
        {"name": "Primary Backplane", "ipmb_address": "0xC0", "revision": "1.05", "answered": True},
        {"name": "Secondary Backplane", "ipmb_address": "0xC2", "revision": "1.06", "answered": True},
        {"name": "Media Bay", "ipmb_address": "0xC4", "revision": None, "answered": False}]

    check, update, again = results["check"], results["update"], results["again"]
    assert check["changed"] is True
    assert [(b["name"], b["outcome"]) for b in check["boards"]] == [
        ("Primary Backplane", "would flash"), ("Secondary Backplane", "up to date")]
    assert check["msg"] == "would flash Primary Backplane (0xC0) 1.05 -> 1.06; up to date: Secondary Backplane"
    assert check["diff"] == [{"before_header": "Primary Backplane (0xC0)", "before": "1.05\n",
                              "after_header": "Primary Backplane (0xC0)", "after": "1.06\n"}]
    assert update["msg"] == "flashed Primary Backplane (0xC0) 1.05 -> 1.06; up to date: Secondary Backplane"
    assert "diff" not in update
    assert (update["changed"], update["status"], update["status_meaning"]) == (True, 0, "success")
    assert [(b["before"], b["after"], b["outcome"], b["message"]) for b in update["boards"]] == [
        ("1.05", "1.06", "flashed", "Update Successful."), ("1.06", "1.06", "up to date", "Not Updated")]
    assert (again["changed"], again.get("failed", False), again["status"]) == (False, False, 1)
    assert again["status_meaning"] == "nothing flashed" and again["message"] == "Failed"
    assert results["wrong checksum"]["failed"] is True and "SHA-256" in results["wrong checksum"]["msg"]
    missing = results["missing file"]
    assert missing["failed"] is True and missing["status"] == 2 and missing["status_meaning"] == "data file not found"
    assert missing["log_tail"]

    # A failed flash is marked; velmoran is not run for that server again.
    failed = results["flash fails"]
    assert (failed["failed"], failed["status"], failed["changed"]) == (True, 14, True)
    assert [(b["name"], b["outcome"]) for b in failed["boards"]] == [
        ("Primary Backplane", "flashed"), ("Secondary Backplane", "failed")]
    assert (tmp_path / "marks" / "flash-failed").read_text() == \
        "status 14 (a board did not leave transfer mode): Secondary Backplane\n"
    assert failed["msg"].endswith("; look at the board, then remove %s to allow updates again"
                                  % (tmp_path / "marks" / "flash-failed"))
    for name in ("after the failure", "checked after the failure"):
        refused = results[name]
        assert refused["failed"] is True and "status" not in refused, name
        assert refused["msg"].startswith("a flash failed here before (status 14 "), name
    requests = (failing.state_dir / REQUEST_LOG).read_text().splitlines()
    assert sum(1 for line in requests if line.startswith("C2 20 00")) == 1

    # Out of time: SIGTERM; velmoran finishes the board in hand and stops.
    late = results["out of time"]
    assert late["failed"] is True and late["msg"] == "velmoran did not end within 2 s and was stopped"
    assert (late["status"], late["changed"]) == (11, True)
    assert [(b["name"], b["outcome"], b["message"]) for b in late["boards"]] == [
        ("Primary Backplane", "flashed", "Update Successful."), ("Secondary Backplane", "not updated", "Not Updated")]
    assert not (tmp_path / "slow-marks").exists()
    assert [board.revision for board in Platform.parse((slow.state_dir / STATE_FILE).read_text()).boards] == [
        (1, 6), (1, 5)]

    for name, result in (("backplane_info", info), ("backplane_update", update), ("backplane_update", missing)):
        documented = documentation(tmp_path, collections, name)["return"]
        assert set(result) - STANDARD_KEYS - set(documented) == set(), name
        board_keys = set(documented["boards"]["contains"])
        assert all(set(board) == board_keys for board in result["boards"]), name
        assert {key for key, entry in documented.items() if entry["returned"] == "always"} <= set(result), name


def dummy_package(folder):
    """A throwaway .deb: check mode must only say it would install it."""
    root = folder / "pkg"
    (root / "DEBIAN").mkdir(parents=True)
    (root / "DEBIAN" / "control").write_text(
        "Package: velmoran-rollout-probe\nVersion: 1.0\nArchitecture: all\n"
        "Maintainer: Velmoran <dev@velmoran.invalid>\n"
        "Description: rollout package step probe\n")
    deb = folder / "velmoran-rollout-probe_1.0_all.deb"
    subprocess.run(["dpkg-deb", "--build", "--root-owner-group", str(root), str(deb)], check=True,
                   stdout=subprocess.DEVNULL)
    return deb


@pytest.mark.skipif(shutil.which("dpkg-deb") is None, reason="needs dpkg-deb")
def test_package_step_in_check_mode_installs_nothing(tmp_path, collections):
    deb = dummy_package(tmp_path)
    workdir = tmp_path / "target"
    playbook = tmp_path / "install.yml"
    playbook.write_text(json.dumps([{"hosts": "localhost", "gather_facts": False, "tasks": [
        {"name": "packages", "ansible.builtin.include_role": {"name": "velmoran.backplane.rollout",
                                                              "tasks_from": "install"},
         "vars": {"velmoran_debs": [str(deb)], "velmoran_workdir": str(workdir)}},
        {"name": "keep the result", "ansible.builtin.copy": {"content": "{{ velmoran_packages | to_json }}",
                                                             "dest": str(tmp_path / "packages.json")},
         "check_mode": False}]}]))
    environment = ansible_environment(tmp_path, collections)
    done = subprocess.run(["ansible-playbook", "--check", "-c", "local", "-i", "localhost,", str(playbook)],
                          cwd=tmp_path, env=environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    installed = json.loads((tmp_path / "packages.json").read_text())
    assert (workdir / "packages" / deb.name).read_bytes() == deb.read_bytes()
    assert installed["changed"] is True and "--simulate" in installed["cmd"]
    assert installed["cmd"][-1] == str(workdir / "packages" / deb.name)
    probe = subprocess.run(["dpkg-query", "-W", "velmoran-rollout-probe"], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
    assert probe.returncode != 0, "check mode installed the package"


@pytest.mark.parametrize("mode, servers", [("inband", 80), ("oob", 3)])
def test_documented_examples_are_the_shipped_files_and_load(tmp_path, collections, mode, servers):
    folder = COLLECTION_SOURCE / "examples" / mode
    readme = (COLLECTION_SOURCE / "README.md").read_text()
    for path in sorted(folder.iterdir()):
        text = path.read_text().removeprefix("---\n")
        assert "".join("    " + line if line.strip() else line
                       for line in text.splitlines(keepends=True)) in readme, path.name
    environment = ansible_environment(tmp_path, collections)
    listed = subprocess.run(["ansible-inventory", "-i", str(folder / "inventory.yml"), "--list"], env=environment,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert listed.returncode == 0, listed.stderr
    assert len(json.loads(listed.stdout)["backplane_fleet"]["hosts"]) == servers
    playbook = next(folder.glob("rollout-*.yml"))
    checked = subprocess.run(["ansible-playbook", "--syntax-check", "-i", str(folder / "inventory.yml"),
                              str(playbook)], env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True)
    assert checked.returncode == 0, checked.stdout
