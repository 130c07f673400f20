#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Every source file, script and build file of the tree starts with its
licence: an SPDX-License-Identifier line within its first two lines (after a
shebang or an XML declaration). With --add, the missing lines are written in
each file's own comment style.
Usage: scripts/check-licence.py [--add]"""

import os
import pathlib
import subprocess
import sys

LICENCE = "GPL-3.0-or-later"
TAG = "SPDX-License-Identifier:"
ROOT = pathlib.Path(__file__).resolve().parent.parent

# Comment style by file name ending, in the order tried.
STYLES = [
    (".cpp", "// {}"), (".h", "// {}"), (".h.in", "// {}"), (".c", "/* {} */"),
    (".py", "# {}"), (".sh", "# {}"), (".cmake", "# {}"), ("CMakeLists.txt", "# {}"),
    (".xsd", "<!-- {} -->"),
]
# Files without a telling ending that are scripts or build files all the same.
NAMED = {
    "debian/rules": "# {}",
    "debian/velmoran-freeipmi.postinst": "# {}",
    "debian/velmoran-freeipmi.prerm": "# {}",
}
FOLDER_STYLES = [("docs/man/", '.\\" {}'), ("docs/completion/", "# {}")]


def tracked_files():
    try:
        listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                                cwd=ROOT, check=True, capture_output=True).stdout
        names = [name for name in listed.decode().split("\0") if name]
    except (OSError, subprocess.CalledProcessError):
        names = [str(path.relative_to(ROOT)) for path in ROOT.rglob("*")
                 if path.is_file() and not any(part.startswith((".git", "build")) for part in path.parts)]
    return sorted(name for name in names if (ROOT / name).is_file())


def style_of(name):
    if name in NAMED:
        return NAMED[name]
    for folder, style in FOLDER_STYLES:
        if name.startswith(folder):
            return style
    for ending, style in STYLES:
        if name.endswith(ending):
            return style
    path = ROOT / name
    with open(path, "rb") as file:
        if file.read(2) == b"#!":
            return "# {}"
    return None


def has_licence(lines):
    return any(TAG in line for line in lines[:2])


def add_licence(path, style):
    text = path.read_text()
    line = style.format(f"{TAG} {LICENCE}") + "\n"
    first, newline, rest = text.partition("\n")
    if first.startswith("#!") or first.startswith("<?xml"):
        text = first + newline + line + rest
    else:
        text = line + text
    mode = path.stat().st_mode
    path.write_text(text)
    os.chmod(path, mode)


def main():
    add = "--add" in sys.argv[1:]
    missing = []
    checked = 0
    for name in tracked_files():
        style = style_of(name)
        if style is None:
            continue
        checked += 1
        path = ROOT / name
        lines = path.read_text(errors="replace").splitlines()
        if has_licence(lines):
            if f"{TAG} {LICENCE}" not in "\n".join(lines[:2]):
                missing.append(f"{name}: a licence other than {LICENCE}")
            continue
        if add:
            add_licence(path, style)
        else:
            missing.append(f"{name}: no {TAG} line at the top")
    print(f"=== licence: {checked} source, script and build files carry {TAG} {LICENCE}"
          if not missing else "=== licence: files without their licence line:")
    for problem in missing:
        print("    " + problem, file=sys.stderr)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
