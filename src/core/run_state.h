// The run state shared by the three stages.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "core/status.h"

namespace haloprof {

// One particle attribute, single precision, zero-based (particle i of the file is element i-1).
// Elements are left uninitialised on creation: the loading pass writes every one.
class particle_array {
 public:
  particle_array() = default;
  // Returns false when the memory cannot be had. Elements held before are given back first.
  bool allocate(std::int64_t n);
  void clear() { data_.reset(); }  // gives the elements back
  // Gives back the elements from n on (the first n stay as they are).
  void shrink(std::int64_t n);
  float& operator[](std::int64_t i) { return data_[i]; }
  float operator[](std::int64_t i) const { return data_[i]; }
  float* data() { return data_.get(); }
  const float* data() const { return data_.get(); }

 private:
  struct release {
    void operator()(float* p) const { std::free(p); }
  };
  std::unique_ptr<float[], release> data_;
};

// The seven values of a particle record, in the order the snapshot lists them.
enum class column : int { x, y, z, vx, vy, vz, dens };
inline constexpr int column_count = 7;
inline constexpr std::array<std::string_view, column_count> column_names = {"x", "y", "z", "vx", "vy", "vz", "dens"};

// "7 values (x y z vx vy vz dens)", for messages about a record.
std::string record_values_named();

// haloprof's units: lengths in which the mean particle number density is 160^3 per unit
// volume, and masses of 21100 a particle (single-precision constants, exact).
inline constexpr float mean_number_density = 4096000.0f;
inline constexpr float particle_mass = 21100.0f;

// The initial search radius: the single-precision 0.05 widened, 0.05000000074505806, not
// the double nearest 0.05.
inline constexpr double initial_search_radius = static_cast<double>(0.05f);

// Everything a run hands from stage to stage. All numbers start at zero.
struct run_state {
  static constexpr int ntab = 60;  // highest shell index: 61 shells, 0..60

  std::int64_t nhalos = 0;  // number of particles (not halos)

  // Per-shell sums while binning, finished values in the report.
  std::array<double, ntab + 1> dprof{}, vrad{}, vrad2{}, vrms{}, vtan{};
  std::array<std::int64_t, ntab + 1> nprof{};

  double rad = 0;                    // initial search radius
  double xc = 0, yc = 0, zc = 0;     // halo center, in the frame shifted by the offset
  double x0 = 0, y0 = 0, z0 = 0;     // offset: the densest particle of the file
  double vxc = 0, vyc = 0, vzc = 0;  // bulk velocity

  // The particle arrays, one per column; column_arrays() lists them in column order.
  particle_array xpar, ypar, zpar, dens;
  particle_array vx, vy, vz;

  float redshift = 0;

  int threads = 1;  // threads the stages may use (the driver gives them every usable core)

  std::array<particle_array*, column_count> column_arrays() { return {&xpar, &ypar, &zpar, &vx, &vy, &vz, &dens}; }
  // The arrays' elements, in column order, for the reader to write into.
  std::array<float*, column_count> column_data() {
    std::array<float*, column_count> p{};
    const auto arrays = column_arrays();
    for (std::size_t k = 0; k < p.size(); ++k) p[k] = arrays[k]->data();
    return p;
  }
};

}  // namespace haloprof
