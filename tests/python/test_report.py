"""The report reader and the plot command, on reports haloprof itself wrote."""

import math
import subprocess

import pytest
import numpy as np
from conftest import FIT, GOLDEN, PLOT, generate, png_size, run_haloprof
from haloprof_report import (COLUMNS, MEAN_DENSITY, PARTICLE_MASS, SHELL_WIDTH, VOLUME_FACTOR, BlockChoiceError,
                             ReportError, block_names, parse_report, read_report, select_blocks)


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    """A report of four runs: a generated halo, then the lone-particle, NaN and overflow cases."""
    d = tmp_path_factory.mktemp("report")
    generate(d / "halo.txt", "--halo", 3000, "--seed", 4)
    run_haloprof(d, "halo.txt")
    for name in ("neginf", "single", "overflow"):
        (d / f"{name}.txt").write_bytes((GOLDEN / f"{name}.txt").read_bytes())
        run_haloprof(d, f"{name}.txt")
    return d / "HaloProperties.dat"


def field_text(value, first, last, name):
    """How haloprof lays a finite value out in that field."""
    width = last - first
    if name == "np":
        return f"{int(value):{width}d}"
    if name == "mass":
        return f"{value:{width}.4E}"
    decimals = {"r_in": 4, "r_mean": 4, "r_out": 4, "overden": 3, "ovd": 3, "beta": 3}.get(name, 2)
    return f"{value:{width}.{decimals}f}"


def test_values_equal_the_text(report):
    blocks = read_report(report)
    assert len(blocks) == 4
    lines = report.read_text().splitlines()
    for block in blocks:
        assert lines[block.line - 1].startswith("Z=")
        for k, row in enumerate(block.rows):
            text = lines[block.line + 1 + k]
            for name, first, last in COLUMNS:
                value = row[name]
                if math.isfinite(value):
                    assert field_text(value, first, last, name) == text[first:last], (name, text)
                elif math.isnan(value):
                    assert text[first:last].strip() in ("NaN",) or set(text[first:last].strip()) == {"*"}
                else:
                    assert text[first:last].strip() == ("Infinity" if value > 0 else "-Infinity")


def test_the_units_are_haloprofs(report):
    """The constants the tools convert with are those haloprof writes its columns with: shells
    of SHELL_WIDTH, Mass the count within r_out times PARTICLE_MASS, Overden and Ovd(<r_out)
    the counts over MEAN_DENSITY times the volume haloprof takes (4.188 r^3, single precision)."""
    rows = read_report(report)[0].rows
    shell = np.rint(rows["r_in"] / SHELL_WIDTH)
    assert len(rows) > 30 and np.all(np.abs(rows["r_out"] - (shell + 1) * SHELL_WIDTH) <= 5e-5)
    assert np.all(np.abs(rows["r_in"] - shell * SHELL_WIDTH) <= 5e-5)
    inside = np.cumsum(rows["np"])
    assert np.allclose(rows["mass"], inside * PARTICLE_MASS, rtol=5e-5, atol=0)
    volume = VOLUME_FACTOR * ((shell + 1) ** 3 - shell ** 3) * SHELL_WIDTH ** 3
    for column, expected in (("overden", rows["np"] / (volume * MEAN_DENSITY)),
                             ("ovd", inside / (VOLUME_FACTOR * ((shell + 1) * SHELL_WIDTH) ** 3 * MEAN_DENSITY))):
        assert np.all(np.abs(rows[column] - expected) <= 5e-4 + 2e-7 * expected), column


@pytest.mark.parametrize("reports, indices, chosen", [
    ({"r.dat": 3}, None, [0, 1, 2]),
    ({"r.dat": 3}, [2, -1, 0], [2, 2, 0]),
    ({"r.dat": 3}, [3], "r.dat holds blocks 0 to 2; there is no block 3"),
    ({"r.dat": 3}, [0, -4], "r.dat holds blocks 0 to 2; there is no block -4"),
    ({"a/r.dat": 1, "b/r.dat": 2}, [2, -3], [2, 0]),
    ({"a/r.dat": 1, "b/r.dat": 2}, [1, 5], "the 2 reports hold blocks 0 to 2; there is no block 5"),
])
def test_select_blocks(reports, indices, chosen):
    text = (GOLDEN / "single.report").read_text()
    blocks = [block for name, count in reports.items() for block in parse_report(text * count, name)]
    what = next(iter(reports)) if len(reports) == 1 else f"{len(reports)} reports"
    if isinstance(chosen, str):
        with pytest.raises(BlockChoiceError, match=chosen):
            select_blocks(blocks, indices, what)
    else:
        assert [(k, blocks[k]) for k in chosen] == select_blocks(blocks, indices, what)


def test_special_fields(report):
    halo, neginf, single, overflow = read_report(report)
    assert halo.redshift == 0.5 and halo.center == (0.512, 0.487, 0.503)
    assert halo.rows["np"].sum() > 3000
    assert neginf.rows["beta"][0] == -math.inf and neginf.rows["vtangential"][0] == 1.0  # touching fields
    assert neginf.rows["beta"][1] == 1.0
    assert math.isnan(single.rows["beta"][0]) and single.rows["mass"][0] == 21100.0
    assert math.isnan(overflow.redshift) and math.isnan(overflow.center[0])  # asterisks
    assert overflow.center[1:] == (1.0, 2.0)


def test_block_without_rows():
    header = (GOLDEN / "hdronly.report").read_text()
    (block,) = parse_report(header)
    assert block.redshift == 0.5 and len(block.rows) == 0


@pytest.mark.parametrize("reports, names", [
    ({"r.dat": 1}, ["r.dat"]),
    ({"r.dat": 2}, ["block 0", "block 1"]),
    ({"a/HaloProperties.dat": 1, "b/HaloProperties.dat": 2}, ["a", "b block 0", "b block 1"]),
    ({"a.dat": 1, "b/a.dat": 1, "c.dat": 1}, ["a.dat", "b/a.dat", "c.dat"]),
])
def test_block_names(reports, names):
    text = (GOLDEN / "single.report").read_text()
    blocks = [block for name, count in reports.items() for block in parse_report(text * count, name)]
    assert block_names(blocks) == names


@pytest.mark.parametrize("text, message", [
    ("", "x.dat: the report is empty"),
    ("Z=   1.000 Center=     0.500    0.250   -0.125\n", "x.dat:2: expected the column header"),
    ("garbage\n", "x.dat:1: expected a block's first line"),
    ("Z=   1.000 Center=     0.500    0.250   -0.125", "x.dat:1: the last line has no line end"),
    ((GOLDEN / "single.report").read_text() + "  0.0017  0.0025\n", "x.dat:4: expected a row of 100 characters"),
    ((GOLDEN / "single.report").read_text().replace("12.592    12.592", "12.592    xx.xxx"),
     "x.dat:3: expected a number for ovd in columns 43-52"),
    ("Z=   1.000 Center=     0.500    0.2x0   -0.125\n", "x.dat:1: expected a number for y"),
])
def test_malformed_reports(text, message):
    with pytest.raises(ReportError, match=message.replace("(", r"\(").replace(")", r"\)")):
        parse_report(text, "x.dat")


def test_plot_writes_a_png(report, tmp_path):
    out = tmp_path / "p.png"
    done = subprocess.run(PLOT + [str(report), "-o", str(out), "--blocks", "0,1"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert out.stat().st_size > 10000
    assert png_size(out) == (1200, 900)


@pytest.mark.parametrize("content, args, message", [
    ("", [], "the report is empty"),
    ("nonsense\n", [], "expected a block's first line"),
    (None, ["--blocks", "7"], "HaloProperties.dat holds blocks 0 to 3; there is no block 7"),
])
@pytest.mark.parametrize("tool", ["plot", "fit"])
def test_plot_errors(report, tmp_path, content, args, message, tool):
    path = report
    if content is not None:
        path = tmp_path / "bad.dat"
        path.write_text(content)
    command = PLOT + ["-o", str(tmp_path / "x.png")] if tool == "plot" else FIT + ["--plot", str(tmp_path / "x.png")]
    done = subprocess.run(command + [str(path)] + args, capture_output=True, text=True)
    assert (done.returncode, done.stderr.count("\n")) == (2, 1), done.stderr
    assert message in done.stderr and "Traceback" not in done.stderr
    assert not (tmp_path / "x.png").exists()
