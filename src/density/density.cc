#include "density/density.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <mutex>
#include <new>
#include <numbers>
#include <string>

#include "core/kernels.h"
#include "density/parts.h"
#include "density/simd.h"
#include "density/tree.h"

namespace haloprof {
namespace {

using density_detail::point_tree;
using density_detail::tree_node;

// Measured (bench/density-run): leaves of up to 16 sources, targets taken in groups of up
// to 32 that share one set of candidates.
constexpr int leaf_size = 16;
constexpr std::uint32_t group_size = 32;
constexpr std::size_t groups_per_chunk = 64;  // the work one thread takes at a time

// The distance from the nearest image along one axis. In a box whose coordinates lie in
// [0, box], d = |difference| <= box and the other image lies at box - d, exact when it is
// the nearer; without a box, d.
template <bool periodic>
inline double axis_distance(float a, float b, double box) {
  const double d = std::abs(static_cast<double>(a) - static_cast<double>(b));
  if constexpr (periodic) return std::min(d, box - d);
  return d;
}

// The squared distance every comparison and every kernel term uses.
template <bool periodic>
inline double squared_distance(float ax, float ay, float az, float bx, float by, float bz, double box) {
  const double dx = axis_distance<periodic>(ax, bx, box), dy = axis_distance<periodic>(ay, by, box),
               dz = axis_distance<periodic>(az, bz, box);
  return (dx * dx + dy * dy) + dz * dz;
}

inline double squared_distance(float ax, float ay, float az, float bx, float by, float bz, double box) {
  return box > 0 ? squared_distance<true>(ax, ay, az, bx, by, bz, box)
                 : squared_distance<false>(ax, ay, az, bx, by, bz, box);
}

// The k-th smallest (k >= 1) of v[0, m), m >= k, by partitions around a median of three
// written without branches on the values; v and spare (room for m) are overwritten.
double kth_smallest(double* v, std::uint32_t m, std::uint32_t k, double* spare) {
  std::uint32_t want = k - 1;
  double* const buffers[2] = {v, spare};
  int in = 0;  // the buffer `from` lies in
  double* from = v;
  while (m > 16) {
    const double x = from[0], y = from[m / 2], z = from[m - 1];
    const double p = std::max(std::min(x, y), std::min(std::max(x, y), z));
    double* const to = buffers[1 - in];
    std::uint32_t below = 0, above = 0;
    for (std::uint32_t i = 0; i < m; ++i) {
      // Both places are written; the counts keep the value in the one it belongs to.
      const double u = from[i];
      to[below] = u;
      to[m - 1 - above] = u;
      below += u < p;
      above += u > p;
    }
    in = 1 - in;
    if (want < below) {
      from = to;
      m = below;
    } else if (want < m - above) {
      return p;
    } else {
      want -= m - above;
      from = to + (m - above);
      m = above;
    }
  }
  std::sort(from, from + m);
  return from[want];
}

// The first target (in input order) found at a position held by k or more sources.
struct crowded {
  std::int64_t target = std::numeric_limits<std::int64_t>::max();
  float x = 0, y = 0, z = 0;
};

struct problems {
  std::mutex lock;
  crowded first;
  bool no_memory = false;
  std::atomic<bool> stop{false};  // for want of memory

  void found(std::int64_t target, float x, float y, float z) {
    const std::lock_guard<std::mutex> hold(lock);
    if (target < first.target) first = {target, x, y, z};
  }
};

// What every thread reads.
struct search_space {
  const point_tree& sources;
  const point_tree& targets;
  std::uint32_t k;
  double box;
  double scale;  // the largest coordinate's size, or the box: the bound of absolute roundings
  double mean_density;
  density_detail::scan_fn scan;
  density_detail::spline_sum_fn spline_sum;
};

// One thread's searches, with the buffers they reuse.
class searcher {
 public:
  explicit searcher(const search_space& s) : s_(s) {
    heap_.reserve(s.k);
    neighbours_.resize(s.k);
    terms_.resize(s.k);
  }

  // Densities of the targets of group `g` (a node of the target tree). `guess` is the
  // distance to the k-th neighbour expected there (0: unknown), updated for the group that
  // follows.
  void group(const tree_node& g, double& guess, density_result& out, problems& trouble) {
    double blo[3], bhi[3], ref[3], diagonal2 = 0;
    for (int a = 0; a < 3; ++a) {
      blo[a] = g.lo[a];
      bhi[a] = g.hi[a];
      ref[a] = 0.5 * (blo[a] + bhi[a]);
      diagonal2 += (bhi[a] - blo[a]) * (bhi[a] - blo[a]);
    }
    // A guess carried from a far sparser place (the curve leaving a halo's outskirts for its
    // core) would gather far too many candidates: the group's first target says instead.
    if (!(guess > 0) || (g.size() >= 8 && guess * guess > 4 * diagonal2)) guess = std::sqrt(nearest(g.begin));
    double farthest = 0;
    for (std::uint32_t i = g.begin; i < g.end;) {
      // Each target first takes the candidates within `guess` (enough for most), then those
      // within `wide` of it; gathered are those within `wide` of the group.
      const double narrow = guess, wide = guess * wide_factor;
      const double reach = widened(wide);
      bool alone = false;  // every target a search of its own
      if (s_.box > 0)
        for (int a = 0; a < 3; ++a) alone = alone || (bhi[a] - blo[a]) + 2 * reach >= 0.5 * s_.box;
      if (alone) {
        for (; i < g.end; ++i) {
          const double d2k = nearest(i);
          farthest = std::max(farthest, d2k);
          finish(i, d2k, out, trouble);
        }
        break;
      }
      gather(blo, bhi, ref, reach);
      double extent = 0;
      for (int a = 0; a < 3; ++a) extent = std::max(extent, 0.5 * (bhi[a] - blo[a]) + reach);
      const float sieves[2] = {sieve(widened(narrow), extent), sieve(reach, extent)};
      const double radii2[2] = {narrow * narrow, wide * wide};
      for (const std::uint32_t first = i; i < g.end;) {
        bool own = false;
        const double d2k = s_.box > 0 ? from_candidates<true>(i, ref, sieves, radii2, own)
                                      : from_candidates<false>(i, ref, sieves, radii2, own);
        farthest = std::max(farthest, d2k);
        finish(i++, d2k, out, trouble);
        // The first target falling short (the curve entering a sparser place): the rest
        // would too, so the candidates are gathered again for its distance.
        if (own && i - 1 == first && d2k > guess * guess) {
          guess = std::sqrt(d2k);
          break;
        }
      }
    }
    if (farthest > 0) guess = std::sqrt(farthest);
  }

 private:
  static constexpr double wide_factor = 1.3;

  // A radius widened by the roundings of distances in double.
  double widened(double r) const { return r * (1 + 0x1p-40) + s_.scale * 0x1p-46; }

  // The sieve's squared radius in single precision: beyond r by the roundings of positions
  // relative to the group's centre (2^-24 of `extent`, their largest size) and of the
  // single-precision arithmetic.
  static float sieve(double r, double extent) {
    const double s = (r + extent * 0x1p-20) * (r + extent * 0x1p-20) * (1 + 0x1p-18);
    const float f = static_cast<float>(s);
    return static_cast<double>(f) < s ? std::nextafter(f, std::numeric_limits<float>::infinity()) : f;
  }

  // The k-th neighbour's squared distance for target i from the group's candidates, the
  // nearer neighbours left in neighbours_; by a search of its own (`own` set) when the
  // candidates within the wide radius are fewer than k.
  template <bool periodic>
  double from_candidates(std::uint32_t i, const double* ref, const float* sieves, const double* radii2, bool& own) {
    const point_tree& t = s_.targets;
    const float x = t.x[i], y = t.y[i], z = t.z[i];
    const float rx = static_cast<float>(static_cast<double>(x) - ref[0]),
                ry = static_cast<float>(static_cast<double>(y) - ref[1]),
                rz = static_cast<float>(static_cast<double>(z) - ref[2]);
    for (int pass = 0; pass < 2; ++pass) {
      const std::uint32_t kept =
          s_.scan(cx_.data(), cy_.data(), cz_.data(), count_, rx, ry, rz, sieves[pass], kept_.data());
      std::uint32_t inside = 0;
      for (std::uint32_t j = 0; j < kept; ++j) {
        const std::uint32_t c = kept_[j];
        const double d2 = squared_distance<periodic>(x, y, z, ox_[c], oy_[c], oz_[c], s_.box);
        d2_[j] = d2;
        select_[j] = d2;
        inside += d2 <= radii2[pass];
      }
      if (inside < s_.k) continue;
      // Every candidate within the radius is kept, and k of them are: the k-th nearest of
      // all sources is the k-th nearest kept.
      const double d2k = kth_smallest(select_.data(), kept, s_.k, spare_.data());
      std::uint32_t nearer = 0;
      for (std::uint32_t j = 0; j < kept; ++j) {
        neighbours_[nearer] = d2_[j];
        nearer += d2_[j] < d2k;
      }
      nearer_ = nearer;
      return d2k;
    }
    own = true;
    return nearest(i);
  }

  // The lower bound on the squared distance from the box [blo, bhi] to the points of the
  // node displaced by `shift`; `far2` the upper bound.
  static double box_gap2(const tree_node& n, const double* shift, const double* blo, const double* bhi, double& far2) {
    double g2 = 0, f2 = 0;
    for (int a = 0; a < 3; ++a) {
      const double lo = static_cast<double>(n.lo[a]) + shift[a], hi = static_cast<double>(n.hi[a]) + shift[a];
      const double g = std::max(0.0, std::max(lo - bhi[a], blo[a] - hi));
      const double f = std::max(0.0, std::max(hi - bhi[a], blo[a] - lo));
      g2 += g * g;
      f2 += f * f;
    }
    far2 = f2;
    return g2;
  }

  void add_candidate(std::uint32_t p, const double* shift, const double* ref) {
    const point_tree& src = s_.sources;
    if (count_ + 8 > cx_.size()) {
      const std::size_t room = std::max<std::size_t>(256, 2 * cx_.size());
      for (auto* v : {&cx_, &cy_, &cz_, &ox_, &oy_, &oz_}) v->resize(room);
    }
    cx_[count_] = static_cast<float>((static_cast<double>(src.x[p]) + shift[0]) - ref[0]);
    cy_[count_] = static_cast<float>((static_cast<double>(src.y[p]) + shift[1]) - ref[1]);
    cz_[count_] = static_cast<float>((static_cast<double>(src.z[p]) + shift[2]) - ref[2]);
    ox_[count_] = src.x[p];
    oy_[count_] = src.y[p];
    oz_[count_] = src.z[p];
    ++count_;
  }

  // Takes as candidates every source (image) within `reach` of the box [blo, bhi], at its
  // position relative to `ref` in single precision and at its own.
  void gather(const double* blo, const double* bhi, const double* ref, double reach) {
    count_ = 0;
    const point_tree& src = s_.sources;
    const tree_node& root = src.nodes[0];
    // The images of the sources that may come near: shifts by a box along each axis.
    double shifts[3][3];
    int nshifts[3];
    for (int a = 0; a < 3; ++a) {
      nshifts[a] = 0;
      const double offsets[3] = {0, s_.box, -s_.box};
      for (int c = 0; c < (s_.box > 0 ? 3 : 1); ++c)
        if (static_cast<double>(root.lo[a]) + offsets[c] <= bhi[a] + reach &&
            static_cast<double>(root.hi[a]) + offsets[c] >= blo[a] - reach)
          shifts[a][nshifts[a]++] = offsets[c];
    }
    const double reach2 = reach * reach;
    for (int i = 0; i < nshifts[0]; ++i)
      for (int j = 0; j < nshifts[1]; ++j)
        for (int l = 0; l < nshifts[2]; ++l) {
          const double shift[3] = {shifts[0][i], shifts[1][j], shifts[2][l]};
          std::uint32_t stack[160];  // the tree is at most 63 levels deep (a key bit a level): 2 a level
          int depth = 0;
          stack[depth++] = 0;
          while (depth > 0) {
            const std::uint32_t at = stack[--depth];
            const tree_node& n = src.nodes[at];
            double far2;
            if (box_gap2(n, shift, blo, bhi, far2) > reach2) continue;
            if (far2 <= reach2) {  // all of it within reach
              for (std::uint32_t p = n.begin; p < n.end; ++p) add_candidate(p, shift, ref);
              continue;
            }
            if (!n.leaf()) {
              stack[depth++] = n.second;
              stack[depth++] = at + 1;
              continue;
            }
            for (std::uint32_t p = n.begin; p < n.end; ++p) {
              const double px = static_cast<double>(src.x[p]) + shift[0], py = static_cast<double>(src.y[p]) + shift[1],
                           pz = static_cast<double>(src.z[p]) + shift[2];
              const double gx = std::max(0.0, std::max(px - bhi[0], blo[0] - px));
              const double gy = std::max(0.0, std::max(py - bhi[1], blo[1] - py));
              const double gz = std::max(0.0, std::max(pz - bhi[2], blo[2] - pz));
              if ((gx * gx + gy * gy) + gz * gz <= reach2) add_candidate(p, shift, ref);
            }
          }
        }
    while (count_ % 8 != 0) {  // padding the sieve never keeps
      cx_[count_] = cy_[count_] = cz_[count_] = 3e38f;
      ++count_;
    }
    if (kept_.size() < count_ + 8) {
      for (auto* v : {&kept_}) v->resize(count_ + 8);
      for (auto* v : {&d2_, &select_, &spare_}) v->resize(count_ + 8);
      if (neighbours_.size() < count_) neighbours_.resize(count_);
    }
  }

  // The lower bound on the squared distance from (x, y, z) to a node's points, to the
  // nearest image, less the roundings of the distances.
  double point_gap2(const tree_node& n, float x, float y, float z) const {
    const float p[3] = {x, y, z};
    const double slack = s_.scale * 0x1p-46;
    double g2 = 0;
    for (int a = 0; a < 3; ++a) {
      const double v = p[a], lo = n.lo[a], hi = n.hi[a];
      double g = std::max(0.0, std::max(lo - v, v - hi));
      if (s_.box > 0) {
        g = std::min(g, std::max(0.0, std::max((lo + s_.box) - v, v - (hi + s_.box))));
        g = std::min(g, std::max(0.0, std::max((lo - s_.box) - v, v - (hi - s_.box))));
      }
      g = std::max(0.0, g - slack);
      g2 += g * g;
    }
    return g2;
  }

  // The search of a target of its own: the k nearest sources by a depth-first walk, nearer
  // child first. Leaves the neighbours nearer than the k-th in neighbours_ and returns the
  // k-th's squared distance.
  double nearest(std::uint32_t i) {
    const point_tree& src = s_.sources;
    const float x = s_.targets.x[i], y = s_.targets.y[i], z = s_.targets.z[i];
    heap_.clear();
    double worst = std::numeric_limits<double>::infinity();
    struct entry {
      std::uint32_t node;
      double gap2;
    };
    entry stack[160];  // as above: at most 63 levels, two children pushed a level
    int depth = 0;
    stack[depth++] = {0, 0};
    while (depth > 0) {
      const entry e = stack[--depth];
      if (e.gap2 > worst) continue;
      const tree_node& n = src.nodes[e.node];
      if (!n.leaf()) {
        const std::uint32_t first = e.node + 1, second = n.second;
        const double g1 = point_gap2(src.nodes[first], x, y, z), g2 = point_gap2(src.nodes[second], x, y, z);
        if (g1 <= g2) {
          stack[depth++] = {second, g2};
          stack[depth++] = {first, g1};
        } else {
          stack[depth++] = {first, g1};
          stack[depth++] = {second, g2};
        }
        continue;
      }
      for (std::uint32_t p = n.begin; p < n.end; ++p) {
        const double d2 = squared_distance(x, y, z, src.x[p], src.y[p], src.z[p], s_.box);
        if (heap_.size() < s_.k) {
          heap_.push_back(d2);
          std::push_heap(heap_.begin(), heap_.end());
          if (heap_.size() == s_.k) worst = heap_.front();
        } else if (d2 < worst) {
          std::pop_heap(heap_.begin(), heap_.end());
          heap_.back() = d2;
          std::push_heap(heap_.begin(), heap_.end());
          worst = heap_.front();
        }
      }
    }
    const double d2k = heap_.front();
    nearer_ = 0;
    for (const double d2 : heap_)
      if (d2 < d2k) neighbours_[nearer_++] = d2;
    return d2k;
  }

  void finish(std::uint32_t i, double d2k, density_result& out, problems& trouble) {
    const std::uint32_t at = s_.targets.order[i];
    if (d2k == 0) {
      // Not a reason to stop: the first such target in input order is the one named,
      // whatever the threads reach first.
      trouble.found(at, s_.targets.x[i], s_.targets.y[i], s_.targets.z[i]);
      return;
    }
    if (terms_.size() < nearer_) terms_.resize(nearer_);
    constexpr double pi = std::numbers::pi;
    const double h = 0.5 * std::sqrt(d2k);
    out.rho[at] = s_.spline_sum(neighbours_.data(), nearer_, h, terms_.data()) / (pi * h * h * h) / s_.mean_density;
    out.reach[at] = std::sqrt(d2k);
  }

  const search_space& s_;
  // The group's candidates: relative positions for the sieve, own positions for the
  // distances; count_ of them, padded to a multiple of 8.
  std::vector<float> cx_, cy_, cz_, ox_, oy_, oz_;
  std::uint32_t count_ = 0;
  std::vector<std::uint32_t> kept_;
  std::vector<double> d2_, select_, spare_, heap_, neighbours_, terms_;
  std::uint32_t nearer_ = 0;  // neighbours_ in use
};

// How many sources lie at distance 0 from (x, y, z): for the message only.
std::int64_t sources_at(const point_tree& src, float x, float y, float z, double box) {
  std::int64_t count = 0;
  for (std::size_t p = 0; p < src.x.size(); ++p)
    count += squared_distance(x, y, z, src.x[p], src.y[p], src.z[p], box) == 0;
  return count;
}

// The groups: the largest nodes of at most group_size targets, in tree order.
std::vector<std::uint32_t> groups_of(const point_tree& t) {
  std::vector<std::uint32_t> groups, stack{0};
  while (!stack.empty()) {
    const std::uint32_t at = stack.back();
    stack.pop_back();
    const tree_node& n = t.nodes[at];
    if (n.leaf() || n.size() <= group_size) {
      groups.push_back(at);
      continue;
    }
    stack.push_back(n.second);
    stack.push_back(at + 1);
  }
  return groups;
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", v);
  return text;
}

stage_status check_settings(const point_set& sources, const point_set& targets, const density_settings& s) {
  const auto equal = [](const point_set& p) { return p.x.size() == p.y.size() && p.x.size() == p.z.size(); };
  if (!equal(sources) || !equal(targets))
    return failure{exit_status::internal, "density: the x, y and z arrays of a point set differ in length"};
  if (s.neighbours < 2)
    return failure{exit_status::internal,
                   "density: " + std::to_string(s.neighbours) + " neighbours asked for, at least 2 needed"};
  if (!std::isfinite(s.box) || s.box < 0)
    return failure{exit_status::internal, "density: the box side is " + number(s.box) + ", not 0 or above"};
  if (!std::isfinite(s.mean_density) || !(s.mean_density > 0))
    return failure{exit_status::internal, "density: the mean density is " + number(s.mean_density) + ", not above 0"};
  constexpr std::size_t most = std::numeric_limits<std::uint32_t>::max();
  if (sources.x.size() >= most || targets.x.size() >= most)
    return failure{exit_status::internal, "density: more than 4294967294 particles in one set"};
  if (sources.x.size() < static_cast<std::size_t>(s.neighbours))
    return failure{exit_status::bad_snapshot, "density: " + std::to_string(sources.x.size()) +
                                                  " source particles, fewer than the " + std::to_string(s.neighbours) +
                                                  " neighbours asked for"};
  return {};
}

stage_status estimate(const point_tree& src, const point_tree& tgt, const density_settings& s, density_result& out) {
  const std::size_t n = tgt.x.size();
  try {
    out.rho.assign(n, 0);
    out.reach.assign(n, 0);
  } catch (const std::bad_alloc&) {
    return failure{exit_status::memory, "density: no memory for the densities of " + std::to_string(n) + " particles"};
  }
  if (n == 0) return {};
  double scale = s.box;
  if (scale == 0)
    for (const tree_node* r : {&src.nodes[0], &tgt.nodes[0]})
      for (int a = 0; a < 3; ++a)
        scale = std::max({scale, std::abs(static_cast<double>(r->lo[a])), std::abs(static_cast<double>(r->hi[a]))});
  const search_space space{src,
                           tgt,
                           static_cast<std::uint32_t>(s.neighbours),
                           s.box,
                           scale,
                           s.mean_density,
                           density_detail::scan_kernels.get(),
                           density_detail::spline_sum_kernels.get()};

  std::vector<std::uint32_t> groups;
  try {
    groups = groups_of(tgt);
  } catch (const std::bad_alloc&) {
    return failure{exit_status::memory, "density: no memory for the groups of " + std::to_string(n) + " targets"};
  }
  const std::size_t chunks = (groups.size() + groups_per_chunk - 1) / groups_per_chunk;
  const int parts =
      static_cast<int>(std::clamp<std::size_t>(chunks, 1, static_cast<std::size_t>(std::max(s.threads, 1))));
  problems trouble;
  std::atomic<std::size_t> next{0};
  density_detail::for_each_part(parts, [&](int) {
    try {
      searcher search(space);
      for (std::size_t c = next.fetch_add(1); c < chunks; c = next.fetch_add(1)) {
        if (trouble.stop.load(std::memory_order_relaxed)) return;
        double guess = 0;
        const std::size_t last = std::min(groups.size(), (c + 1) * groups_per_chunk);
        for (std::size_t g = c * groups_per_chunk; g < last; ++g)
          search.group(tgt.nodes[groups[g]], guess, out, trouble);
      }
    } catch (const std::bad_alloc&) {
      const std::lock_guard<std::mutex> hold(trouble.lock);
      trouble.no_memory = true;
      trouble.stop.store(true, std::memory_order_relaxed);
    }
  });
  if (trouble.no_memory) return failure{exit_status::memory, "density: no memory for the neighbour searches"};
  if (trouble.first.target != std::numeric_limits<std::int64_t>::max()) {
    const crowded& c = trouble.first;
    return failure{exit_status::bad_snapshot,
                   "density: " + std::to_string(sources_at(src, c.x, c.y, c.z, s.box)) +
                       " source particles at one position (" + number(c.x) + " " + number(c.y) + " " + number(c.z) +
                       "), target " + std::to_string(c.target) + ", as many as the " + std::to_string(s.neighbours) +
                       " neighbours or more: its smoothing length would be 0"};
  }
  return {};
}

}  // namespace

stage_status knn_density(const point_set& sources, const point_set& targets, const density_settings& s,
                         density_result& out) {
  if (stage_status ok = check_settings(sources, targets, s); ok.failed()) return ok;
  point_tree src, tgt;
  if (stage_status ok = density_detail::build_tree(sources, s.box, leaf_size, s.threads, "source", src); ok.failed())
    return ok;
  if (targets.x.empty()) {
    out.rho.clear();
    out.reach.clear();
    return {};
  }
  if (stage_status ok = density_detail::build_tree(targets, s.box, leaf_size, s.threads, "target", tgt); ok.failed())
    return ok;
  return estimate(src, tgt, s, out);
}

stage_status knn_density(const point_set& particles, const density_settings& s, density_result& out) {
  if (stage_status ok = check_settings(particles, particles, s); ok.failed()) return ok;
  point_tree tree;
  if (stage_status ok = density_detail::build_tree(particles, s.box, leaf_size, s.threads, "source", tree); ok.failed())
    return ok;
  return estimate(tree, tree, s, out);
}

}  // namespace haloprof
