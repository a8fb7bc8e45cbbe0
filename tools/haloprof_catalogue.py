"""A catalogue of halos cut out of one snapshot: halocut's manifest DIR/halos.json, the
reports that go with it, and the factors from haloprof's units to the snapshot's.

halocut writes each halo's particles to DIR/halo_ID.txt, centred on the halo and scaled to
haloprof's units (mean density 4096000 particles per unit volume, 21100 mass units per
particle); the manifest says how:

    units.length   snapshot length units per haloprof length unit
    units.mass     snapshot mass units per haloprof mass unit
    halos[].center the halo's centre in the snapshot's (comoving) coordinates

so a radius r in a report is r * units.length in the snapshot, a mass m is m * units.mass,
and the centre haloprof reports, an offset from the halo's file's origin, puts the halo at
center + offset * units.length. Each halo's report is known by its directory's name:
out/halo_7/HaloProperties.dat belongs to the halo whose file is halo_7.txt.

    >>> from haloprof_catalogue import halo_blocks, read_manifest
    >>> manifest = read_manifest("cut/halos.json")
    >>> for entry in halo_blocks(manifest, glob.glob("out/*/HaloProperties.dat"))[0]:
    ...     print(entry.halo.id, entry.reason or manifest.center(entry.halo, entry.block))
"""

from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from haloprof_report import ReportError, read_report

G_CGS = 6.6743e-8         # gravitational constant, cm^3 g^-1 s^-2
CM_PER_KM = 1e5


class ManifestError(ValueError):
    """A manifest that cannot be read or does not have the form halocut writes; the message
    names the file and the key."""


@dataclass
class Units:
    length: float                      # snapshot length units per haloprof length unit
    mass: float                        # snapshot mass units per haloprof mass unit
    length_unit: str | None = None     # names, e.g. "kpc/h", "1e10 Msun/h", "km/s"
    mass_unit: str | None = None
    velocity_unit: str | None = None
    length_in_cm: float | None = None  # the snapshot's units in cgs, for h = 1 ...
    mass_in_g: float | None = None
    velocity_in_cm_per_s: float | None = None
    length_h_exponent: float | None = None  # ... times h to these powers
    mass_h_exponent: float | None = None


@dataclass
class Halo:
    id: int
    file: str                          # relative to the manifest's directory
    center: tuple[float, float, float]  # snapshot units
    radius: float | None = None        # snapshot units
    particles: int | None = None

    @property
    def name(self) -> str:
        """The name of the directory its report is made in: halo_7 for halo_7.txt."""
        return Path(self.file).stem


@dataclass
class Manifest:
    path: Path
    units: Units
    halos: list[Halo]
    snapshot: str | None = None
    format: str | None = None
    redshift: float | None = None
    scale_factor: float | None = None  # None when the run is not cosmological
    box: float | None = None           # periodic box side, snapshot length units
    hubble: float | None = None

    def center(self, halo: Halo, block) -> tuple[float, float, float]:
        """The halo's centre as haloprof found it, in the snapshot's coordinates, wrapped
        into the box when there is one."""
        out = []
        for c, offset in zip(halo.center, block.center):
            x = c + offset * self.units.length
            if self.box:
                x %= self.box
                if x == self.box:  # a tiny negative x rounds up to the box side
                    x = 0.0
            out.append(x)
        return tuple(out)

    def speed_factor(self) -> float | None:
        """km/s of the physical circular speed sqrt(G M / (a r)) per sqrt(haloprof mass /
        haloprof comoving length); None when the manifest lacks the cgs units or the h
        exponents, or the exponents differ and it lacks the Hubble parameter."""
        u = self.units
        if None in (u.length_in_cm, u.mass_in_g, u.length_h_exponent, u.mass_h_exponent):
            return None
        h_power = u.mass_h_exponent - u.length_h_exponent
        if h_power != 0 and self.hubble is None:
            return None
        h = self.hubble ** h_power if h_power != 0 else 1.0
        a = self.scale_factor if self.scale_factor is not None else 1.0
        return math.sqrt(G_CGS * u.mass * u.mass_in_g * h / (a * u.length * u.length_in_cm)) / CM_PER_KM


def peak_circular_speed(rows, r_limit: float) -> tuple[float, float]:
    """(sqrt(M(<r_out) / r_out), r_out) at the row where it peaks among those with r_out <=
    r_limit, in haloprof units; NaNs when no row qualifies. The rows run out to 0.1, where a
    small halo's background, whose M(<r)/r grows as r^2, can outweigh its peak: r_limit (the
    halo's R200) keeps the search inside the halo."""
    ok = np.isfinite(rows["mass"]) & (rows["r_out"] > 0) & (rows["r_out"] <= r_limit * (1 + 1e-9))
    if not ok.any():
        return math.nan, math.nan
    speed = np.sqrt(rows["mass"][ok] / rows["r_out"][ok])
    k = int(np.argmax(speed))
    return float(speed[k]), float(rows["r_out"][ok][k])


# Reading the manifest: each value checked for the type it must have, the message naming its key.

def _number(where, key, value, *, nullable, positive=False, allow_zero=False):
    if value is None and nullable:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) \
            or (positive and not (value > 0 or (allow_zero and value == 0))):
        kind = ("a positive number" + (" or 0" if allow_zero else "")) if positive else "a number"
        raise ManifestError(f"{where}: expected {kind}{' or null' if nullable else ''} for {key}, "
                            f"found {json.dumps(value)}")
    return float(value)


def _text(where, key, value):
    if value is None or isinstance(value, str):
        return value
    raise ManifestError(f"{where}: expected a string or null for {key}, found {json.dumps(value)}")


def _halo(where, k, item):
    key = f"halos[{k}]"
    if not isinstance(item, dict):
        raise ManifestError(f"{where}: expected an object for {key}, found {json.dumps(item)[:40]}")
    for name in ("id", "file", "center"):
        if name not in item:
            raise ManifestError(f"{where}: {key} has no {name}")
    halo_id = item["id"]
    if isinstance(halo_id, bool) or not isinstance(halo_id, int):
        raise ManifestError(f"{where}: expected an integer for {key}.id, found {json.dumps(halo_id)}")
    file = item["file"]
    if not isinstance(file, str) or not Path(file).stem:
        raise ManifestError(f"{where}: expected a file name for {key}.file, found {json.dumps(file)}")
    center = item["center"]
    if not isinstance(center, list) or len(center) != 3:
        raise ManifestError(f"{where}: expected three numbers for {key}.center, found {json.dumps(center)}")
    center = tuple(_number(where, f"{key}.center", c, nullable=False) for c in center)
    radius = _number(where, f"{key}.radius", item.get("radius"), nullable=True, positive=True)
    particles = item.get("particles")
    if particles is not None and (isinstance(particles, bool) or not isinstance(particles, int) or particles < 0):
        raise ManifestError(f"{where}: expected a count for {key}.particles, found {json.dumps(particles)}")
    return Halo(halo_id, file, center, radius, particles)


def read_manifest(path: str | Path) -> Manifest:
    """The manifest at `path`; raises ManifestError (or OSError) naming what is wrong."""
    path = Path(path)
    where = str(path)
    try:
        doc = json.loads(path.read_text(encoding="utf-8"))
    except UnicodeDecodeError as e:
        raise ManifestError(f"{where}: not a text file ({e.reason} at byte {e.start})") from None
    except json.JSONDecodeError as e:
        raise ManifestError(f"{where}:{e.lineno}: not JSON: {e.msg} at column {e.colno}") from None
    if not isinstance(doc, dict):
        raise ManifestError(f"{where}: expected an object with the keys units and halos")
    for name in ("units", "halos"):
        if name not in doc:
            raise ManifestError(f"{where}: no {name}")
    u = doc["units"]
    if not isinstance(u, dict):
        raise ManifestError(f"{where}: expected an object for units, found {json.dumps(u)[:40]}")
    for name in ("length", "mass"):
        if name not in u:
            raise ManifestError(f"{where}: units has no {name}")
    units = Units(
        length=_number(where, "units.length", u["length"], nullable=False, positive=True),
        mass=_number(where, "units.mass", u["mass"], nullable=False, positive=True),
        **{name: _text(where, f"units.{name}", u.get(name)) for name in ("length_unit", "mass_unit",
                                                                         "velocity_unit")},
        **{name: _number(where, f"units.{name}", u.get(name), nullable=True, positive=True)
           for name in ("length_in_cm", "mass_in_g", "velocity_in_cm_per_s")},
        **{name: _number(where, f"units.{name}", u.get(name), nullable=True)
           for name in ("length_h_exponent", "mass_h_exponent")})
    if not isinstance(doc["halos"], list):
        raise ManifestError(f"{where}: expected a list for halos, found {json.dumps(doc['halos'])[:40]}")
    halos = [_halo(where, k, item) for k, item in enumerate(doc["halos"])]
    for attribute in ("id", "name"):
        seen = {}
        for k, halo in enumerate(halos):
            value = getattr(halo, attribute)
            if value in seen:
                what = "id" if attribute == "id" else "file name without its extension"
                raise ManifestError(f"{where}: halos[{seen[value]}] and halos[{k}] have the same {what} "
                                    f"{json.dumps(value)}")
            seen[value] = k
    return Manifest(
        path=path, units=units, halos=halos,
        snapshot=_text(where, "snapshot", doc.get("snapshot")),
        format=_text(where, "format", doc.get("format")),
        redshift=_number(where, "redshift", doc.get("redshift"), nullable=True),
        scale_factor=_number(where, "scale_factor", doc.get("scale_factor"), nullable=True, positive=True),
        box=_number(where, "box", doc.get("box"), nullable=True, positive=True, allow_zero=True),
        hubble=_number(where, "hubble", doc.get("hubble"), nullable=True, positive=True))


@dataclass
class Entry:
    halo: Halo
    reports: list[str]         # the reports given for it (one, unless something is amiss)
    block: object = None       # the block of its report, or None ...
    reason: str | None = None  # ... and why


def halo_blocks(manifest: Manifest, reports) -> tuple[list[Entry], list[str]]:
    """Each halo of the manifest with the block of its report among `reports` (matched by
    the report's directory name), or the reason it has none: no report, two reports, a
    report that cannot be read or holds other than one block. Also the reports that belong
    to no halo of the manifest."""
    by_name = {halo.name: halo for halo in manifest.halos}
    found: dict[int, list[str]] = {}
    strays = []
    for report in reports:
        halo = by_name.get(Path(os.path.abspath(report)).parent.name)
        if halo is None:
            strays.append(str(report))
        else:
            found.setdefault(halo.id, []).append(str(report))
    entries = []
    for halo in manifest.halos:
        entry = Entry(halo, found.get(halo.id, []))
        entries.append(entry)
        if not entry.reports:
            entry.reason = f"no report in a directory named {halo.name}"
        elif len(entry.reports) > 1:
            entry.reason = f"{len(entry.reports)} reports in directories named {halo.name}: " + ", ".join(entry.reports)
        else:
            try:
                blocks = read_report(entry.reports[0])
            except OSError as e:
                entry.reason = f"{entry.reports[0]}: {e.strerror}"
                continue
            except ReportError as e:
                entry.reason = str(e)
                continue
            if len(blocks) == 1:
                entry.block = blocks[0]
            else:
                entry.reason = (f"{entry.reports[0]}: {len(blocks)} blocks, one expected (a report is removed "
                                "before its halo is profiled again)")
    return entries, strays


def plot_scales(manifest: Manifest | None):
    """(length factor, length label, mass factor, mass label) for plots: the snapshot's
    units where the manifest names them, haloprof's otherwise."""
    if manifest is None:
        return 1.0, "position units", 1.0, "report mass units"
    u = manifest.units
    length = (u.length, u.length_unit) if u.length_unit else (1.0, "haloprof length units")
    mass = (u.mass, u.mass_unit) if u.mass_unit else (1.0, "haloprof mass units")
    return length + mass
