"""The installed programs, run away from the checkout."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))

from haloprof_report import read_report  # noqa: E402
from test_report import png_size  # noqa: E402

BUILD = Path(os.environ.get("HALOPROF_BUILD_DIR", ROOT / "build"))
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    prefix = tmp_path_factory.mktemp("prefix")
    subprocess.run([CMAKE, "--install", str(BUILD), "--prefix", str(prefix)], check=True,
                   stdout=subprocess.DEVNULL)
    return prefix


def run(prefix, cwd, command, **kwargs):
    """Runs a bash command in `cwd` with the installed programs first on the PATH and no
    module path from outside."""
    env = dict(os.environ, PATH=f"{prefix / 'bin'}:/usr/bin:/bin")
    env.pop("PYTHONPATH", None)
    return subprocess.run(["bash", "-c", command], cwd=cwd, env=env, text=True, capture_output=True,
                          **kwargs)


def test_installed_programs_run_elsewhere(prefix, tmp_path):
    for tool in (p for p in (ROOT / "tools").iterdir() if p.is_file() and p.suffix == "" and os.access(p, os.X_OK)):
        installed = prefix / "bin" / tool.name
        assert installed.resolve().is_relative_to(prefix), tool.name  # not the checkout's file
        done = run(prefix, tmp_path, f"{tool.name} --help")  # finds its modules
        assert done.returncode == 0, done.stderr
    done = run(prefix, tmp_path, "halogen -n 2000 -b 0.1 -o halo.txt && echo halo.txt | haloprof && "
                                 "plot_profile -o p.png")
    assert done.returncode == 0, done.stderr
    assert len(read_report(tmp_path / "HaloProperties.dat")) == 1
    assert png_size(tmp_path / "p.png") == (1200, 900)

