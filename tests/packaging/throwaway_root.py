# SPDX-License-Identifier: GPL-3.0-or-later
"""A throwaway copy of this whole system to install packages into: / as the
lower layer of an overlay whose changes live in memory, inside a private
mount namespace held by one sleeping process, with /dev, /proc and one shared
folder of the host mounted in. Commands run there through nsenter and chroot
with a clean environment; when the holder ends, everything installed goes
with it and the host has not changed."""

import pathlib
import stat
import subprocess
import sys
import tempfile

# A command's outcome reads the same as in the system tests.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "system"))
from conftest import Result  # noqa: E402

HOLD = r"""
set -e
mount -t tmpfs -o mode=0755 velmoran-root "$1"
mkdir "$1/upper" "$1/work" "$1/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$1/upper,workdir=$1/work" "$1/root"
mount --rbind /dev "$1/root/dev"
mount -t proc proc "$1/root/proc"
mount --bind "$2" "$1/root$2"
echo ready
exec sleep infinity
"""

BASE_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"


def is_whiteout(path):
    """overlayfs marks a lower layer's path as removed with a 0/0 character device."""
    status = path.lstat()
    return stat.S_ISCHR(status.st_mode) and status.st_rdev == 0


class ThrowawayRoot:
    def __init__(self, shared):
        self.shared = pathlib.Path(shared).resolve()
        self.base = pathlib.Path(tempfile.mkdtemp(prefix="velmoran-root."))
        self.holder = subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "--",
             "sh", "-c", HOLD, "sh", str(self.base), str(self.shared)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = self.holder.stdout.readline()
        if line != b"ready\n":
            self.holder.wait(timeout=10)
            error = self.holder.stderr.read().decode()
            self.base.rmdir()
            raise RuntimeError(f"no throwaway root: {error}")
        # man-db's trigger would rebuild its index of every page on the
        # system after each install; nothing here reads it.
        self.run(["rm", "-f", "/var/lib/man-db/auto-update"])

    def run(self, argv, cwd="/", env=None, stdin=b"", timeout=120):
        """Runs argv inside the root with only PATH and `env` set."""
        variables = [f"PATH={BASE_PATH}"] + [f"{key}={value}" for key, value in (env or {}).items()]
        command = ["nsenter", f"--target={self.holder.pid}", "--mount", "--",
                   "chroot", str(self.base / "root"),
                   "env", "-i", f"--chdir={cwd}", *variables, *[str(word) for word in argv]]
        return Result(subprocess.run(command, input=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, timeout=timeout, env={"PATH": BASE_PATH}))

    def check(self, argv, **options):
        """Runs argv inside the root and insists that it succeeds."""
        result = self.run(argv, **options)
        assert result.rc == 0, f"{' '.join(map(str, argv))}: {result}"
        return result

    def path(self, inside):
        """The host's way to a path inside the root, through the holder."""
        return pathlib.Path(f"/proc/{self.holder.pid}/root") / str(self.base / "root").lstrip("/") \
            / str(inside).lstrip("/")

    def changed_paths(self, word):
        """Every path this root added or changed since it was made whose
        name holds `word` (its overlay's upper layer, seen through the holder).
        A path taken away that the host has is a whiteout there, not a change."""
        upper = pathlib.Path(f"/proc/{self.holder.pid}/root") / str(self.base / "upper").lstrip("/")
        return sorted("/" + str(path.relative_to(upper)) for path in upper.rglob("*")
                      if word in path.name and not is_whiteout(path))

    def close(self):
        if self.holder.poll() is None:
            self.holder.terminate()
            self.holder.wait(timeout=10)
        self.holder.stdout.close()
        self.holder.stderr.close()
        self.base.rmdir()
