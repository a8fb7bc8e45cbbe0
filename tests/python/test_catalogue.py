"""A catalogue of halos: a manifest made by hand as halocut writes it, the halos' reports
made by haloprof from halogen halos in out/halo_ID/, and fit_profile and plot_profile
reading them in the snapshot's units."""

import csv
import json
import math
import subprocess

import pytest
from conftest import FIT, PLOT, generate, png_size, run_haloprof
from haloprof_catalogue import ManifestError, read_manifest

# One haloprof length unit is 1000 kpc/h and one particle 21100 Msun/h (1e-10 of 1e10 Msun/h
# per haloprof mass unit): the mean density is then 8.6 (1e10 Msun/h) / (Mpc/h)^3, the
# cosmic mean for Omega_m = 0.31.
UNITS = {"length": 1000.0, "mass": 1e-10, "length_unit": "kpc/h", "mass_unit": "1e10 Msun/h",
         "velocity_unit": "km/s", "length_in_cm": 3.085678e21, "mass_in_g": 1.989e43,
         "velocity_in_cm_per_s": 1e5, "length_h_exponent": -1, "mass_h_exponent": -1}
# halogen centres its halo at (0.512, 0.487, 0.503): haloprof reports that offset.
OFFSET = (512.0, 487.0, 503.0)
# id: (halogen's arguments or None for no halo file, the manifest's centre)
HALOS = {7: (["-n", 100000, "-c", 5, "-s", 7], [50000.0, 50000.0, 50000.0]),
         3: (["-n", 100000, "-c", 12, "-s", 3], [99900.0, 100.0, 50000.0]),  # wraps in x
         9: (["-n", 50], [10.0, 10.0, 10.0]),       # too few particles to fit
         11: (None, [20.0, 20.0, 20.0]),            # never profiled: no report
         12: (None, [30.0, 30.0, 30.0]),            # a report that is not one
         13: (["-n", 50], [40.0, 40.0, 40.0])}      # profiled twice into one report
REASONS = {9: "out/halo_9/HaloProperties.dat: no fit: ", 11: "no report in a directory named halo_11",
           12: "out/halo_12/HaloProperties.dat:1: expected a block's first line",
           13: "out/halo_13/HaloProperties.dat: 2 blocks, one expected"}
CSV_HEADER = ("id,x [kpc/h],y [kpc/h],z [kpc/h],r_s [kpc/h],r_s_err [kpc/h],c200,c200_err,R200 [kpc/h],"
              "R200_err [kpc/h],M200 [1e10 Msun/h],M200_err [1e10 Msun/h],N200,Vmax [km/s],r_max [kpc/h],chi2/dof")


def manifest(units=UNITS, **changes):
    doc = {"snapshot": "snap_010", "format": "Gadget-2 format 1, little-endian", "redshift": 1.0,
           "scale_factor": 0.5, "box": 100000.0, "hubble": 0.7, "units": dict(units),
           "halos": [{"id": k, "file": f"halo_{k}.txt", "center": center, "radius": 50.0, "particles": 100}
                     for k, (_, center) in HALOS.items()]}
    doc.update(changes)
    return doc


@pytest.fixture(scope="module")
def catalogue(tmp_path_factory):
    d = tmp_path_factory.mktemp("catalogue")
    (d / "cut").mkdir()
    (d / "cut" / "halos.json").write_text(json.dumps(manifest(), indent=1))
    for k, (args, _) in HALOS.items():
        out = d / "out" / f"halo_{k}"
        out.mkdir(parents=True)
        if args is not None:
            generate(d / "cut" / f"halo_{k}.txt", *args)
            for _ in range(1 + (k == 13)):
                run_haloprof(out, f"../../cut/halo_{k}.txt")
    (d / "out" / "halo_12" / "HaloProperties.dat").write_text("not a report\n")
    (d / "out" / "halo_99").mkdir()  # a report of no halo of the manifest
    (d / "out" / "halo_99" / "HaloProperties.dat").write_text((d / "out" / "halo_9" / "HaloProperties.dat").read_text())
    return d


def run(cwd, tool, *args):
    reports = sorted(str(p.relative_to(cwd)) for p in cwd.glob("out/*/HaloProperties.dat"))
    return subprocess.run(tool + list(args) + reports, cwd=cwd, capture_output=True, text=True)


def test_fit_in_the_snapshots_units(catalogue):
    done = run(catalogue, FIT, "--halos", "cut/halos.json", "--json", "--csv", "halos.csv", "--plot-cm", "cm.png")
    assert done.returncode == 1 and "Traceback" not in done.stderr, done.stderr
    rows = [json.loads(line) for line in done.stdout.splitlines()]
    assert [row["id"] for row in rows] == list(HALOS)  # the manifest's order

    # Missing, unreadable and unfit halos: one line each, a row of nulls.
    errors = done.stderr.splitlines()
    assert errors[0] == ("fit_profile: out/halo_99/HaloProperties.dat: its directory names no halo of "
                         "cut/halos.json; left out")
    assert len(errors) == 1 + len(REASONS), done.stderr
    for line, (k, reason) in zip(errors[1:], REASONS.items()):
        assert line.startswith(f"fit_profile: halo {k}: {reason}"), line
    for row in rows[2:]:
        assert set(row.values()) == {row["id"], None}, row

    # Halo 7 against its fit in haloprof's units, converted by hand.
    plain = json.loads(subprocess.run(FIT + ["out/halo_7/HaloProperties.dat", "--json"], cwd=catalogue,
                                      capture_output=True, text=True, check=True).stdout)
    seven, three = rows[0], rows[1]
    expected = {"rs": plain["rs"] * 1000, "rs_err": plain["rs_err"] * 1000, "r200": plain["r200"] * 1000,
                "r200_err": plain["r200_err"] * 1000, "m200": plain["m200"] * 1e-10,
                "m200_err": plain["m200_err"] * 1e-10, "n200": plain["m200"] / 21100,
                "c200": plain["c200"], "chi2_dof": plain["chi2_dof"]}
    for key, value in expected.items():
        assert seven[key] == pytest.approx(value, rel=1e-12), key
    assert seven["center"] == pytest.approx([50512.0, 50487.0, 50503.0], abs=1e-9)
    assert three["center"] == pytest.approx([412.0, 587.0, 50503.0], abs=1e-9)
    # The peak circular speed of an NFW halo of concentration c: Vmax^2 = V200^2 (c / 2.16258)
    # f(2.16258) / f(c) with f(x) = ln(1 + x) - x / (1 + x), at r_max = 2.16258 r_s; physical
    # radii are a = 0.5 times comoving, h cancels.
    for row in (seven, three):
        c = row["c200"]
        v200 = math.sqrt(6.6743e-8 * row["m200"] * 1.989e43 / (0.5 * row["r200"] * 3.085678e21)) / 1e5
        f = lambda x: math.log1p(x) - x / (1 + x)  # noqa: E731
        assert row["vmax"] == pytest.approx(v200 * math.sqrt(c / 2.16258 * f(2.16258) / f(c)), rel=0.03)
        assert row["r_max"] == pytest.approx(2.16258 * row["rs"], rel=0.35)  # where V_c is flat
        assert 20 < row["vmax"] < 40  # a dwarf's halo of 2e9 Msun/h

    with open(catalogue / "halos.csv", newline="") as f:
        table = list(csv.reader(f))
    assert ",".join(table[0]) == CSV_HEADER
    assert [int(line[0]) for line in table[1:]] == list(HALOS)
    assert all(cell == "" for line in table[3:] for cell in line[1:])
    keys = ["x", "y", "z", "rs", "rs_err", "c200", "c200_err", "r200", "r200_err", "m200", "m200_err", "n200",
            "vmax", "r_max", "chi2_dof"]
    assert [float(x) for x in table[1][1:]] == [dict(seven, x=seven["center"][0], y=seven["center"][1],
                                                     z=seven["center"][2])[key] for key in keys]
    assert png_size(catalogue / "cm.png") == (800, 600)

    table = run(catalogue, FIT, "--halos", "cut/halos.json").stdout.splitlines()
    assert table[0].split("  ")[0:2] == ["id", "x [kpc/h]"] and "M200 [1e10 Msun/h]" in table[0]
    assert [line.split()[0] for line in table[1:]] == [str(k) for k in HALOS]


def without(units, *names):
    return {k: (None if k in names else v) for k, v in units.items()}


# Each manifest's factor from sqrt(haloprof mass / length) to km/s, worked by hand:
# sqrt(G 1e-10 1.989e43 / (a 1000 3.085678e21)) / 1e5 with a = 0.5.
SPEED = 9.275983109375623e-05


@pytest.mark.parametrize("changes, factor", [
    ({}, SPEED),
    ({"scale_factor": None}, SPEED / math.sqrt(2)),  # not cosmological: physical = comoving
    ({"units": dict(UNITS, mass_h_exponent=0)}, SPEED * math.sqrt(0.7)),  # Msun, kpc/h: M / r takes h
    ({"units": dict(UNITS, mass_h_exponent=0), "hubble": None}, None),
    ({"units": dict(UNITS, mass_h_exponent=0, length_h_exponent=0), "hubble": None}, SPEED),  # no h
    ({"units": without(UNITS, "length_in_cm")}, None),
    ({"units": without(UNITS, "mass_h_exponent", "length_h_exponent")}, None),
])
def test_speed_factor(tmp_path, changes, factor):
    (tmp_path / "halos.json").write_text(json.dumps(manifest(**changes)))
    got = read_manifest(tmp_path / "halos.json").speed_factor()
    assert got == (None if factor is None else pytest.approx(factor, rel=1e-12))


def test_unnamed_units(catalogue, tmp_path):
    """Without unit names the CSV's headers say the snapshot's units; the profile plot names
    the manifest's units on its axes where it has them."""
    names = ("length_unit", "mass_unit", "velocity_unit", "length_in_cm")
    (catalogue / "cut" / "unnamed.json").write_text(json.dumps(manifest(without(UNITS, *names))))
    done = run(catalogue, FIT, "--halos", "cut/unnamed.json", "--csv", str(tmp_path / "c.csv"))
    assert done.returncode == 1
    header, seven = (tmp_path / "c.csv").read_text().splitlines()[:2]
    assert header.startswith("id,x [snapshot length units],") and "M200 [snapshot mass units]" in header
    assert seven.split(",")[13] == ""  # no Vmax without the cgs length
    # Both plots of the halos drawn: named units on the axes (the SVG keeps each text as a
    # comment), haloprof's where there are no names.
    for manifest_name, output in (("halos.json", "p.svg"), ("unnamed.json", "p.png")):
        done = run(catalogue, PLOT, "--halos", f"cut/{manifest_name}", "-o", str(tmp_path / output))
        assert done.returncode == 1 and done.stderr.count("\n") == 3, done.stderr  # halos 12, 13 and 99
    text = (tmp_path / "p.svg").read_text()
    for label in ("mean shell radius &lt;r&gt; (kpc/h)", "enclosed mass (1e10 Msun/h)", "velocity (km/s)"):
        assert f"<!-- {label} -->" in text, label
    assert [f"<!-- halo {k} -->" in text for k in HALOS] == [True, True, True, False, False, False]
    assert png_size(tmp_path / "p.png") == (1200, 900)


@pytest.mark.parametrize("change, message", [
    (lambda m: "{", "halos.json:1: not JSON: Expecting property name"),
    (lambda m: json.dumps(dict(m, units={"mass": 1.0})), "halos.json: units has no length"),
    (lambda m: json.dumps(dict(m, units=dict(UNITS, length=0))),
     "expected a positive number for units.length, found 0"),
    (lambda m: json.dumps(dict(m, halos=[{"id": 7, "file": "a.txt", "center": [1, 2]}])),
     "expected three numbers for halos[0].center"),
    (lambda m: json.dumps(dict(m, halos=m["halos"][:1] * 2)), "halos[0] and halos[1] have the same id 7"),
    (lambda m: json.dumps(dict(m, halos=[m["halos"][0], dict(m["halos"][1], file="x/halo_7.txt")])),
     "the same file name without its extension \"halo_7\""),
])
def test_manifests_that_cannot_be_read(tmp_path, change, message):
    path = tmp_path / "halos.json"
    path.write_text(change(manifest()))
    with pytest.raises(ManifestError) as caught:
        read_manifest(path)
    assert message in str(caught.value) and str(path) in str(caught.value)


def test_a_manifest_not_read_is_status_2(catalogue):
    for name in ("cut/none.json", "out/halo_12/HaloProperties.dat"):
        for tool in (FIT, PLOT):
            done = run(catalogue, tool, "--halos", name)
            assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
            assert name in done.stderr and "Traceback" not in done.stderr
