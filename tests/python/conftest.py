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
