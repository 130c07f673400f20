# SPDX-License-Identifier: GPL-3.0-or-later
"""debian/rules' own check, run as dpkg-buildpackage runs it: the version a
changelog packages must be the program's own number, with at most a Debian
suffix after it, whatever the build's version header says."""

import os
import pathlib
import shutil
import subprocess

import pytest

SOURCE_DIR = pathlib.Path(os.environ.get("VELMORAN_SOURCE_DIR", "../..")).resolve()
BUILD_DIR = pathlib.Path(os.environ.get("VELMORAN_BUILD_DIR", "../../build")).resolve()
HEADER = BUILD_DIR / "generated" / "velmoran_version.h"


@pytest.mark.parametrize("template, accepted", [
    ("{v}", True),
    ("{v}+b1", True),         # binary-only rebuild
    ("{v}.1", True),          # local dch -v build
    ("1:{v}-2", True),        # epoch and Debian revision
    ("{v}~site1", True),
    ("2.{v}", False),         # another program version
    ("{v}1", False),          # a longer number is not a suffix
    ("{short}", False),       # nor is a prefix of the program's number
])
def test_packaged_version_must_be_the_programs(tmp_path, template, accepted):
    assert HEADER.is_file(), f"no version header in {HEADER.parent}"
    (tmp_path / "debian").mkdir()
    for name in ("rules", "changelog"):
        shutil.copy(SOURCE_DIR / "debian" / name, tmp_path / "debian")
    (tmp_path / "obj-test" / "generated").mkdir(parents=True)
    shutil.copy(HEADER, tmp_path / "obj-test" / "generated")
    program = HEADER.read_text().split('"')[1]
    changelog_version = template.format(v=program, short=program[:-1])
    result = subprocess.run(["make", "-s", "-f", "debian/rules", "override_dh_auto_test",
                             f"DEB_VERSION={changelog_version}", "DEB_HOST_GNU_TYPE=test"],
                            cwd=tmp_path, capture_output=True, text=True, env={"PATH": os.environ["PATH"]})
    upstream = changelog_version.split(":")[-1].rsplit("-", 1)[0]
    refusal = f"debian/changelog's version {upstream} is not the program's ({program})"
    # make names the failed target on the line after the refusal.
    first_line = result.stderr.split("\n")[0]
    assert (result.returncode == 0, first_line) == ((True, "") if accepted else (False, refusal)), result.stderr
