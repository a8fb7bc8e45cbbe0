"""The installed programs, run away from the checkout, and the README's recipe for many
snapshots, run as written with them."""

import os
import re
import shutil
import subprocess

from conftest import BUILD, CMAKE, ROOT, png_size, readme_blocks
from conftest import run_installed as run
from haloprof_report import read_report


def test_installed_programs_run_elsewhere(prefix, tmp_path):
    tools = [p for p in (ROOT / "tools").iterdir() if p.is_file() and p.suffix == "" and os.access(p, os.X_OK)]
    for tool in tools:
        installed = prefix / "bin" / tool.name
        assert installed.resolve().is_relative_to(prefix), tool.name  # not the checkout's file
        done = run(prefix, tmp_path, f"{tool.name} --help")  # finds its modules
        assert done.returncode == 0, done.stderr
    done = run(prefix, tmp_path, "halogen -n 2000 -b 0.1 -o halo.txt && echo halo.txt | haloprof && "
                                 "plot_profile -o p.png")
    assert done.returncode == 0, done.stderr
    assert len(read_report(tmp_path / "HaloProperties.dat")) == 1
    assert png_size(tmp_path / "p.png") == (1200, 900)


def test_batch_recipe(prefix, tmp_path):
    recipe, parallel_line, *_ = readme_blocks("\n## Many snapshots\n")  # then the Slurm job array
    names = [f"snap_{k:02}" for k in range(11)] + ["it's snap, 11"]  # an apostrophe, a blank, a comma
    (tmp_path / "snapshots").mkdir()
    made = run(prefix, tmp_path, " && ".join(
        f"halogen -n 1500 -b 0.1 -s {k} -z {k / 4} -o \"snapshots/{name}.txt\"" for k, name in enumerate(names)))
    assert made.returncode == 0, made.stderr
    (tmp_path / "snapshots" / "broken.txt").write_text("halo 0.5\n1 2 3\n")
    # Each snapshot's block, from runs one after another in one directory.
    reference = tmp_path / "reference"
    reference.mkdir()
    for name in names:
        shutil.copy(tmp_path / "snapshots" / f"{name}.txt", reference / "snap.txt")
        run(prefix, reference, "echo snap.txt | haloprof", check=True)
    text = (reference / "HaloProperties.dat").read_text()
    expected = ["Z=" + block for block in text.split("Z=")[1:]]
    assert len(expected) == len(names)

    # Twice, so that a rerun is seen to start each report afresh; with GNU parallel if present.
    rerun = recipe
    if shutil.which("parallel"):
        rerun = re.sub(r".*\| xargs .*\n", parallel_line, recipe)
        assert rerun != recipe
    for command in (recipe, rerun):
        done = run(prefix, tmp_path, command)
        assert done.returncode == 0, done.stderr
        assert re.fullmatch(r"snapshots/broken.txt: \S*broken.txt:2: expected 7 values .*\n", done.stderr), \
            done.stderr
        assert not (tmp_path / "out" / "broken" / "HaloProperties.dat").exists()
        for name, block in zip(names, expected):
            assert (tmp_path / "out" / name / "HaloProperties.dat").read_text() == block, name
        assert png_size(tmp_path / "series.png") == (1200, 900)

    # The plot names each curve by its snapshot's directory (the SVG keeps each text as a comment).
    run(prefix, tmp_path, "plot_profile out/*/HaloProperties.dat -o series.svg", check=True)
    svg = (tmp_path / "series.svg").read_text()
    for k, name in enumerate(names):
        assert f"<!-- out/{name}: z={k / 4:.3f}, center" in svg, name


def test_uninstall_line_leaves_nothing(tmp_path):
    """The README's uninstall line, after the installed tools have run (and imported every
    module they have), removes every file the install made: the tools write no bytecode."""
    prefix = tmp_path / "prefix"
    subprocess.run([CMAKE, "--install", str(BUILD), "--prefix", str(prefix)], check=True, stdout=subprocess.DEVNULL)
    manifest = tmp_path / "install_manifest.txt"
    shutil.copy(BUILD / "install_manifest.txt", manifest)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}  # as a user's shell has it
    done = run(prefix, tmp_path, "halogen -o halo.txt && echo halo.txt | haloprof >/dev/null && "
                                 "plot_profile --fit -o p.png && fit_profile HaloProperties.dat --json", env=env)
    assert done.returncode == 0, done.stderr
    uninstall = re.search(r"`(xargs [^`]*build/install_manifest\.txt)`", (ROOT / "README.md").read_text()).group(1)
    run(prefix, tmp_path, uninstall.replace("build/install_manifest.txt", str(manifest)), check=True)
    assert [p.relative_to(prefix) for p in prefix.rglob("*") if not p.is_dir()] == []
