#include "cut/grid.h"

#include <algorithm>

namespace haloprof {

centre_grid::centre_grid(const std::vector<centre>& centres, double box) : centres_(centres), box_(box) {
  double widest = 0;
  for (const centre& c : centres_) widest = std::max(widest, c.reach);
  // Cells no narrower than the widest reach, at most 64 a side (the 27 around a point's cell
  // then hold every centre within reach of it).
  for (int a = 0; a < 3; ++a) {
    double low = 0, high = box;
    if (box == 0) {
      low = centres_.empty() ? 0 : centres_.front().x[a];
      high = low;
      for (const centre& c : centres_) {
        low = std::min(low, c.x[a] - c.reach);
        high = std::max(high, c.x[a] + c.reach);
      }
    }
    const double extent = std::max(high - low, 1e-300);
    const double fit = widest > 0 ? std::floor(extent / widest) : 64;
    cells_[a] = static_cast<std::int64_t>(std::clamp(fit, 1.0, 64.0));
    width_[a] = extent / static_cast<double>(cells_[a]);
    origin_[a] = low;
  }
  const auto cell_count = static_cast<std::size_t>(cells_[0] * cells_[1] * cells_[2]);
  // Each centre's own cell, then the lists of the 27 cells around each cell.
  std::vector<std::vector<std::size_t>> own(cell_count);
  for (std::size_t k = 0; k < centres_.size(); ++k) {
    std::int64_t at[3];
    for (int a = 0; a < 3; ++a)
      at[a] = std::clamp(static_cast<std::int64_t>(std::floor((centres_[k].x[a] - origin_[a]) / width_[a])),
                         std::int64_t{0}, cells_[a] - 1);
    own[static_cast<std::size_t>((at[2] * cells_[1] + at[1]) * cells_[0] + at[0])].push_back(k);
  }
  start_.assign(cell_count + 1, 0);
  std::vector<std::size_t> around;
  for (std::int64_t k = 0; k < cells_[2]; ++k)
    for (std::int64_t j = 0; j < cells_[1]; ++j)
      for (std::int64_t i = 0; i < cells_[0]; ++i) {
        around.clear();
        for (int dz = -1; dz <= 1; ++dz)
          for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
              const std::int64_t c = cell_index(i + dx, j + dy, k + dz);
              if (c >= 0)
                around.insert(around.end(), own[static_cast<std::size_t>(c)].begin(),
                              own[static_cast<std::size_t>(c)].end());
            }
        // A box of fewer than three cells a side meets a cell twice.
        std::sort(around.begin(), around.end());
        around.erase(std::unique(around.begin(), around.end()), around.end());
        members_.insert(members_.end(), around.begin(), around.end());
        start_[static_cast<std::size_t>((k * cells_[1] + j) * cells_[0] + i) + 1] = members_.size();
      }
}

std::int64_t centre_grid::cell_index(std::int64_t i, std::int64_t j, std::int64_t k) const {
  std::int64_t at[3] = {i, j, k};
  for (int a = 0; a < 3; ++a) {
    if (box_ > 0) {
      at[a] = ((at[a] % cells_[a]) + cells_[a]) % cells_[a];
    } else if (at[a] < 0 || at[a] >= cells_[a]) {
      return -1;
    }
  }
  return (at[2] * cells_[1] + at[1]) * cells_[0] + at[0];
}

}  // namespace haloprof
