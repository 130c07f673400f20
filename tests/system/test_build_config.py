# SPDX-License-Identifier: GPL-3.0-or-later
"""Build configuration: the boards' unlock codes are checked when the build is
configured, so a code no board can accept never reaches a binary."""

import subprocess

from conftest import SOURCE_DIR

FORMAT = "must be exactly four upper-case ASCII letters"
SAME = "VELMORAN_UNLOCK_CODE and VELMORAN_ALT_UNLOCK_CODE must differ"

# unlock code, alternate code, complaint
REFUSED = [
    ("bpfw", "BPUP", f"VELMORAN_UNLOCK_CODE {FORMAT}, not 'bpfw'"),
    ("BPF", "BPUP", f"VELMORAN_UNLOCK_CODE {FORMAT}, not 'BPF'"),
    ("BPFWX", "BPUP", f"VELMORAN_UNLOCK_CODE {FORMAT}, not 'BPFWX'"),
    ("BPFW", "BP1P", f"VELMORAN_ALT_UNLOCK_CODE {FORMAT}, not 'BP1P'"),
    ("BPFW", "BPÜP", f"VELMORAN_ALT_UNLOCK_CODE {FORMAT}, not 'BPÜP'"),
    ("BPFW", "", f"VELMORAN_ALT_UNLOCK_CODE {FORMAT}, not ''"),
    ("BPFW", "BPFW", SAME),
]


def test_bad_unlock_codes_stop_the_configuration(tmp_path):
    for code, alternate, complaint in REFUSED:
        # One build folder for all cases: the compiler checks run once.
        run = subprocess.run(["cmake", "-S", str(SOURCE_DIR), "-B", str(tmp_path / "build"),
                              f"-DVELMORAN_UNLOCK_CODE={code}", f"-DVELMORAN_ALT_UNLOCK_CODE={alternate}"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert run.returncode != 0, (code, alternate)
        assert complaint in " ".join(run.stderr.split()), (code, alternate, run.stderr)
        assert not (tmp_path / "build" / "generated" / "unlock_codes.h").exists(), (code, alternate)
