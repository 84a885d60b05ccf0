"""The examples run as a user would run them."""

import math
import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
UCR = EXAMPLES.parent.parent / "shared" / "data" / "ucr"


def run(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=300)


def test_find_motifs_lands_on_the_planted_shape(tmp_path):
    done = run(str(EXAMPLES / "find_motifs.py"), "--png", str(tmp_path / "m.png"))
    assert done.returncode == 0, done.stdout + done.stderr
    assert "lie on the planted shape" in done.stdout
    assert (tmp_path / "m.png").stat().st_size > 10_000


def test_find_motifs_reads_csv(tmp_path):
    rows = [",".join(str((i * (s + 3)) % 17 - 8.0) for i in range(120)) for s in range(6)]
    (tmp_path / "series.csv").write_text("\n".join(rows) + "\n")
    done = run(
        str(EXAMPLES / "find_motifs.py"),
        "--csv",
        str(tmp_path / "series.csv"),
        "--png",
        str(tmp_path / "m.png"),
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.startswith("6 series, ")


@pytest.mark.parametrize(
    "name", ["GunPoint", "PickupGestureWiimoteZ"], ids=["equal-length", "variable-length"]
)
def test_ucr_motifs_on_real_data(tmp_path, name):
    if not (UCR / f"{name}_TRAIN.ts").exists():
        pytest.skip(f"the UCR data are not in {UCR}")
    done = run(str(EXAMPLES / "ucr_motifs.py"), name, "--limit", "30", "--draw", "2", "--out", str(tmp_path))
    assert done.returncode == 0, done.stdout + done.stderr
    table = done.stdout.splitlines()
    assert table[0].startswith(f"{name}_TRAIN.ts: 30 series")
    ranks = [line.split() for line in table if line[:4].strip().isdigit()]
    assert ranks and [float(r[4]) for r in ranks] == sorted(float(r[4]) for r in ranks)
    # Each found shape's members, as counted, divide among the classes as its split says.
    shapes = [line for line in table if line.startswith("  found ")]
    assert 1 <= len(shapes) <= 3 and sum(line.startswith("  letters ") for line in table) == 1
    for line in shapes:
        members = int(line.split()[4].split("/")[0])
        assert members == sum(int(n) for n in re.findall(r": (\d+)", line)), line
    pictures = sorted(tmp_path.glob("*.png"))
    assert [p.name for p in pictures] == [f"{name}_TRAIN_motif{i}.png" for i in (1, 2)][: len(shapes)]
    assert all(p.stat().st_size > 10_000 for p in pictures)


def test_ucr_motifs_reads_a_path_and_names_what_is_missing(tmp_path):
    rows = [
        ",".join(
            f"{math.sin(0.2 * i + s) + (2.0 if 10 + s <= i < 22 + s else 0.0):.4f}" for i in range(60 + s)
        )
        for s in range(12)
    ]
    path = tmp_path / "Waves.ts"
    path.write_text(
        "@problemName Waves\n@univariate true\n@classLabel true x y\n@data\n"
        + "".join(f"{row}:{'xy'[i % 2]}\n" for i, row in enumerate(rows))
    )
    done = run(
        str(EXAMPLES / "ucr_motifs.py"), str(path), "--seglen", "3", "--draw", "1", "--out", str(tmp_path)
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.startswith("Waves.ts: 12 series of 60 to 71 samples, 2 classes")
    assert (tmp_path / "Waves_motif1.png").stat().st_size > 10_000
    (tmp_path / "folder").mkdir()
    (tmp_path / "folder" / "Waves_TRAIN.ts").write_text(path.read_text())
    every = run(str(EXAMPLES / "ucr_motifs.py"), "--all", "--data", str(tmp_path / "folder"), "--draw", "0")
    assert every.returncode == 0 and every.stdout.startswith("Waves_TRAIN.ts: 12 series"), every.stderr
    missing = run(str(EXAMPLES / "ucr_motifs.py"), str(tmp_path / "Nothing"))
    assert missing.returncode == 2 and "give the path of a .ts file" in missing.stderr
