"""halocut on halogen's box in every form simulation codes write it, and on snapshots and
catalogues it must refuse."""

import json
import math
import struct

import numpy as np
import pytest
from conftest import BOX_ARGS, generate, run_halocut


def halo_files(directory):
    return sorted(p.name for p in directory.glob("halo_*.txt"))


def read_halo(path):
    """(header, values): a halo file's first line and its particles, one row each."""
    lines = path.read_text().splitlines()
    return lines[0], np.array([[float(v) for v in line.split()] for line in lines[1:]])


@pytest.fixture(scope="module")
def cuts(boxes, tmp_path_factory):
    """Each form of the box cut at the AHF catalogue's centres: {form: directory}."""
    made = {}
    for form in ("gadget2", "hdf5", "swift"):
        out = tmp_path_factory.mktemp(form)
        done = run_halocut(boxes[form], "-o", out, "--centers", boxes["ahf"])
        assert done.returncode == 0 and done.stderr == "", done.stderr
        assert len(done.stdout.splitlines()) == 6, done.stdout
        made[form] = out
    return made


def test_every_form_gives_the_same_cut(cuts):
    names = halo_files(cuts["gadget2"])
    assert names == [f"halo_{k}.txt" for k in range(6)]
    for name in names:
        gadget = (cuts["gadget2"] / name).read_bytes()
        assert (cuts["hdf5"] / name).read_bytes() == gadget, name  # both store u = v / sqrt(a)
        # SWIFT stores peculiar velocities: the same, but for their last rounding.
        (_, a), (_, b) = read_halo(cuts["gadget2"] / name), read_halo(cuts["swift"] / name)
        assert np.array_equal(a[:, [0, 1, 2, 6]], b[:, [0, 1, 2, 6]]), name
        assert np.allclose(a[:, 3:6], b[:, 3:6], rtol=1e-6, atol=1e-3), name


def test_manifest_and_the_halo_across_the_face(boxes, cuts):
    manifest = json.loads((cuts["hdf5"] / "halos.json").read_text())
    assert manifest["units"]["length_unit"] == "kpc/h" and manifest["units"]["mass_unit"] == "1e10 Msun/h"
    assert manifest["box"] == 100000 and manifest["scale_factor"] == pytest.approx(2 / 3)
    assert math.isclose(manifest["units"]["length"], 1e5)  # the unit cube as 100 Mpc/h
    catalogue = np.loadtxt(boxes["ahf"], comments="#")
    for halo, row in zip(manifest["halos"], catalogue):
        assert halo["id"] == int(row[0]) and halo["center"] == pytest.approx(list(row[5:8]))
        _, p = read_halo(cuts["hdf5"] / halo["file"])
        r = np.sqrt((p[:, :3] ** 2).sum(axis=1))
        assert halo["particles"] == len(p) and r.max() <= 0.15
        # Whole about its centre, across the face too: as many particles on either side.
        core = p[r < 0.3 * row[11] / manifest["units"]["length"]]
        assert abs(np.mean(core[:, 0] > 0) - 0.5) < 0.05, halo["id"]
        # The halo's bulk velocity, peculiar: u sqrt(a), not the stored u.
        assert np.allclose(core[:, 3:6].mean(axis=0), row[8:11], atol=8), (halo["id"], core[:, 3:6].mean(axis=0))


def test_densities_are_the_whole_box_ones(boxes, tmp_path):
    """--peaks estimates every particle's density in the whole box; a cut at the same
    centres, from its sources within its kernels' reach, must give the same files."""
    done = run_halocut(boxes["gadget2"], "-o", tmp_path / "peaks", "--peaks", 6)
    assert done.returncode == 0, done.stderr
    manifest = json.loads((tmp_path / "peaks" / "halos.json").read_text())
    (tmp_path / "peaks.txt").write_text("".join("%r %r %r\n" % tuple(h["center"]) for h in manifest["halos"]))
    done = run_halocut(boxes["gadget2"], "-o", tmp_path / "cut", "--centers", tmp_path / "peaks.txt")
    assert done.returncode == 0, done.stderr
    for name in halo_files(tmp_path / "peaks"):
        assert (tmp_path / "cut" / name).read_bytes() == (tmp_path / "peaks" / name).read_bytes(), name


def test_text_gives_the_binary_cut(tmp_path):
    """The same particles as haloprof's text and as a Gadget-2 file in the unit cube, at
    redshift 0 (u = v): the same halo files, densities estimated afresh for both."""
    args = [*BOX_ARGS, "-z", 0]
    generate(tmp_path / "box.txt", *args, "--digits", 9)
    generate(tmp_path / "box.g1", *args, "--snapshot-format", "gadget1", "--box-size", 1, "--catalogue",
             tmp_path / "halos", "--catalogue-format", "plain")
    for snapshot, extra in (("box.txt", ["--density", "knn"]), ("box.g1", [])):
        done = run_halocut(tmp_path / snapshot, "-o", tmp_path / snapshot.replace(".", "_"), "--centers",
                           tmp_path / "halos", *extra)
        assert done.returncode == 0, done.stderr
    for name in halo_files(tmp_path / "box_g1"):
        assert (tmp_path / "box_txt" / name).read_bytes() == (tmp_path / "box_g1" / name).read_bytes(), name


# A small Gadget-2 snapshot (format 1, little-endian) to damage: n particles of type 1 in a
# box of side 1000 at random positions, zero velocities, unit masses from the table.
def gadget(path, n=8000, box=1000.0, positions=None, masses=None):
    rng = np.random.default_rng(5)
    pos = rng.uniform(0, box, (n, 3)).astype(np.float32) if positions is None else positions
    npart = [0, len(pos), 0, 0, 0, 0]
    table = [0, 0 if masses is not None else 1.0, 0, 0, 0, 0]
    head = struct.pack("<6i6d2d2i6I2i4d", *npart, *table, 1.0, 0.0, 0, 0, *npart, 0, 1, box, 0.3, 0.7, 0.7)
    records = [head.ljust(256, b"\0"), pos.tobytes(), np.zeros_like(pos).tobytes(),
               np.arange(len(pos), dtype=np.uint32).tobytes()]
    if masses is not None:
        records.append(np.asarray(masses, dtype=np.float32).tobytes())
    path.write_bytes(b"".join(struct.pack("<i", len(r)) + r + struct.pack("<i", len(r)) for r in records))
    return path


def damaged(tmp_path, **kwargs):
    return gadget(tmp_path / "snap", **kwargs)


def nan_position(tmp_path):
    p = np.random.default_rng(5).uniform(0, 1000, (8000, 3)).astype(np.float32)
    p[77, 1] = np.nan
    return damaged(tmp_path, positions=p)


def far_position(tmp_path):
    p = np.random.default_rng(5).uniform(0, 1000, (8000, 3)).astype(np.float32)
    p[5, 0] = 1200
    return damaged(tmp_path, positions=p)


def edge_positions(tmp_path):
    p = np.random.default_rng(5).uniform(0, 1000, (8000, 3)).astype(np.float32)
    p[3] = (1000, np.float32(-1e-4), 500)  # on the far face, a rounding step below 0: wrapped
    return damaged(tmp_path, positions=p)


def short_file(tmp_path):
    path = damaged(tmp_path)
    path.write_bytes(path.read_bytes()[:200000])
    return path


def unknown_format(tmp_path):
    path = tmp_path / "snap"
    path.write_bytes(bytes(range(7, 250)) * 40)
    return path


def unequal_masses(tmp_path):
    return damaged(tmp_path, masses=np.where(np.arange(8000) % 2, 1.0, 2.0))


def no_box(tmp_path):
    return damaged(tmp_path, box=0.0)


def void_around_the_centre(tmp_path):
    """40 particles within 150 of the box's centre, none from there out to 370, 8000 beyond:
    the edge particles' nearest neighbours lie past the first margin (about 360), which
    must grow."""
    rng = np.random.default_rng(9)
    inside = rng.uniform(-1, 1, (400, 3))
    inside = 500 + 150 * inside[np.linalg.norm(inside, axis=1) < 1][:40]
    outside = rng.uniform(0, 1000, (40000, 3))
    outside = outside[np.linalg.norm(outside - 500, axis=1) > 370][:8000]
    return damaged(tmp_path, positions=np.vstack([inside, outside]).astype(np.float32))


CENTRE = "500 500 500\n"
# A Rockstar list, its positions in Mpc/h: against a snapshot in kpc/h that declares no unit.
ROCKSTAR = ("#ID DescID Mvir Vmax Vrms Rvir Rs Np X Y Z VX VY VZ\n#Units: Positions in Mpc / h (comoving)\n"
            "0 -1 1e12 100 100 200 20 1000 0.5 0.5 0.5 0 0 0\n")
# (what, the snapshot, the catalogue's text, more options, status, text in the one line)
BAD = [
    ("a NaN position", nan_position, CENTRE, [], 4, "type 1, particle 77: position (" ),
    ("a position well outside the box", far_position, CENTRE, [], 4, "outside the box [0, 1000)"),
    ("positions on the box's edges", edge_positions, CENTRE, [], 0, ""),
    ("a file shorter than its blocks", short_file, CENTRE, [], 4, "runs past the end of the file (200000 bytes)"),
    ("an unknown format", unknown_format, CENTRE, [], 4, "neither a Gadget-2 binary nor HDF5"),
    ("unequal masses", unequal_masses, CENTRE, [], 4, "unequal masses, from 1 to 2"),
    ("no box and no mean density", no_box, CENTRE, [], 4, "no box (BoxSize 0): give --mean-density"),
    ("a centre outside the box", damaged, "500 500 1500\n", [], 4, "halo 0 (row 0): centre (500, 500, 1500)"),
    ("a catalogue line of two columns", damaged, "500 500\n", [], 4, "halos:1"),
    ("a radius over half the box", damaged, CENTRE, ["--radius", "0.2"], 4, "more than half the box's side (500)"),
    ("a cut of fewer than k particles", damaged, CENTRE, ["--radius", "0.005"], 4,
     "halo_0: 2 particles within 40 of its centre (500, 500, 500), fewer than the density's 32"),
    ("an output below a file", damaged, CENTRE, ["-o", "snap/out"], 6, "cannot make directory"),
    ("a catalogue in Mpc/h, a snapshot of no unit", damaged, ROCKSTAR, [], 4, "declares no length unit: give"),
    ("densities to keep from a binary", damaged, CENTRE, ["--density", "keep"], 4, "carries no densities to keep"),
    ("a type with no particles", damaged, CENTRE, ["--type", "0"], 4, "no particles of type 0 (the snapshot's types: 1)"),
    ("the same with the snapshot's unit named", damaged, ROCKSTAR, ["--length-unit", "kpc/h"], 0, ""),
    ("the same with the factor given", damaged, ROCKSTAR, ["--centers-unit", "1000"], 0, ""),
]


@pytest.mark.parametrize("what, snapshot, catalogue, extra, status, message", BAD, ids=[b[0] for b in BAD])
def test_bad_input_is_one_line_and_leaves_no_file(tmp_path, what, snapshot, catalogue, extra, status, message):
    snapshot(tmp_path)
    (tmp_path / "halos").write_text(catalogue)
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "earlier").write_text("kept\n")
    done = run_halocut("snap", "-o", "out", "--centers", "halos", "--radius", "0.05", *extra, cwd=tmp_path)
    assert done.returncode == status, done.stderr
    if status == 0:
        assert halo_files(tmp_path / "out") == ["halo_0.txt"]
        return
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("halocut: ") and message in done.stderr, \
        done.stderr
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["earlier"]


def test_a_full_disk_leaves_no_file(tmp_path):
    damaged(tmp_path)
    (tmp_path / "halos").write_text(CENTRE)
    done = run_halocut_limited(tmp_path, 4096)
    assert done.returncode == 6 and "File too large" in done.stderr, done.stderr
    assert not any((tmp_path / "out").iterdir())


def run_halocut_limited(cwd, file_size):
    import subprocess
    from conftest import HALOCUT
    return subprocess.run(["bash", "-c", f'ulimit -f {file_size // 512}; exec "{HALOCUT}" snap -o out '
                                         f'--centers halos --radius 0.05'], cwd=cwd, text=True, capture_output=True)


def directory_in_the_way(path):
    path.mkdir()


def immutable_file(path):
    import subprocess
    path.write_text("kept\n")
    if subprocess.run(["chattr", "+i", str(path)], capture_output=True).returncode != 0:
        pytest.skip("chattr +i is not allowed here")


# (what, what stands where the manifest goes): the halo files are renamed into place first,
# the manifest last, so that its failure must put theirs back.
IN_THE_WAY = [("halos.json a directory", directory_in_the_way), ("halos.json immutable", immutable_file)]


@pytest.mark.parametrize("what, obstacle", IN_THE_WAY, ids=[w[0] for w in IN_THE_WAY])
def test_a_name_in_the_way_leaves_the_directory_as_it_was(tmp_path, what, obstacle):
    import subprocess
    damaged(tmp_path)
    (tmp_path / "halos").write_text(CENTRE + "300 300 300\n")
    out = tmp_path / "out"
    out.mkdir()
    (out / "halo_0.txt").write_text("kept\n")
    obstacle(out / "halos.json")
    try:
        done = run_halocut("snap", "-o", "out", "--centers", "halos", "--radius", "0.05", cwd=tmp_path)
    finally:
        subprocess.run(["chattr", "-i", str(out / "halos.json")], capture_output=True)
    assert done.returncode == 6 and done.stderr.count("\n") == 1, done.stderr
    assert "cannot write 'out/halos.json'" in done.stderr, done.stderr
    assert sorted(p.name for p in out.iterdir()) == ["halo_0.txt", "halos.json"]
    assert (out / "halo_0.txt").read_text() == "kept\n"


def test_kernels_beyond_the_first_margin_are_read_again(tmp_path):
    """Where a halo sits in a void, its kernels reach beyond the sources first read: the cut
    reads again, farther out, and its densities are the whole snapshot's (a plain sum here)."""
    void_around_the_centre(tmp_path)
    (tmp_path / "halos").write_text(CENTRE)
    done = run_halocut("snap", "-o", "out", "--centers", "halos", "--radius", "0.02", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    manifest = json.loads((tmp_path / "out" / "halos.json").read_text())
    _, rows = read_halo(tmp_path / "out" / "halo_0.txt")
    assert len(rows) == 40
    raw = np.fromfile(tmp_path / "snap", dtype=np.uint8)
    pos = np.frombuffer(raw[4 + 256 + 8:4 + 256 + 8 + 8040 * 12].tobytes(), np.float32).reshape(-1, 3).astype(float)
    targets = pos[np.linalg.norm(pos - 500, axis=1) <= 0.02 * manifest["units"]["length"]]
    d = targets[:, None, :] - pos[None, :, :]
    d = np.linalg.norm(d - 1000 * np.round(d / 1000), axis=2)
    d.sort(axis=1)
    h = d[:, 31] / 2
    q = d[:, :32] / h[:, None]
    w = np.where(q < 1, 1 - 1.5 * q ** 2 + 0.75 * q ** 3, np.where(q < 2, 0.25 * (2 - q) ** 3, 0))
    rho = w.sum(axis=1) / (np.pi * h ** 3) / manifest["mean_density"]
    assert np.allclose(np.sort(rows[:, 6]), np.sort(rho), rtol=1e-6)


COMMAND_LINES = [  # (arguments, status, text in the one line)
    ([], 2, "expected a snapshot"), (["a", "b", "-o", "x", "--peaks", "1"], 2, "one snapshot, found 2"),
    (["snap", "--peaks", "1"], 2, "expected -o DIR"), (["snap", "-o", "x"], 2, "either --centers"),
    (["snap", "-o", "x", "--peaks", "1", "--centers", "halos"], 2, "either --centers"),
    (["snap", "-o", "x", "--peaks", "0"], 2, "--peaks: expected a whole number of at least 1, found '0'"),
    (["snap", "-o", "x", "--peaks", "1", "--radius", "-1"], 2, "--radius: expected a positive number"),
    (["snap", "-o", "x", "--peaks", "1", "--neighbours", "1"], 2, "--neighbours: expected a whole number of at least 2"),
    (["snap", "-o", "x", "--peaks", "1", "--type", "1,9"], 2, "--type: particle types run from 0 to 6, found 9"),
    (["snap", "-o", "x", "--peaks", "1", "--density", "sph"], 2, "--density: expected knn or keep, found 'sph'"),
    (["snap", "-o", "x", "--peaks", "1", "--frobnicate"], 2, "unknown option '--frobnicate'"),
    (["snap", "-o", "x", "--peaks"], 2, "--peaks: expected a value"),
]


@pytest.mark.parametrize("args, status, message", COMMAND_LINES, ids=[" ".join(c[0]) or "nothing" for c in COMMAND_LINES])
def test_a_wrong_command_line_is_status_2(tmp_path, args, status, message):
    done = run_halocut(*args, cwd=tmp_path)
    assert (done.returncode, done.stdout) == (status, "") and done.stderr.count("\n") == 1, done.stderr
    assert done.stderr.startswith("halocut: ") and message in done.stderr, done.stderr
    assert not (tmp_path / "x").exists()
    help_done = run_halocut("--help")
    assert help_done.returncode == 0 and help_done.stdout.startswith("usage: halocut SNAPSHOT")


def test_a_second_cut_replaces_the_first(tmp_path):
    """Cut into a directory that holds an earlier cut's files: its halo files are the new
    cut's alone (the road profiles halos/halo_*.txt), files of other names are kept."""
    damaged(tmp_path)
    for catalogue in (CENTRE + "300 300 300\n700 700 700\n", CENTRE):
        (tmp_path / "halos").write_text(catalogue)
        done = run_halocut("snap", "-o", "out", "--centers", "halos", "--radius", "0.05", cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        (tmp_path / "out" / "halo_notes.txt").write_text("mine\n")
    assert halo_files(tmp_path / "out") == ["halo_0.txt", "halo_notes.txt"]
    assert [h["file"] for h in json.loads((tmp_path / "out" / "halos.json").read_text())["halos"]] == ["halo_0.txt"]


def sanitized():
    from conftest import BUILD
    cache = BUILD / "CMakeCache.txt"
    return cache.exists() and any(line in ("HALOPROF_SANITIZE:BOOL=ON", "HALOPROF_TSAN:BOOL=ON")
                                  for line in cache.read_text().splitlines())


def test_every_memory_limit_ends_in_a_cut_or_status_5(tmp_path):
    """From the least address space the program starts in, up through the halos' searches and
    files on every core: a want of memory anywhere, on any thread, is status 5 and one line."""
    import ctypes
    import resource
    import subprocess
    from conftest import HALOCUT
    if sanitized():
        pytest.skip("the sanitizers' shadow memory needs no limit")
    damaged(tmp_path)
    (tmp_path / "halos").write_text("".join(f"{x} {y} {z}\n" for x in (250, 750) for y in (250, 750)
                                            for z in (250, 750)))

    def run(kib, *args):
        def limit():  # the same addresses in every run, so that a limit means the same each time
            ctypes.CDLL(None).personality(0x0040000)  # ADDR_NO_RANDOMIZE
            resource.setrlimit(resource.RLIMIT_AS, (kib << 10, kib << 10))
        return subprocess.run([HALOCUT, *args], cwd=tmp_path, capture_output=True, text=True, preexec_fn=limit)

    low, high = 1024, 1 << 20  # the least limit that starts the program: [low, high)
    while high - low > 16:
        mid = (low + high) // 2
        low, high = (low, mid) if run(mid, "--help").returncode == 0 else (mid, high)
    for kib in range(high, high + 4096, 64):
        done = run(kib, "snap", "-o", f"out{kib}", "--centers", "halos", "--radius", "0.05")
        assert done.returncode in (0, 5), (kib, done.returncode, done.stderr)
        assert done.stderr == "" if done.returncode == 0 else (done.stderr.count("\n") == 1 and
                                                              done.stderr.startswith("halocut: ")), (kib, done.stderr)


def stdout_closed():
    import os
    return {"stdout": None, "preexec_fn": lambda: os.close(1)}


def stdout_full():
    return {"stdout": open("/dev/full", "w")}


def stdout_unread():
    import os
    read, write = os.pipe()
    os.close(read)
    return {"stdout": write}


# (what, how standard output is handed over, the reason in the line)
LOST_OUTPUT = [("closed", stdout_closed, "Bad file descriptor"), ("a full device", stdout_full, "No space left"),
               ("a pipe nobody reads", stdout_unread, "Broken pipe")]


@pytest.mark.parametrize("what, handed, reason", LOST_OUTPUT, ids=[c[0] for c in LOST_OUTPUT])
def test_a_lost_standard_output_is_status_9_with_every_file_written(tmp_path, what, handed, reason):
    import subprocess
    from conftest import HALOCUT
    damaged(tmp_path)
    (tmp_path / "halos").write_text(CENTRE)
    done = subprocess.run([HALOCUT, "snap", "-o", "out", "--centers", "halos", "--radius", "0.05"], cwd=tmp_path,
                          stderr=subprocess.PIPE, text=True, **handed())
    assert done.returncode == 9, done.stderr
    assert done.stderr.count("\n") == 1 and f"cannot write to standard output: {reason}" in done.stderr, done.stderr
    assert halo_files(tmp_path / "out") == ["halo_0.txt"] and (tmp_path / "out" / "halos.json").exists()


# (what, the snapshot's box, more options): a separation far below any cell of the peaks' grid.
PEAKS = [("in a box", 1000.0, []), ("without a box", 0.0, ["--mean-density", "8e-6"])]


@pytest.mark.parametrize("what, box, extra", PEAKS, ids=[p[0] for p in PEAKS])
def test_peaks_with_the_least_separation(tmp_path, what, box, extra):
    positions = np.random.default_rng(5).uniform(0, 1000, (8000, 3)).astype(np.float32)
    gadget(tmp_path / "snap", box=box, positions=positions)
    done = run_halocut("snap", "-o", "out", "--peaks", 2, "--separation", "1e-20", "--radius", "0.05", *extra,
                       cwd=tmp_path)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert len(halo_files(tmp_path / "out")) == 2


# (what, a unit's bytes as given, as halos.json must hold it): JSON is UTF-8, whatever the
# names a user's system has.
UNIT_NAMES = [("UTF-8 kept", "µm".encode(), "µm"), ("Latin-1", b"\xb5m", "\ufffdm"),
              ("a lone continuation byte", b"k\x80pc", "k\ufffdpc"),
              ("an overlong slash", b"kpc\xc0\xaf", "kpc\ufffd\ufffd"),
              ("a surrogate", b"\xed\xa0\x80", "\ufffd" * 3), ("cut short", b"kpc\xe2\x82", "kpc\ufffd\ufffd")]


@pytest.mark.parametrize("what, given, held", UNIT_NAMES, ids=[u[0] for u in UNIT_NAMES])
def test_the_manifest_is_utf8_whatever_the_names(tmp_path, what, given, held):
    import subprocess
    from conftest import HALOCUT
    damaged(tmp_path)
    (tmp_path / "halos").write_text(CENTRE)
    done = subprocess.run([HALOCUT, "snap", "-o", "out", "--centers", "halos", "--radius", "0.05", "--length-unit",
                           given], cwd=tmp_path, capture_output=True)
    assert done.returncode == 0, done.stderr
    manifest = json.loads((tmp_path / "out" / "halos.json").read_bytes().decode("utf-8"))
    assert manifest["units"]["length_unit"] == held
