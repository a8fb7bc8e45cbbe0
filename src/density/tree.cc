#include "density/tree.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "density/parts.h"

namespace haloprof::density_detail {
namespace {

constexpr int key_bits = 21;  // per axis: 63 bits of key in all
constexpr int digit_bits = 11;
constexpr std::uint32_t digits = 1u << digit_bits;

// The 21 low bits of v spread to every third bit.
std::uint64_t spread(std::uint64_t v) {
  v &= 0x1fffff;
  v = (v | v << 32) & 0x1f00000000ffffULL;
  v = (v | v << 16) & 0x1f0000ff0000ffULL;
  v = (v | v << 8) & 0x100f00f00f00f00fULL;
  v = (v | v << 4) & 0x10c30c30c30c30c3ULL;
  v = (v | v << 2) & 0x1249249249249249ULL;
  return v;
}

// The cube the keys divide: its corner and 2^21 over its side.
struct key_frame {
  double lo[3];
  double scale;

  std::uint64_t key(float x, float y, float z) const {
    const double top = (1 << key_bits) - 1;
    const auto cell = [&](float v, int a) {
      return static_cast<std::uint64_t>(std::clamp((static_cast<double>(v) - lo[a]) * scale, 0.0, top));
    };
    return spread(cell(x, 0)) << 2 | spread(cell(y, 1)) << 1 | spread(cell(z, 2));
  }
};

// Sorts the keys with their indices, stably, by 11-bit digits from the lowest; a digit that
// every key shares takes no pass.
void sort_keys(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& index, int parts) {
  const std::int64_t n = static_cast<std::int64_t>(keys.size());
  std::vector<std::uint64_t> keys2(keys.size());
  std::vector<std::uint32_t> index2(index.size());
  std::vector<std::array<std::uint32_t, digits>> counts(static_cast<std::size_t>(parts));
  for (int shift = 0; shift < 3 * key_bits; shift += digit_bits) {
    for_each_part(parts, [&](int p) {
      auto& c = counts[static_cast<std::size_t>(p)];
      c.fill(0);
      for (std::int64_t i = part_begin(n, parts, p), e = part_begin(n, parts, p + 1); i < e; ++i)
        ++c[(keys[static_cast<std::size_t>(i)] >> shift) & (digits - 1)];
    });
    // Offsets: digit by digit, within a digit part by part, so that the order is stable.
    std::uint32_t total = 0;
    bool one_digit = false;
    for (std::uint32_t d = 0; d < digits; ++d) {
      const std::uint32_t before = total;
      for (auto& c : counts) {
        const std::uint32_t m = c[d];
        c[d] = total;
        total += m;
      }
      if (total - before == static_cast<std::uint64_t>(n)) one_digit = true;
    }
    if (one_digit) continue;
    for_each_part(parts, [&](int p) {
      auto& c = counts[static_cast<std::size_t>(p)];
      for (std::int64_t i = part_begin(n, parts, p), e = part_begin(n, parts, p + 1); i < e; ++i) {
        const std::uint64_t k = keys[static_cast<std::size_t>(i)];
        const std::uint32_t to = c[(k >> shift) & (digits - 1)]++;
        keys2[to] = k;
        index2[to] = index[static_cast<std::size_t>(i)];
      }
    });
    keys.swap(keys2);
    index.swap(index2);
  }
}

class builder {
 public:
  builder(const std::vector<std::uint64_t>& keys, int leaf_size, point_tree& t)
      : keys_(keys), leaf_size_(static_cast<std::uint32_t>(leaf_size)), t_(t) {}

  // The node of the points [b, e), whose keys agree above bit `bit`; returns its index.
  std::uint32_t build(std::uint32_t b, std::uint32_t e, int bit) {
    while (e - b > leaf_size_ && bit >= 0) {
      const auto first = keys_.begin() + b, last = keys_.begin() + e;
      const std::uint32_t m = static_cast<std::uint32_t>(
          std::partition_point(first, last, [bit](std::uint64_t k) { return (k >> bit & 1) == 0; }) - keys_.begin());
      if (m == b || m == e) {  // all on one side: the cell halves once more
        --bit;
        continue;
      }
      const std::uint32_t self = add(b, e);
      build(b, m, bit - 1);
      const std::uint32_t second = build(m, e, bit - 1);
      tree_node& n = t_.nodes[self];
      n.second = second;
      const tree_node &l = t_.nodes[self + 1], &r = t_.nodes[second];
      for (int a = 0; a < 3; ++a) {
        n.lo[a] = std::min(l.lo[a], r.lo[a]);
        n.hi[a] = std::max(l.hi[a], r.hi[a]);
      }
      return self;
    }
    const std::uint32_t self = add(b, e);
    tree_node& n = t_.nodes[self];
    const std::vector<float>* axes[3] = {&t_.x, &t_.y, &t_.z};
    for (int a = 0; a < 3; ++a) {
      const auto [lo, hi] = std::minmax_element(axes[a]->begin() + b, axes[a]->begin() + e);
      n.lo[a] = *lo;
      n.hi[a] = *hi;
    }
    return self;
  }

 private:
  std::uint32_t add(std::uint32_t b, std::uint32_t e) {
    t_.nodes.push_back({{0, 0, 0}, {0, 0, 0}, b, e, 0});
    return static_cast<std::uint32_t>(t_.nodes.size() - 1);
  }

  const std::vector<std::uint64_t>& keys_;
  std::uint32_t leaf_size_;
  point_tree& t_;
};

}  // namespace

float into_box(float v, double box) {
  if (box <= 0 || (v >= 0 && static_cast<double>(v) <= box)) return v;
  const double r = static_cast<double>(v) - box * std::floor(static_cast<double>(v) / box);
  return static_cast<float>(std::clamp(r, 0.0, box));
}

stage_status build_tree(const point_set& p, double box, int leaf_size, int threads, std::string_view what,
                        point_tree& t) {
  const std::int64_t n = static_cast<std::int64_t>(p.x.size());
  // Threads only where each has work enough to pay for its start.
  const int parts = static_cast<int>(std::clamp<std::int64_t>(n / 65536, 1, std::max(threads, 1)));
  try {
    // A coordinate that is not finite would have no place on the curve.
    std::vector<std::int64_t> bad(static_cast<std::size_t>(parts), n);
    std::vector<std::array<double, 6>> bounds(static_cast<std::size_t>(parts));
    for_each_part(parts, [&](int q) {
      constexpr double inf = std::numeric_limits<double>::infinity();
      std::array<double, 6> b = {inf, inf, inf, -inf, -inf, -inf};
      for (std::int64_t i = part_begin(n, parts, q), e = part_begin(n, parts, q + 1); i < e; ++i) {
        const std::size_t u = static_cast<std::size_t>(i);
        const float v[3] = {p.x[u], p.y[u], p.z[u]};
        for (int a = 0; a < 3; ++a) {
          if (!std::isfinite(v[a])) {
            bad[static_cast<std::size_t>(q)] = i;
            return;
          }
          b[static_cast<std::size_t>(a)] = std::min<double>(b[static_cast<std::size_t>(a)], v[a]);
          b[static_cast<std::size_t>(a) + 3] = std::max<double>(b[static_cast<std::size_t>(a) + 3], v[a]);
        }
      }
      bounds[static_cast<std::size_t>(q)] = b;
    });
    const std::int64_t first_bad = *std::min_element(bad.begin(), bad.end());
    if (first_bad < n) {
      const std::size_t u = static_cast<std::size_t>(first_bad);
      return failure{exit_status::bad_snapshot,
                     "density: " + std::string(what) + " particle " + std::to_string(first_bad) +
                         " has a coordinate that is not a finite number (" + std::to_string(p.x[u]) + " " +
                         std::to_string(p.y[u]) + " " + std::to_string(p.z[u]) + ")"};
    }
    key_frame frame{};
    if (box > 0) {
      frame.lo[0] = frame.lo[1] = frame.lo[2] = 0;
      frame.scale = (1 << key_bits) / box;
    } else {
      double side = 0;
      for (int a = 0; a < 3; ++a) {
        double lo = bounds[0][static_cast<std::size_t>(a)], hi = bounds[0][static_cast<std::size_t>(a) + 3];
        for (const auto& b : bounds) {
          lo = std::min(lo, b[static_cast<std::size_t>(a)]);
          hi = std::max(hi, b[static_cast<std::size_t>(a) + 3]);
        }
        frame.lo[a] = lo;
        side = std::max(side, hi - lo);
      }
      frame.scale = side > 0 ? (1 << key_bits) / side : 0;
    }

    t.order.resize(static_cast<std::size_t>(n));
    t.nodes.clear();
    {
      std::vector<std::uint64_t> keys(static_cast<std::size_t>(n));
      for_each_part(parts, [&](int q) {
        for (std::int64_t i = part_begin(n, parts, q), e = part_begin(n, parts, q + 1); i < e; ++i) {
          const std::size_t u = static_cast<std::size_t>(i);
          keys[u] = frame.key(into_box(p.x[u], box), into_box(p.y[u], box), into_box(p.z[u], box));
          t.order[u] = static_cast<std::uint32_t>(i);
        }
      });
      sort_keys(keys, t.order, parts);
      // Taken only now: the sort's second buffers are given back.
      t.x.assign(static_cast<std::size_t>(n), 0);
      t.y.assign(static_cast<std::size_t>(n), 0);
      t.z.assign(static_cast<std::size_t>(n), 0);
      for_each_part(parts, [&](int q) {
        for (std::int64_t i = part_begin(n, parts, q), e = part_begin(n, parts, q + 1); i < e; ++i) {
          const std::size_t u = static_cast<std::size_t>(i), from = t.order[u];
          t.x[u] = into_box(p.x[from], box);
          t.y[u] = into_box(p.y[from], box);
          t.z[u] = into_box(p.z[from], box);
        }
      });
      t.nodes.reserve(static_cast<std::size_t>(n / std::max(leaf_size / 2, 1) + 16));
      builder(keys, leaf_size, t).build(0, static_cast<std::uint32_t>(n), 3 * key_bits - 1);
    }
    t.nodes.shrink_to_fit();
  } catch (const std::bad_alloc&) {
    return failure{exit_status::memory,
                   "density: no memory for the tree of " + std::to_string(n) + " " + std::string(what) + " particles"};
  }
  return {};
}

}  // namespace haloprof::density_detail
