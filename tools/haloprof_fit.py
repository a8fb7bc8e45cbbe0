"""NFW fits of haloprof report blocks: the model, the choice of shells and the halo quantities.

The density, in units of the mean density, is an NFW halo on the uniform background:

    rho(r) / rho_mean = 1 + delta_c / (x (1 + x)^2),   x = r / r_s

Each shell's measured overdensity (the report's `Overden`) is compared with the model's
mean over that shell, so the shell width 0.1/60 costs no bias. The fit is made in
logarithms: a shell's residual is ln(Overden) - ln(model) over its Poisson error 1/sqrt(Np),
and the free parameters are ln r_s and ln delta_c.

    >>> from haloprof_report import read_report
    >>> from haloprof_fit import fit_block
    >>> fit = fit_block(read_report("HaloProperties.dat")[0])
    >>> fit.rs, fit.rs_err, fit.c200, fit.r200, fit.m200

Which shells enter the fit (`select_shells`, printed by `Fit.rule`):
  * outer limit: r_out <= R200 read from the `Ovd(<r_out)` column (or a radius given);
  * inner limit, the convergence radius r_conv = 2 max(center error, shell width): the
    center (the densest particle) is only known to some error, by default one shell width.
    A center off by e leaves the shell means of an r^-1 cusp unchanged beyond e (the mean
    of 1/|r - e| over a sphere of radius r > e is 1/r) and changes those of steeper parts
    by about (e/r)^2 gamma (gamma - 1) / 6 for a local slope -gamma: under 5% at 2e where
    gamma < 2 (inside r_s), falling as (e/r)^2 outwards. The report cannot say where in
    the innermost shell the particles sit, so the center is never taken as better than a
    shell;
  * at least MIN_COUNT particles, so that the Poisson error of the shell's count holds.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from scipy.optimize import brentq, least_squares

from haloprof_report import MEAN_DENSITY, PARTICLE_MASS, SHELL_WIDTH

OVERDENSITY = 200.0          # R200 encloses 200 times the mean density
MIN_COUNT = 10               # fewest particles for which sqrt(Np) is the count's error
MIN_SHELLS = 4               # fewest shells for a two-parameter fit worth a chi^2


class FitError(ValueError):
    """Why a block cannot be fitted, in one line."""


def nfw_mass(x):
    """The NFW enclosed mass in units of 4 pi delta_c r_s^3 rho_mean: ln(1 + x) - x / (1 + x)."""
    return np.log1p(x) - x / (1.0 + x)


def overdensity(r, rs, delta_c):
    """Local density over the mean density at radius r: the NFW halo plus the background."""
    x = np.asarray(r, dtype=float) / rs
    return 1.0 + delta_c / (x * (1.0 + x) ** 2)


def shell_overdensity(r_in, r_out, rs, delta_c):
    """Mean density over the mean density between r_in and r_out."""
    r_in = np.asarray(r_in, dtype=float)
    r_out = np.asarray(r_out, dtype=float)
    halo = nfw_mass(r_out / rs) - nfw_mass(r_in / rs)
    return 1.0 + 3.0 * delta_c * rs ** 3 * halo / (r_out ** 3 - r_in ** 3)


def model_r200(rs, delta_c):
    """The radius within which the model's mean density is 200 times the mean density; NaN
    when it is not reached between 1e-6 and 1e8 r_s."""
    # The halo's mean enclosed excess 3 delta_c m(x) / x^3 falls monotonically from infinity to 0.
    def g(x):
        return math.log(3.0 * delta_c * nfw_mass(x)) - 3.0 * math.log(x) - math.log(OVERDENSITY - 1.0)
    lo, hi = 1.0, 1.0
    while g(lo) < 0 and lo > 1e-6:
        lo /= 10
    while g(hi) > 0 and hi < 1e8:
        hi *= 10
    if not g(lo) >= 0 >= g(hi):
        return math.nan
    return rs * brentq(g, lo, hi, xtol=1e-14, rtol=1e-13)


def r200_from_data(rows):
    """R200 where the report's Ovd(<r_out) first falls below 200, interpolated in log-log
    between the two rows around it; NaN when it is not crossed within the rows."""
    ok = np.isfinite(rows["ovd"]) & (rows["ovd"] > 0)
    r, ovd = rows["r_out"][ok], rows["ovd"][ok]
    below = np.nonzero(ovd < OVERDENSITY)[0]
    if len(below) == 0 or below[0] == 0:
        return math.nan
    k = below[0]
    t = math.log(OVERDENSITY / ovd[k - 1]) / math.log(ovd[k] / ovd[k - 1])
    return math.exp(math.log(r[k - 1]) + t * math.log(r[k] / r[k - 1]))


def shell_edges(rows):
    """Exact inner and outer radii of each row's shell; the report prints them to 4 decimals."""
    index = np.rint(rows["r_in"] / SHELL_WIDTH)
    return index * SHELL_WIDTH, (index + 1) * SHELL_WIDTH


@dataclass
class Selection:
    used: np.ndarray     # boolean, one per row
    r_max: float         # shells with r_out above it are left out
    r200_data: float
    rule: str            # the rule in words, with the numbers


def select_shells(rows, r_max=None, center_error=SHELL_WIDTH):
    """The rows the fit uses (see the module's description); raises FitError when too few remain."""
    r200_data = r200_from_data(rows)
    if r_max is None:
        if not math.isfinite(r200_data):
            if len(rows) == 0:
                raise FitError("the block has no rows")
            ovd = rows["ovd"][np.isfinite(rows["ovd"])]
            where = ("has no number in any row" if len(ovd) == 0
                     else "stays above 200 out to the last row" if ovd.min() >= OVERDENSITY
                     else "is below 200 from the first row on")
            raise FitError(f"no R200 to fit out to: Ovd(<r_out) {where} (fit_profile --rmax gives one)")
        r_max, outer = r200_data, "R200 from Ovd(<r_out)"
    else:
        outer = "as given"
    r_conv = 2.0 * max(center_error, SHELL_WIDTH)
    r_in, r_out = shell_edges(rows)
    numbers = np.isfinite(rows["overden"]) & np.isfinite(rows["np"])
    used = numbers & (rows["np"] >= MIN_COUNT) & (r_in >= r_conv - 1e-12) & (r_out <= r_max * (1 + 1e-9))
    rule = (f"r_in >= {r_conv:.5f} (twice the center error {max(center_error, SHELL_WIDTH):.5f}), "
            f"r_out <= {r_max:.5f} ({outer}), Np >= {MIN_COUNT}")
    if not numbers.all():
        rule += f", {np.count_nonzero(~numbers)} row(s) without a number for Np or Overden left out"
    rule += f": {np.count_nonzero(used)} of {len(rows)} rows"
    if np.count_nonzero(used) < MIN_SHELLS:
        raise FitError(f"{np.count_nonzero(used)} shell(s) left to fit, at least {MIN_SHELLS} needed "
                       f"(shells used: {rule})")
    return Selection(used, r_max, r200_data, rule)


@dataclass
class Fit:
    rs: float
    rs_err: float
    delta_c: float
    c200: float
    c200_err: float
    r200: float
    r200_err: float
    r200_data: float
    m200: float
    m200_err: float
    chi2: float
    dof: int
    shells_used: int
    beta_inner: float    # Np-weighted mean beta of the rows with <r> < r_s
    beta_outer: float    # the same for r_s <= <r> < R200
    rule: str
    used: np.ndarray
    cov: np.ndarray      # covariance of (ln r_s, ln delta_c)

    @property
    def chi2_dof(self):
        return self.chi2 / self.dof

    def curve(self, r=None):
        """(r, the fitted density over the mean density at r); by default r spans the report's
        radii, from half the innermost shell's width out to 0.1."""
        if r is None:
            r = np.geomspace(SHELL_WIDTH / 2, 60 * SHELL_WIDTH, 300)
        return r, overdensity(r, self.rs, self.delta_c)


def _derived(p):
    rs, delta_c = math.exp(p[0]), math.exp(p[1])
    r200 = model_r200(rs, delta_c)
    m200 = OVERDENSITY * MEAN_DENSITY * PARTICLE_MASS * 4.0 / 3.0 * math.pi * r200 ** 3
    return np.array([r200 / rs, r200, m200])


def _mean_beta(rows, lo, hi):
    ok = np.isfinite(rows["beta"]) & np.isfinite(rows["np"]) & (rows["r_mean"] >= lo) & (rows["r_mean"] < hi)
    if not ok.any():
        return math.nan
    return float(np.average(rows["beta"][ok], weights=rows["np"][ok]))


def fit_block(block, r_max=None, center_error=SHELL_WIDTH):
    """Fits one report block (see the module's description); raises FitError with the reason
    when the block cannot be fitted. Errors are 1 sigma from the covariance, scaled up by
    chi^2/dof when that exceeds 1 (the Poisson errors then do not account for the scatter)."""
    rows = block.rows
    sel = select_shells(rows, r_max, center_error)
    nonpositive = np.nonzero(sel.used & ~(rows["overden"] > 0))[0]
    if len(nonpositive):
        k = nonpositive[0]
        raise FitError(f"line {block.line + 2 + k}: Overden {rows['overden'][k]:g} for {rows['np'][k]:g} "
                       f"particles (expected an overdensity above 0)")
    r_in, r_out = (edge[sel.used] for edge in shell_edges(rows))
    data = np.log(rows["overden"][sel.used])
    weight = np.sqrt(rows["np"][sel.used])

    def residuals(p):
        return (data - np.log(shell_overdensity(r_in, r_out, math.exp(p[0]), math.exp(p[1])))) * weight

    # Start from the best of a grid in r_s, delta_c from a weighted linear fit at each.
    excess = np.exp(data) - 1.0
    best = None
    for rs in np.geomspace(SHELL_WIDTH / 10, 10 * sel.r_max, 60):
        shape = shell_overdensity(r_in, r_out, rs, 1.0) - 1.0
        w = weight ** 2 / np.exp(2 * data)
        delta_c = np.sum(w * shape * excess) / np.sum(w * shape ** 2)
        if delta_c > 0:
            p = np.log([rs, delta_c])
            cost = np.sum(residuals(p) ** 2)
            if best is None or cost < best[0]:
                best = (cost, p)
    if best is None:
        raise FitError("the shells lie at or below the background: no halo to fit")
    lo = np.log([SHELL_WIDTH / 100, 1e-6])
    hi = np.log([100 * sel.r_max, 1e15])
    result = least_squares(residuals, best[1], bounds=(lo, hi), x_scale=1.0, xtol=1e-12, ftol=1e-12)
    if not result.success:
        raise FitError(f"the fit did not converge: {result.message}")
    if np.any(np.abs(result.x - lo) < 1e-3) or np.any(np.abs(result.x - hi) < 1e-3):
        raise FitError(f"the fit ran to the edge of its range (r_s = {math.exp(result.x[0]):.3g}, "
                       f"delta_c = {math.exp(result.x[1]):.3g}): the shells do not constrain it")
    dof = len(data) - 2
    chi2 = float(np.sum(result.fun ** 2))
    jac = result.jac
    try:
        cov = np.linalg.inv(jac.T @ jac) * max(1.0, chi2 / dof)
    except np.linalg.LinAlgError:
        raise FitError("the fit's covariance is singular: r_s and delta_c are not both constrained") from None

    # Derived quantities and their errors by linear propagation through central differences.
    derived = _derived(result.x)
    if not np.isfinite(derived).all():
        raise FitError("the fitted profile does not reach 200 times the mean density")
    grad = np.empty((3, 2))
    for k in range(2):
        h = np.zeros(2)
        h[k] = 1e-6
        grad[:, k] = (_derived(result.x + h) - _derived(result.x - h)) / 2e-6
    derr = np.sqrt(np.einsum("ik,kl,il->i", grad, cov, grad))
    rs, delta_c = math.exp(result.x[0]), math.exp(result.x[1])
    r200 = derived[1]
    return Fit(rs=rs, rs_err=rs * math.sqrt(cov[0, 0]), delta_c=delta_c,
               c200=derived[0], c200_err=derr[0], r200=r200, r200_err=derr[1], r200_data=sel.r200_data,
               m200=derived[2], m200_err=derr[2], chi2=chi2, dof=dof, shells_used=len(data),
               beta_inner=_mean_beta(rows, 0.0, rs), beta_outer=_mean_beta(rows, rs, r200),
               rule=sel.rule, used=sel.used, cov=cov)
