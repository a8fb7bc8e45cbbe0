"""halogen's number forms and its whole-box shape, read back as a user's script and haloprof read them."""

import re
import subprocess

import numpy as np
import pytest
from conftest import HALOGEN, generate, run_haloprof

SMALL = ["--halo", "2000", "--box", "0.05", "--seed", "3"]


@pytest.fixture(scope="module")
def exact(tmp_path_factory):
    """The values halogen means to write: %.18e gives 19 significant digits, enough for any double."""
    d = tmp_path_factory.mktemp("forms")
    return d, np.loadtxt(generate(d / "exact.txt", *SMALL, "--format", "%.18e"), skiprows=1)


# Each form, and the text printf (or, for g, the shortest digits of the single-precision
# value) makes of the exact value.
@pytest.mark.parametrize("args, text", [
    (["--format", "%.6f"], lambda v: "%.6f" % v),
    (["--format", "%.7e"], lambda v: "%.7e" % v),
    (["--format", "%.18e"], lambda v: "%.18e" % v),
    (["--format", "%.4g", "--separator", ", "], lambda v: "%.4g" % v),
    (["--digits", "7"], lambda v: "%.7g" % np.float32(v)),
    (["--separator", ","], lambda v: "%.7g" % np.float32(v)),
])
def test_printf_forms(exact, args, text):
    d, values = exact
    path = generate(d / "form.txt", *SMALL, *args)
    separator = args[args.index("--separator") + 1] if "--separator" in args else " "
    expected = "".join(separator.join(text(v) for v in row) + "\n" for row in values)
    assert path.read_text() == "halogen 0.5\n" + expected
    out, _ = run_haloprof(d, "form.txt")
    assert f"Number of particles = {len(values)}" in out


@pytest.mark.parametrize("form, digits", [("E15.7", 7), ("D12.4", 4)])
def test_fortran_fields(exact, form, digits):
    d, values = exact
    width = int(form[1:].split(".")[0])
    lines = generate(d / "fortran.txt", *SMALL, "--format", form).read_text().splitlines()[1:]
    field = re.compile(rf" *-?0\.\d{{{digits}}}{form[0]}[+-]\d\d")
    parsed = []
    for line in lines:
        assert len(line) == 7 * width, line
        fields = [line[k:k + width] for k in range(0, len(line), width)]
        assert all(field.fullmatch(f) for f in fields), line
        parsed.append([float(f.replace("D", "E")) for f in fields])
    # The value rounded to the field's significant digits.
    rounded = np.vectorize(lambda v: float("%.*e" % (digits - 1, v)))(values)
    assert np.array_equal(np.array(parsed), rounded)


def test_whole_box(tmp_path):
    """160^3 particles over the unit cube; haloprof centers on the most massive halo."""
    generate(tmp_path / "box.txt", "--shape", "box", "--halo", "30000", "--seed", "5", "--format", "%.6f")
    out, report = run_haloprof(tmp_path, "box.txt")
    assert "Number of particles = 4096000" in out
    assert report.startswith("Z=   0.500 Center=     0.512    0.487    0.503\n")
    in_shells = sum(int(row[24:32]) for row in report.splitlines()[2:])
    assert 44000 < in_shells < 50000  # the halo and the background at the mean density, no other halo


@pytest.mark.parametrize("args", [
    ["--halo", "99999999999999999999"], ["--halo", "9223372036854775807"], ["--box", "1e9"],
    ["--box", "1e5", "--halo", "10"], ["--concentration", "nan"], ["--redshift", "inf"], ["--rvir", "nan"],
    ["--seed", "-1"], ["--format", "E10.3"],
])
def test_options_out_of_range_write_nothing(tmp_path, args):
    done = subprocess.run([HALOGEN, *args, "-o", str(tmp_path / "s.txt")], capture_output=True, text=True)
    assert (done.returncode, done.stderr.count("\n"), done.stdout) == (2, 1, "")
    assert not (tmp_path / "s.txt").exists()


def test_a_failed_write_leaves_no_snapshot(tmp_path):
    done = subprocess.run(["bash", "-c", f'ulimit -f 64; exec "{HALOGEN}" --halo 100000 -o s.txt'],
                          cwd=tmp_path, capture_output=True, text=True)
    assert (done.returncode, done.stderr) == (1, "halogen: cannot write 's.txt': File too large\n")
    assert not (tmp_path / "s.txt").exists()
