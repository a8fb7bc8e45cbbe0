// The run state shared by the three stages, and the way a stage reports failure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>

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

// Everything a run hands from stage to stage. All numbers start at zero.
struct run_state {
  static constexpr int ntab = 60;  // highest shell index: 61 shells, 0..60

  std::int64_t nhalos = 0;  // number of particles (not halos)

  // Per-shell sums while binning, finished values in the report.
  std::array<double, ntab + 1> dprof{}, vrad{}, vrad2{}, vrms{}, vtan{};
  std::array<std::int64_t, ntab + 1> nprof{};

  double rad = 0;                 // initial search radius
  double xc = 0, yc = 0, zc = 0;  // halo center, in the frame shifted by the offset
  double x0 = 0, y0 = 0, z0 = 0;  // offset: the densest particle of the file
  double vxc = 0, vyc = 0, vzc = 0;  // bulk velocity

  particle_array xpar, ypar, zpar, dens;
  particle_array vx, vy, vz;

  float redshift = 0;

  int threads = 1;  // threads the stages may use (the driver gives them every usable core)
};

// Exit statuses, one per failure class.
enum class exit_status : int {
  ok = 0,
  internal = 1,        // an unexpected failure inside the program
  no_file_name = 2,    // standard input supplied no snapshot name
  cannot_open = 3,     // the snapshot cannot be opened or read
  bad_snapshot = 4,    // the snapshot's text is not a valid header and particle list
  memory = 5,          // the particle arrays, or the snapshot's mapping, cannot be had
  report = 6,          // HaloProperties.dat cannot be opened or written
  radius = 7,          // a particle fell outside the 61 shells
  snapshot_changed = 8,  // the snapshot was cut shorter or written to while it was read
  console_lost = 9,      // a complete run whose report was written, but standard output failed
};

// A fatal condition: the status to exit with and the one line to print on standard error.
struct failure {
  exit_status status;
  std::string message;
};

// What a stage returns: success, or the fatal condition that ends the run. Ask it with
// ok() or failed(); it has no conversion to bool, whose meaning would be a guess.
class [[nodiscard]] stage_status {
 public:
  stage_status() = default;  // success
  stage_status(failure f) : failure_(std::move(f)) {}  // NOLINT: a failure is a status

  bool ok() const { return !failure_.has_value(); }
  bool failed() const { return failure_.has_value(); }
  // The failure; only when failed().
  const failure* operator->() const { return &*failure_; }

 private:
  std::optional<failure> failure_;
};

}  // namespace haloprof
