// Which halo centres lie within reach of a point: a grid of cells at least as wide as the
// largest reach, each listing the centres of the 27 cells around it, so that a point looks
// at its own cell's list only; in a periodic box distances are to the nearest image.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace haloprof {

// The difference a - b along an axis of a periodic box of side `box` (0: no box), taken to
// the nearest image: in [-box/2, box/2].
inline double image_difference(double a, double b, double box) {
  double d = a - b;
  if (box > 0) {
    if (d > 0.5 * box) d -= box;
    if (d < -0.5 * box) d += box;
  }
  return d;
}

struct centre {
  double x[3];
  double reach;  // a point belongs to the centre when its distance is at most this
};

class centre_grid {
 public:
  // The centres, in [0, box) where there is a box; with no box (0) the grid covers the
  // centres' bounding box grown by their reach.
  centre_grid(const std::vector<centre>& centres, double box);

  // Calls found(k, d2) for every centre k within its reach of p, d2 the squared distance.
  template <typename Found>
  void near(const double* p, Found found) const {
    std::int64_t cell[3];
    for (int a = 0; a < 3; ++a) {
      const double c = std::floor((p[a] - origin_[a]) / width_[a]);
      if (box_ > 0) {
        cell[a] = std::clamp(static_cast<std::int64_t>(c), std::int64_t{0}, cells_[a] - 1);
      } else {
        if (!(c >= 0) || !(c < static_cast<double>(cells_[a]))) return;  // beyond every reach
        cell[a] = static_cast<std::int64_t>(c);
      }
    }
    const auto u = static_cast<std::size_t>((cell[2] * cells_[1] + cell[1]) * cells_[0] + cell[0]);
    for (std::size_t j = start_[u]; j < start_[u + 1]; ++j) {
      const centre& h = centres_[members_[j]];
      const double ex = image_difference(p[0], h.x[0], box_), ey = image_difference(p[1], h.x[1], box_),
                   ez = image_difference(p[2], h.x[2], box_);
      const double d2 = (ex * ex + ey * ey) + ez * ez;
      if (d2 <= h.reach * h.reach) found(members_[j], d2);
    }
  }

 private:
  // The cell at (i, j, k), wrapped in a box; -1 outside the grid where there is no box.
  std::int64_t cell_index(std::int64_t i, std::int64_t j, std::int64_t k) const;

  std::vector<centre> centres_;
  double box_;
  double origin_[3] = {0, 0, 0};
  double width_[3] = {1, 1, 1};
  std::int64_t cells_[3] = {1, 1, 1};
  // The centres that may lie within reach of a point of cell c (those of the 27 cells around
  // it): members_[start_[c], start_[c + 1]).
  std::vector<std::size_t> start_;
  std::vector<std::size_t> members_;
};

}  // namespace haloprof
