"""fit_profile on halogen halos of known concentration, and on blocks it cannot fit."""

import json
import math
import subprocess

import pytest
from conftest import FIT, GOLDEN, PLOT, generate, run_haloprof
from scipy.optimize import brentq

# A million halo particles put R200 at 0.066, 40 shells out, and the errors of r_s near
# 0.4%: small enough that a fit without the background (off by 1-2%) leaves 3 sigma.
PARTICLES = 1_000_000
SEED = 1
CONCENTRATIONS = (5, 8, 15)
SHELL = 0.1 / 60


def truth(c):
    """halogen's halo: NFW of concentration c inside rvir, where the halo alone averages 200
    times the mean density; with the background the mean reaches 200 just outside rvir."""
    rvir = (3 * PARTICLES / (4 * math.pi * 200 * 4096000)) ** (1 / 3)
    m = lambda x: math.log1p(x) - x / (1 + x)  # noqa: E731
    r200 = brentq(lambda r: 1 + 200 * (rvir / r) ** 3 * m(c * r / rvir) / m(c) - 200, rvir, 1.1 * rvir)
    return {"rs": rvir / c, "c200": r200 * c / rvir, "r200": r200}


@pytest.fixture(scope="module")
def halos(tmp_path_factory):
    """One report, one block per concentration."""
    d = tmp_path_factory.mktemp("fit")
    for c in CONCENTRATIONS:
        generate(d / "halo.txt", "-n", PARTICLES, "-c", c, "-s", SEED)
        run_haloprof(d, "halo.txt")
    (d / "halo.txt").unlink()
    return d / "HaloProperties.dat"


def test_recovers_known_halos(halos):
    done = subprocess.run(FIT + [str(halos), "--json"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    fits = [json.loads(line) for line in done.stdout.splitlines()]
    assert [f["block"] for f in fits] == [0, 1, 2]
    for c, fit in zip(CONCENTRATIONS, fits):
        for name, value in truth(c).items():
            got, err = fit[name], fit[name + "_err"]
            assert abs(got - value) < 3 * err and abs(got / value - 1) < 0.1, (c, name, got, err, value)
        assert 0.5 < fit["chi2_dof"] < 2, fit      # the Poisson errors are the scatter
        assert fit["rs_err"] / fit["rs"] < 0.02, fit
        assert abs(fit["r200_data"] / truth(c)["r200"] - 1) < 0.005, fit
        # r_in at least two shell widths, r_out within R200.
        assert fit["shells_used"] == math.floor(truth(c)["r200"] / SHELL) - 2, fit
        assert abs(fit["beta_inner"]) < 0.03 and abs(fit["beta_outer"]) < 0.03, fit  # isotropic orbits


def test_table_and_plots(halos, tmp_path):
    done = subprocess.run(FIT + [str(halos), "--blocks", "1", "--plot", str(tmp_path / "fit.png")],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("block 1 (line ") and "r_in >= 0.00333" in lines[1]
    assert [line.split()[0] for line in lines[2:]] == ["r_s", "c200", "R200", "M200", "chi2/dof", "beta,", "beta,"]
    done = subprocess.run(PLOT + [str(halos), "--fit", "-o", str(tmp_path / "profile.png")],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    for png in ("fit.png", "profile.png"):
        assert (tmp_path / png).read_bytes()[:4] == b"\x89PNG"


def damaged(block, keep=None):
    """The block with the fields of some fitted rows made unreadable, or only the rows `keep`."""
    lines = block.splitlines()
    rows = lines[2:]
    if keep is not None:
        return "\n".join(lines[:2] + [rows[k] for k in keep]) + "\n"
    for k, first, text in ((10, 32, "**********"), (11, 91, "      NaN"), (12, 91, "-Infinity"),
                           (13, 24, "     NaN")):
        rows[k] = rows[k][:first] + text + rows[k][first + len(text):]
    return "\n".join(lines[:2] + rows) + "\n"


def test_blocks_that_cannot_be_fitted(halos, tmp_path):
    text = halos.read_text()
    halo = text[:text.index("Z=", 1)]
    crossing = next(k for k, row in enumerate(halo.splitlines()[2:]) if float(row[42:52]) < 200)
    # (block, reason by default, reason with --rmax 0.05; None: it is fitted)
    cases = [
        ((GOLDEN / "hdronly.report").read_text(), "the block has no rows", "0 shell(s) left to fit"),
        ((GOLDEN / "single.report").read_text(), "Ovd(<r_out) is below 200 from the first row on",
         "0 shell(s) left"),
        ((GOLDEN / "neginf.report").read_text(), "Ovd(<r_out) is below 200 from the first row on",
         "0 shell(s) left"),
        ((GOLDEN / "overflow.report").read_text(), "Ovd(<r_out) is below 200 from the first row on",
         "0 shell(s) left"),
        (damaged(halo, keep=(0, 1, 2, crossing - 1, crossing)), "2 shell(s) left to fit", "1 shell(s) left"),
        (damaged(halo, keep=range(8)), "Ovd(<r_out) stays above 200", None),  # 6 shells within 0.05
        (damaged(halo), None, None),
    ]
    report = tmp_path / "mixed.dat"
    report.write_text("".join(block for block, _, _ in cases))
    for column, extra in ((1, []), (2, ["--rmax", "0.05"])):
        done = subprocess.run(FIT + [str(report), "--json"] + extra, capture_output=True, text=True)
        assert done.returncode == 1 and "Traceback" not in done.stderr, done.stderr
        errors = done.stderr.splitlines()
        expected = [(k, case[column]) for k, case in enumerate(cases) if case[column] is not None]
        assert len(errors) == len(expected), done.stderr
        for line, (k, reason) in zip(errors, expected):
            assert f"block {k} (line " in line and reason in line, (line, reason)
        fits = [json.loads(line) for line in done.stdout.splitlines()]
        assert [f["rs"] is None for f in fits] == [case[column] is not None for case in cases]
        assert fits[-1]["shells_used"] == (35 if column == 1 else 26)  # two rows left out


def test_several_reports(halos, tmp_path):
    """Blocks counted on through the reports, each named as plot_profile's legend names it."""
    for name, text in (("a", halos.read_text()), ("b", halos.read_text().split("Z=")[2]),
                       ("c", (GOLDEN / "single.report").read_text())):
        (tmp_path / name).mkdir()
        (tmp_path / name / "HaloProperties.dat").write_text(text if text.startswith("Z=") else "Z=" + text)
    reports = [f"{name}/HaloProperties.dat" for name in "abc"]
    alone = [json.loads(line) for line in subprocess.run(FIT + [str(halos), "--json"], capture_output=True,
                                                         text=True, check=True).stdout.splitlines()]
    done = subprocess.run(FIT + reports + ["--json", "--blocks", "1,3,4"], cwd=tmp_path, capture_output=True,
                          text=True)
    assert done.returncode == 1
    assert done.stderr == ("fit_profile: block 4: c (line 1): no fit: no R200 to fit out to: Ovd(<r_out) is below "
                           "200 from the first row on (fit_profile --rmax gives one)\n")
    fits = [json.loads(line) for line in done.stdout.splitlines()]
    assert [(f["block"], f["name"]) for f in fits] == [(1, "a block 1"), (3, "b"), (4, "c")]
    assert fits[0] == dict(alone[1], name="a block 1") and fits[1] == dict(alone[1], block=3, name="b")
    table = subprocess.run(FIT + reports + ["--blocks", "3"], cwd=tmp_path, capture_output=True, text=True)
    assert table.stdout.startswith("block 3: b (line 1): z = 0.500, center = (")
