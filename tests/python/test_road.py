"""The README's road from a snapshot to a catalogue of halos, run as written on halogen's box
as a Gadget-2 binary and as an HDF5 file: every halo recovered, in the snapshot's units."""

import csv
import json
import math
import re
import shutil

import pytest
from conftest import BOX_HALO, png_size, readme_blocks, run_installed
from scipy.optimize import brentq


def road_commands():
    """profile_one as "Many snapshots" defines it, then the road."""
    recipe = readme_blocks("\n## Many snapshots\n")[0]
    profile_one = recipe[:recipe.index("export -f profile_one\n") + len("export -f profile_one\n")]
    return profile_one + readme_blocks("\n## From a snapshot to a catalogue of halos\n")[0]


def truth(particles, c):
    """R200 and M200 of halogen's halo of `particles` and concentration c, haloprof's units:
    NFW inside rvir (where the halo alone averages 200 times the mean), on the background."""
    rvir = (3 * particles / (4 * math.pi * 200 * 4096000)) ** (1 / 3)
    m = lambda x: math.log1p(x) - x / (1 + x)  # noqa: E731
    r200 = brentq(lambda r: 1 + 200 * (rvir / r) ** 3 * m(c * r / rvir) / m(c) - 200, rvir, 1.1 * rvir)
    return {"R200": r200, "M200": 200 * 4096000 * 21100 * 4 * math.pi / 3 * r200 ** 3, "c200": r200 * c / rvir}


@pytest.mark.parametrize("form", ["gadget2", "hdf5"])
def test_road_recovers_every_halo(prefix, boxes, tmp_path, form):
    (tmp_path / "snapshots").mkdir()
    (tmp_path / "catalogues").mkdir()
    # The README's names: the content, not the name, tells halocut the format.
    shutil.copy(boxes[form], tmp_path / "snapshots" / "snap_010")
    shutil.copy(boxes["ahf"], tmp_path / "catalogues" / "snap_010.AHF_halos")
    done = run_installed(prefix, tmp_path, road_commands())
    assert done.returncode == 0, done.stderr
    assert png_size(tmp_path / "cm.png")[0] > 0 and png_size(tmp_path / "profiles.png")[0] > 0

    manifest = json.loads((tmp_path / "halos" / "halos.json").read_text())
    units = manifest["units"]
    with open(tmp_path / "halos.csv") as f:
        rows = list(csv.DictReader(f))
    assert [int(r["id"]) for r in rows] == [h["id"] for h in manifest["halos"]] == list(range(6))
    column = {re.sub(r" \[.*\]$", "", name): name for name in rows[0]}
    # halogen's halos: the first of BOX_HALO particles and concentration 8, five of N/4 to
    # N/25 at concentration 4, the last across the x = 0 face.
    for row, parts in zip(rows, (1, 4, 6, 10, 16, 25)):
        want = truth(BOX_HALO // parts, 8 if parts == 1 else 4)
        for name, scale in (("R200", units["length"]), ("M200", units["mass"]), ("c200", 1)):
            got, err = float(row[column[name]]), float(row[column[name + "_err"]])
            expected = want[name] * scale
            tolerance = 0.10 if name == "c200" else 0.03
            assert abs(got / expected - 1) < tolerance and abs(got - expected) < 3 * err, (row["id"], name, got,
                                                                                          err, expected)
