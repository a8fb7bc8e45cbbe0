"""Reading HaloProperties.dat, the report haloprof appends one block to per run.

Each block is a line with the redshift and the halo center, a column header, and one row
per non-empty radial shell. The rows are fixed columns: a value may touch its neighbour
("-Infinity" fills its whole field), and a value too wide for its field is a run of
asterisks, so the fields are read by position, never by splitting on blanks.

    >>> from haloprof_report import read_report, read_reports, block_names
    >>> blocks = read_report("HaloProperties.dat")
    >>> blocks[0].redshift, blocks[0].center, blocks[0].rows["ovd"]

A series, one report per snapshot's directory, each block named by its directory:

    >>> import glob
    >>> blocks = read_reports(sorted(glob.glob("out/*/HaloProperties.dat")))
    >>> dict(zip(block_names(blocks), blocks))
"""

from __future__ import annotations

import argparse
import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np

# haloprof's compiled-in units, which every report is written in: lengths in units in which
# the mean particle number density is 4096000 (160^3) per unit volume, masses in units in
# which one particle weighs 21100, and 61 shells of width 0.1/60 out to radius 0.1.
PARTICLE_MASS = 21100.0    # the report's mass unit per particle
MEAN_DENSITY = 4096000.0   # particles per unit volume
SHELL_WIDTH = 0.1 / 60     # radial width of the report's shells
VOLUME_FACTOR = 4.188      # haloprof's sphere volume over r^3, in place of 4 pi / 3 = 4.18879

HEADER = (" r_in     <r>    r_out     Np     Overden Ovd(<r_out)  Mass     Vrms    Vradial"
          "    Vtangential  beta")

# (name, first column, one past the last column) of each row item.
COLUMNS = (
    ("r_in", 0, 8),          # inner radius of the shell
    ("r_mean", 8, 16),       # mean radius of its particles
    ("r_out", 16, 24),       # outer radius
    ("np", 24, 32),          # particles in the shell
    ("overden", 32, 42),     # shell density over the mean density
    ("ovd", 42, 52),         # mean density within r_out over the mean density
    ("mass", 52, 64),        # enclosed mass
    ("vrms", 64, 73),        # root-mean-square speed relative to the bulk velocity
    ("vradial", 73, 82),     # mean radial velocity
    ("vtangential", 82, 91), # root-mean-square tangential speed
    ("beta", 91, 100),       # velocity anisotropy
)
ROW_WIDTH = 100
ROW_DTYPE = np.dtype([(name, np.float64) for name, _, _ in COLUMNS])


class ReportError(ValueError):
    """A report that is not a sequence of well-formed blocks; the message names the line."""


class BlockChoiceError(ValueError):
    """A --blocks index that names no block read; the message says which blocks there are."""


@dataclass
class Block:
    redshift: float
    center: tuple[float, float, float]
    rows: np.ndarray  # structured array, one field per column of ROW_DTYPE
    line: int         # line number of the block's first line
    source: str = ""  # the report it was read from, as named to the reader
    index: int = 0    # its place among that report's blocks, 0 for the first run's


_SPECIAL = {"NaN": math.nan, "Infinity": math.inf, "Inf": math.inf,
            "-Infinity": -math.inf, "-Inf": -math.inf}


def parse_field(text: str) -> float:
    """One fixed-column field: a number, NaN, an infinity, or asterisks (read as NaN)."""
    s = text.strip()
    if s and set(s) == {"*"}:
        return math.nan
    if s in _SPECIAL:
        return _SPECIAL[s]
    if not s:
        raise ValueError("empty field")
    # A three-digit exponent is written without its letter: 1.0000+100.
    for i in range(len(s) - 1, 0, -1):
        if s[i] in "+-" and s[i - 1] not in "Ee":
            s = s[:i] + "E" + s[i:]
            break
    return float(s)


def _fields(where: str, line: str, spans) -> list[float]:
    values = []
    for name, first, last in spans:
        try:
            values.append(parse_field(line[first:last]))
        except ValueError:
            raise ReportError(f"{where}: expected a number for {name} in columns {first + 1}-{last}, "
                              f"found {line[first:last]!r}") from None
    return values


def parse_report(text: str, name: str = "HaloProperties.dat") -> list[Block]:
    """The blocks of a report's text; `name` is used in error messages."""
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    elif lines:
        raise ReportError(f"{name}:{len(lines)}: the last line has no line end (a report cut short?)")
    if not lines:
        raise ReportError(f"{name}: the report is empty")
    blocks: list[Block] = []
    i = 0
    while i < len(lines):
        start = i
        where = f"{name}:{i + 1}"
        line = lines[i]
        if not line.startswith("Z=") or len(line) != 46 or line[10:19] != " Center= ":
            raise ReportError(f"{where}: expected a block's first line 'Z=… Center= …' of 46 characters, "
                              f"found {line[:60]!r}")
        redshift, *center = _fields(where, line, (("redshift", 2, 10), ("x", 19, 28), ("y", 28, 37),
                                                   ("z", 37, 46)))
        if i + 1 >= len(lines) or lines[i + 1] != HEADER:
            found = lines[i + 1][:60] if i + 1 < len(lines) else "the end of the file"
            raise ReportError(f"{name}:{i + 2}: expected the column header, found {found!r}")
        rows = []
        i += 2
        while i < len(lines) and not lines[i].startswith("Z="):
            if len(lines[i]) != ROW_WIDTH:
                raise ReportError(f"{name}:{i + 1}: expected a row of {ROW_WIDTH} characters, "
                                  f"found {len(lines[i])}")
            rows.append(tuple(_fields(f"{name}:{i + 1}", lines[i], COLUMNS)))
            i += 1
        blocks.append(Block(redshift, tuple(center), np.array(rows, dtype=ROW_DTYPE), start + 1, name,
                            len(blocks)))
    return blocks


def read_report(path: str | Path) -> list[Block]:
    """The blocks of the report file at `path`, in the order the runs appended them."""
    path = Path(path)
    try:
        text = path.read_text(encoding="ascii")
    except UnicodeDecodeError as e:
        raise ReportError(f"{path}: not a text report ({e.reason} at byte {e.start})") from None
    return parse_report(text, str(path))


def read_reports(paths) -> list[Block]:
    """The blocks of several reports, report after report in the order of `paths`."""
    return [block for path in paths for block in read_report(path)]


def block_names(blocks: list[Block]) -> list[str]:
    """A name for each block that tells it from the others: its report when they come from
    several (the report's directory when every report has the same file name, as in
    out/*/HaloProperties.dat), and "block K" when its report holds several."""
    sources = list(dict.fromkeys(block.source for block in blocks))
    by_directory = len(sources) > 1 and len({Path(s).name for s in sources}) == 1
    counts = {s: sum(block.source == s for block in blocks) for s in sources}
    names = []
    for block in blocks:
        parts = []
        if len(sources) > 1:
            parts.append(str(Path(block.source).parent) if by_directory else block.source)
        if counts[block.source] > 1:
            parts.append(f"block {block.index}")
        names.append(" ".join(parts) or block.source)
    return names


def parse_block_indices(text: str) -> list[int]:
    """The tools' --blocks argument: comma-separated block indices such as 0,2 (for argparse)."""
    try:
        return [int(part) for part in text.split(",") if part.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected block indices such as 0,2 — found {text!r}") from None


def reports_name(paths) -> str:
    """How messages and titles name the reports read: the one report's name, or "N reports"."""
    return str(paths[0]) if len(paths) == 1 else f"{len(paths)} reports"


def select_blocks(blocks: list[Block], indices: list[int] | None, what: str) -> list[tuple[int, Block]]:
    """The blocks a --blocks list picks, as (index, block) with the index counted from 0
    through all the blocks (a negative one counts from the end); all of them for None.
    `what` names the reports read, e.g. "HaloProperties.dat" or "3 reports", for the
    BlockChoiceError raised when an index is out of range."""
    if indices is None:
        return list(enumerate(blocks))
    chosen = []
    for k in indices:
        if not -len(blocks) <= k < len(blocks):
            holds = f"the {what} hold" if len({b.source for b in blocks}) > 1 else f"{what} holds"
            raise BlockChoiceError(f"{holds} blocks 0 to {len(blocks) - 1}; there is no block {k}")
        chosen.append((k % len(blocks), blocks[k]))
    return chosen
