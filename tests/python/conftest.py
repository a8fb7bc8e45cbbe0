"""What the Python suites share: where the checkout, the programs and the golden files are,
running haloprof in a directory, generating a halo, the installed programs, reading PNGs."""

import os
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))

# The programs under test: CTest names them; a run by hand takes them from build/.
HALOPROF = str(Path(os.environ.get("HALOPROF_EXE", ROOT / "build" / "haloprof")).resolve())
HALOGEN = str(Path(os.environ.get("HALOGEN_EXE", ROOT / "build" / "halogen")).resolve())
HALOCUT = str(Path(os.environ.get("HALOCUT_EXE", ROOT / "build" / "halocut")).resolve())
BUILD = Path(os.environ.get("HALOPROF_BUILD_DIR", ROOT / "build"))
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")
GOLDEN = ROOT / "tests" / "data" / "golden"
FIT = [sys.executable, str(ROOT / "tools" / "fit_profile")]
PLOT = [sys.executable, str(ROOT / "tools" / "plot_profile")]


def run_haloprof(directory, snapshot):
    """Runs haloprof on `snapshot` in `directory`; (its console, the report as it now is)."""
    done = subprocess.run([HALOPROF], input=f"{snapshot}\n", text=True, cwd=directory, capture_output=True)
    assert done.returncode == 0, done.stderr
    return done.stdout, (Path(directory) / "HaloProperties.dat").read_text()


def generate(path, *args):
    """Writes halogen's snapshot with `args` to `path`."""
    subprocess.run([HALOGEN, *map(str, args), "-o", str(path)], check=True)
    return Path(path)


# halogen's box of 160^3 particles as simulation codes write it: the main halo of BOX_HALO
# particles (concentration 8) and five smaller ones (N/4 to N/25, concentration 4), the last
# across the x = 0 face, at redshift 0.5, with its catalogues.
BOX_HALO = 400_000
BOX_ARGS = ["--shape", "box", "--halo", BOX_HALO, "--seed", 11, "--across-face"]


@pytest.fixture(scope="session")
def boxes(tmp_path_factory):
    """The box as a Gadget-2 binary, an HDF5 file in the Gadget-4 layout and one in SWIFT's,
    and its AHF-style catalogue: {"gadget2": path, "hdf5": path, "swift": path, "ahf": path}."""
    d = tmp_path_factory.mktemp("box")
    made = {}
    for form, name in (("gadget2", "snap_010"), ("hdf5", "snap_010.hdf5"), ("swift", "swift_010.hdf5")):
        extra = ["--catalogue", d / "halos.AHF_halos"] if form == "gadget2" else []
        made[form] = generate(d / name, *BOX_ARGS, "--snapshot-format", form, *extra)
    made["ahf"] = d / "halos.AHF_halos"
    return made


def run_halocut(*args, cwd=None):
    """Runs halocut with `args`; the finished process (its status, standard output and error)."""
    return subprocess.run([HALOCUT, *map(str, args)], cwd=cwd, text=True, capture_output=True)


def png_size(path):
    """(width, height) of a PNG, after checking its signature."""
    data = Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


@pytest.fixture(scope="session")
def prefix(tmp_path_factory):
    """The build installed into a scratch prefix."""
    prefix = tmp_path_factory.mktemp("prefix")
    subprocess.run([CMAKE, "--install", str(BUILD), "--prefix", str(prefix)], check=True,
                   stdout=subprocess.DEVNULL)
    return prefix


def run_installed(prefix, cwd, command, env=None, **kwargs):
    """Runs a bash command in `cwd` with the installed programs first on the PATH and no
    module path from outside."""
    env = dict(os.environ if env is None else env, PATH=f"{prefix / 'bin'}:/usr/bin:/bin")
    env.pop("PYTHONPATH", None)
    return subprocess.run(["bash", "-c", command], cwd=cwd, env=env, text=True, capture_output=True, **kwargs)


def readme_blocks(after):
    """The README's bash blocks that follow the line `after`, up to the next section."""
    text = (ROOT / "README.md").read_text()
    assert after in text, after
    section = text.split(after, 1)[1].split("\n## ")[0]
    return re.findall(r"```bash\n(.*?)```", section, re.S)
