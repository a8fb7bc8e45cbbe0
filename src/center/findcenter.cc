#include "center/findcenter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <vector>

#include "core/format.h"

namespace haloprof {
namespace {

// v where the mask is all ones, +0.0 where it is zero.
inline float masked(float v, std::uint32_t mask) {
  return std::bit_cast<float>(std::bit_cast<std::uint32_t>(v) & mask);
}

void print_center(std::ostream& out, record& line, const run_state& data, float r2) {
  out << line.f(data.xc, 9, 5)
             .f(data.yc, 9, 5)
             .f(data.zc, 9, 5)
             .text(" Search Radius= ")
             .f(r2, 9, 5)
             .str();
}

}  // namespace

float shrink_r2(float r2) {
  // The factor shrinks the squared radius, so the radius itself shrinks by sqrt(0.97).
  return std::sqrt(r2) > 0.0015f ? r2 * 0.97f : r2;
}

namespace {

// Blocks of particles go through two loops: the first finds each particle's terms (a
// particle outside gets terms of +0.0, which change no bit of a sum that starts at +0.0,
// as such a sum never becomes -0.0) and has no dependence between particles, so the
// compiler can vectorise it; the second adds them up strictly in order. `at(k)` is the
// k-th particle looked at, in increasing order.
template <typename Index>
void sums_over(const run_state& data, float r2, std::int64_t n, Index at, std::int64_t& nn, double& am,
               double& xx, double& yy, double& zz) {
  constexpr std::int64_t block = 512;
  float w[block], wx[block], wy[block], wz[block];
  const float* const x = data.xpar.data();
  const float* const y = data.ypar.data();
  const float* const z = data.zpar.data();
  const float* const dens = data.dens.data();
  const double xc = data.xc, yc = data.yc, zc = data.zc;
  // Local sums stay in registers; through the references they would go to memory.
  std::int64_t count = 0;
  double s = 0, sx = 0, sy = 0, sz = 0;
  for (std::int64_t first = 0; first < n; first += block) {
    const std::int64_t m = std::min(block, n - first);
    for (std::int64_t k = 0; k < m; ++k) {
      const std::int64_t i = at(first + k);
      const double dx = x[i] - xc;
      const double dy = y[i] - yc;
      const double dz = z[i] - zc;
      const bool in = static_cast<float>((dx * dx + dy * dy) + dz * dz) < r2;
      count += in;
      const std::uint32_t mask = in ? ~std::uint32_t{0} : 0;
      w[k] = masked(dens[i], mask);
      wx[k] = masked(x[i] * dens[i], mask);
      wy[k] = masked(y[i] * dens[i], mask);
      wz[k] = masked(z[i] * dens[i], mask);
    }
    for (std::int64_t k = 0; k < m; ++k) {
      s += w[k];
      sx += wx[k];
      sy += wy[k];
      sz += wz[k];
    }
  }
  nn = count;
  am = s;
  xx = sx;
  yy = sy;
  zz = sz;
}

// The particles that may lie in the spheres of the coming iterations: those within a
// reach of an anchor point, in file order. Any other particle is outside every sphere that
// fits within the reach, so passes over the list give the sums of passes over all.
class candidate_list {
 public:
  // Whether the sphere of squared radius r2 around the current center fits within the
  // reach, with room to spare for the rounding of the membership test (well below 1e-6).
  bool covers(const run_state& data, float r2) const {
    if (!valid_) return false;
    const double d = std::sqrt((data.xc - ax_) * (data.xc - ax_) + (data.yc - ay_) * (data.yc - ay_) +
                               (data.zc - az_) * (data.zc - az_));
    return d + std::sqrt(static_cast<double>(r2)) * (1 + 1e-6) <= reach_ * (1 - 1e-6);
  }

  // Collects the particles within 1.1 times the radius around the current center. Gives up
  // (for the rest of the run) when the list would not save much time or would cost too
  // much memory.
  void collect(const run_state& data, float r2) {
    valid_ = false;
    if (abandoned_) return;
    if (data.nhalos > std::int64_t{0xffffffff}) {
      abandoned_ = true;
      return;
    }
    ax_ = data.xc;
    ay_ = data.yc;
    az_ = data.zc;
    reach_ = 1.1 * std::sqrt(static_cast<double>(r2));
    const auto reach2 = static_cast<float>(reach_ * reach_);
    constexpr std::int64_t most = (std::int64_t{48} << 20) / sizeof(std::uint32_t);  // 48 MiB
    const std::int64_t limit = std::min(most, data.nhalos * 3 / 4);
    index_.clear();
    for (std::int64_t i = 0; i < data.nhalos; ++i) {
      const double dx = data.xpar[i] - ax_;
      const double dy = data.ypar[i] - ay_;
      const double dz = data.zpar[i] - az_;
      if (static_cast<float>((dx * dx + dy * dy) + dz * dz) < reach2) {
        if (static_cast<std::int64_t>(index_.size()) == limit) {
          abandoned_ = true;
          index_ = {};
          return;
        }
        index_.push_back(static_cast<std::uint32_t>(i));
      }
    }
    valid_ = true;
  }

  const std::vector<std::uint32_t>& index() const { return index_; }

 private:
  std::vector<std::uint32_t> index_;
  double ax_ = 0, ay_ = 0, az_ = 0, reach_ = 0;
  bool valid_ = false, abandoned_ = false;
};

}  // namespace

void sphere_sums(const run_state& data, float r2, std::int64_t& nn, double& am, double& xx, double& yy,
                 double& zz) {
  sums_over(data, r2, data.nhalos, [](std::int64_t k) { return k; }, nn, am, xx, yy, zz);
}

void findcenter(run_state& data, std::ostream& out) {
  data.xc = data.yc = data.zc = 0;
  float r2 = initial_r2(data.rad);
  out << free_line().num(data.rad).num(r2).str();

  candidate_list near;
  for (int j = 0; j < 20; ++j) {
    std::int64_t nn = 0;
    double am = 0, xx = 0, yy = 0, zz = 0;
    if (!near.covers(data, r2)) near.collect(data, r2);
    if (near.covers(data, r2)) {
      const std::uint32_t* index = near.index().data();
      sums_over(data, r2, static_cast<std::int64_t>(near.index().size()),
                [index](std::int64_t k) { return static_cast<std::int64_t>(index[k]); }, nn, am, xx, yy, zz);
    } else {
      sphere_sums(data, r2, nn, am, xx, yy, zz);
    }
    // Divide by the larger of the weight and 1: a small (or NaN) weight leaves the sums as
    // they are, and an empty sphere puts the center back at the origin.
    if (am >= 1) {
      data.xc = xx / am;
      data.yc = yy / am;
      data.zc = zz / am;
    } else {
      data.xc = xx;
      data.yc = yy;
      data.zc = zz;
    }
    r2 = shrink_r2(r2);
    record line;
    line.text(" particles= ").i(nn, 8).text(" Center= ");
    print_center(out, line, data, r2);
  }

  // Snap onto the densest particle of the last sphere: strictly denser than any before it.
  std::int64_t ii = 0;
  double densest = 0;
  const auto consider = [&](std::int64_t i) {
    if (inside(data, i, r2) && static_cast<double>(data.dens[i]) > densest) {
      densest = data.dens[i];
      ii = i + 1;
    }
  };
  if (near.covers(data, r2)) {
    for (const std::uint32_t i : near.index()) consider(i);
  } else {
    for (std::int64_t i = 0; i < data.nhalos; ++i) consider(i);
  }
  float shown_density = 0;
  if (ii > 0) {
    data.xc = data.xpar[ii - 1];
    data.yc = data.ypar[ii - 1];
    data.zc = data.zpar[ii - 1];
    shown_density = data.dens[ii - 1];
  }
  record line;
  line.text(" Densest ").f(shown_density, 9, 2).text(" Center= ");
  print_center(out, line, data, r2);
}

}  // namespace haloprof
