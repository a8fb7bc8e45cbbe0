// One timed density estimate over a set of positions, for bench/density-run: this library,
// or a kd-tree from nanoflann used as a user would (one knnSearch per particle in file order,
// the queries shared among threads, the same estimator in double precision).
//
//   density_bench haloprof|nanoflann FILE BOX THREADS [OUT]
//
// FILE holds single-precision x y z triples (as numpy's tofile writes an N x 3 array); BOX
// is the periodic box's side (0: none). Prints "method threads particles seconds", the
// seconds from positions in memory to densities in memory; OUT, if given, receives the
// densities as doubles. nanoflann knows no periodic box: in one, the particles within a
// margin of each face are copied to the images beyond the opposite faces first (ghosts),
// the margin four times the mean distance to the k-th neighbour.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nanoflann.hpp>

#include "density/density.h"

namespace {

constexpr int k = 32;
constexpr double pi = 3.14159265358979323846;

struct positions {
  std::vector<float> x, y, z;
};

bool read_positions(const char* name, positions& p) {
  FILE* f = std::fopen(name, "rb");
  if (f == nullptr) return false;
  float block[3 * 4096];
  for (std::size_t got; (got = std::fread(block, sizeof(float), 3 * 4096, f)) > 0;)
    for (std::size_t i = 0; i + 2 < got; i += 3) {
      p.x.push_back(block[i]);
      p.y.push_back(block[i + 1]);
      p.z.push_back(block[i + 2]);
    }
  std::fclose(f);
  return !p.x.empty();
}

double spline(double q) {
  if (q < 1) return 1 - 1.5 * q * q + 0.75 * q * q * q;
  if (q < 2) return 0.25 * (2 - q) * (2 - q) * (2 - q);
  return 0;
}

// The point cloud adaptor a nanoflann user writes: interleaved positions.
struct cloud {
  std::vector<float> xyz;
  std::size_t kdtree_get_point_count() const { return xyz.size() / 3; }
  float kdtree_get_pt(std::size_t i, std::size_t dim) const { return xyz[3 * i + dim]; }
  template <class Box>
  bool kdtree_get_bbox(Box&) const {
    return false;
  }
};
using kd_tree = nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<float, cloud>, cloud, 3>;

std::vector<double> nanoflann_density(const positions& p, double box, double mean, int threads) {
  const std::size_t n = p.x.size();
  cloud c;
  c.xyz.reserve(3 * n);
  for (std::size_t i = 0; i < n; ++i) c.xyz.insert(c.xyz.end(), {p.x[i], p.y[i], p.z[i]});
  if (box > 0) {
    const double margin = 4 * std::cbrt(3.0 * k / (4 * pi * mean));
    for (std::size_t i = 0; i < n; ++i) {
      const float v[3] = {p.x[i], p.y[i], p.z[i]};
      for (int sx = -1; sx <= 1; ++sx)
        for (int sy = -1; sy <= 1; ++sy)
          for (int sz = -1; sz <= 1; ++sz) {
            const int s[3] = {sx, sy, sz};
            bool near = sx != 0 || sy != 0 || sz != 0;
            for (int a = 0; a < 3 && near; ++a) near = s[a] == 0 || (s[a] > 0 ? v[a] < margin : v[a] > box - margin);
            if (near)
              c.xyz.insert(c.xyz.end(), {static_cast<float>(v[0] + sx * box), static_cast<float>(v[1] + sy * box),
                                         static_cast<float>(v[2] + sz * box)});
          }
    }
  }
  kd_tree tree(3, c, nanoflann::KDTreeSingleIndexAdaptorParams(10));
  tree.buildIndex();
  std::vector<double> rho(n);
  const auto work = [&](std::size_t first, std::size_t last) {
    std::vector<unsigned> index(k);
    std::vector<float> d2(k);
    for (std::size_t i = first; i < last; ++i) {
      const float q[3] = {p.x[i], p.y[i], p.z[i]};
      tree.knnSearch(q, k, index.data(), d2.data());
      const double h = 0.5 * std::sqrt(static_cast<double>(d2[k - 1]));
      double sum = 0;
      for (int j = 0; j < k; ++j) sum += spline(std::sqrt(static_cast<double>(d2[j])) / h);
      rho[i] = sum / (pi * h * h * h) / mean;
    }
  };
  std::vector<std::thread> others;
  for (int t = 1; t < threads; ++t) others.emplace_back(work, n * t / threads, n * (t + 1) / threads);
  work(0, n / threads);
  for (auto& t : others) t.join();
  return rho;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: density_bench haloprof|nanoflann FILE BOX THREADS [OUT]\n");
    return 2;
  }
  const std::string_view method = argv[1];
  const double box = std::strtod(argv[3], nullptr);
  const int threads = std::max(1, std::atoi(argv[4]));
  positions p;
  if (!read_positions(argv[2], p)) {
    std::fprintf(stderr, "density_bench: cannot read positions from %s\n", argv[2]);
    return 1;
  }
  const std::size_t n = p.x.size();
  double mean = 1;
  if (box > 0) mean = static_cast<double>(n) / (box * box * box);

  const auto start = std::chrono::steady_clock::now();
  std::vector<double> rho;
  if (method == "haloprof") {
    haloprof::density_settings s;
    s.neighbours = k;
    s.box = box;
    s.mean_density = mean;
    s.threads = threads;
    haloprof::density_result out;
    const haloprof::stage_status status = haloprof::knn_density({p.x, p.y, p.z}, s, out);
    if (status.failed()) {
      std::fprintf(stderr, "%s\n", status->message.c_str());
      return 1;
    }
    rho = std::move(out.rho);
  } else if (method == "nanoflann") {
    rho = nanoflann_density(p, box, mean, threads);
  } else {
    std::fprintf(stderr, "density_bench: unknown method %s\n", argv[1]);
    return 2;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s %d %zu %.6f\n", argv[1], threads, n, seconds);
  if (argc > 5) {
    FILE* f = std::fopen(argv[5], "wb");
    if (f == nullptr || std::fwrite(rho.data(), sizeof(double), n, f) != n || std::fclose(f) != 0) {
      std::fprintf(stderr, "density_bench: cannot write %s\n", argv[5]);
      return 1;
    }
  }
  return 0;
}
