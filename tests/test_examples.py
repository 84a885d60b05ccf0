"""The examples run as a user would run them."""

import subprocess
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def run(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=300)


def test_find_motifs_lands_on_the_planted_shape(tmp_path):
    done = run(str(EXAMPLES / "find_motifs.py"), "--png", str(tmp_path / "m.png"))
    assert done.returncode == 0, done.stdout + done.stderr
    assert "lie on the planted shape" in done.stdout


def test_find_motifs_reads_csv(tmp_path):
    rows = [",".join(str((i * (s + 3)) % 17 - 8.0) for i in range(120)) for s in range(6)]
    (tmp_path / "series.csv").write_text("\n".join(rows) + "\n")
    done = run(str(EXAMPLES / "find_motifs.py"), "--csv", str(tmp_path / "series.csv"), "--png",
               str(tmp_path / "m.png"))
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.startswith("6 series, ")
