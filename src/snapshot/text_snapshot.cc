// haloprof's text form as a snapshot: the particles of one type (1), read whole by haloprof's
// own reader, in haloprof's units: a whole periodic box at the mean density of 160^3
// particles per unit volume (so of side cbrt(N / 160^3), as halogen --shape box writes it),
// 21100 mass units a particle, velocities as written, and a density per particle.
#include <algorithm>
#include <cmath>

#include "core/run_state.h"
#include "core/shown.h"
#include "input/load.h"
#include "input/mapped_file.h"
#include "snapshot/formats.h"

namespace haloprof {
namespace {

constexpr double mean_density = mean_number_density;  // haloprof's (core/run_state.h)

class text_reader final : public snapshot_reader {
 public:
  text_reader(snapshot_info info, run_state data) : info_(std::move(info)), data_(std::move(data)) {}
  const snapshot_info& info() const override { return info_; }

  stage_status read(unsigned types, unsigned fields, std::size_t chunk, const chunk_sink& use) override {
    if ((types >> 1 & 1u) == 0 || data_.nhalos == 0) return {};
    chunk = std::clamp<std::size_t>(chunk, 1, std::size_t{1} << 20);
    const auto n_all = static_cast<std::size_t>(data_.nhalos);
    const std::size_t n_max = std::min(chunk, n_all);
    std::vector<double> pos((fields & positions) ? 3 * n_max : 0), vel((fields & velocities) ? 3 * n_max : 0);
    std::vector<double> dens((fields & densities) ? n_max : 0), mass((fields & masses) ? n_max : 0);
    std::vector<std::uint64_t> id((fields & ids) ? n_max : 0);
    for (std::size_t first = 0; first < n_all; first += n_max) {
      const std::size_t n = std::min(n_max, n_all - first);
      particle_chunk c;
      c.type = 1;
      c.first = first;
      c.n = n;
      for (std::size_t k = 0; k < n; ++k) {
        const auto i = static_cast<std::int64_t>(first + k);
        if (!pos.empty()) {
          pos[3 * k] = data_.xpar[i];
          pos[3 * k + 1] = data_.ypar[i];
          pos[3 * k + 2] = data_.zpar[i];
        }
        if (!vel.empty()) {
          vel[3 * k] = data_.vx[i];
          vel[3 * k + 1] = data_.vy[i];
          vel[3 * k + 2] = data_.vz[i];
        }
        if (!dens.empty()) dens[k] = data_.dens[i];
        if (!id.empty()) id[k] = first + k + 1;  // the record's place in the list, from 1
      }
      if (!pos.empty()) c.pos = {pos.data(), 3 * n};
      if (!vel.empty()) c.vel = {vel.data(), 3 * n};
      if (!dens.empty()) c.dens = {dens.data(), n};
      if (!id.empty()) c.id = {id.data(), n};
      if (stage_status s = use(c); s.failed()) return s;
    }
    return {};
  }

 private:
  snapshot_info info_;
  run_state data_;
};

}  // namespace

stage_status open_text_snapshot(const std::string& path, std::unique_ptr<snapshot_reader>& reader, int threads) {
  mapped_file file;
  std::string why;
  if (!file.open(path, why)) {
    if (file.out_of_memory())
      return failure{exit_status::memory, "cannot map snapshot '" + shown_name(path) + "' into memory: " + why};
    return failure{exit_status::cannot_open, "cannot open snapshot '" + shown_name(path) + "': " + why};
  }
  run_state data;
  snapshot_findings found;
  const read_observer observer{.progress = {}, .release = [&](const char* upto) { file.release_before(upto); }};
  const stage_status loaded =
      load_snapshot(data, file.begin(), file.end(), shown_name(path), found, observer, {.threads = threads});
  if (file.changed())
    return failure{exit_status::snapshot_changed, "snapshot '" + shown_name(path) + "' changed while being read"};
  // Anything that is neither a Gadget-2 binary nor HDF5 comes here: say so with the text's fault.
  if (loaded.failed() && loaded->status == exit_status::bad_snapshot)
    return failure{exit_status::bad_snapshot,
                   loaded->message + " (read as haloprof's text form: the file is neither a Gadget-2 binary nor HDF5)"};
  if (loaded.failed()) return loaded;

  snapshot_info info;
  info.format = "haloprof text";
  info.files = {path};
  info.count[1] = static_cast<std::uint64_t>(data.nhalos);
  info.mass_table[1] = static_cast<double>(particle_mass);
  info.redshift = data.redshift;
  info.box = std::cbrt(static_cast<double>(data.nhalos) / mean_density);
  info.has_densities = true;
  reader = std::make_unique<text_reader>(std::move(info), std::move(data));
  return {};
}

}  // namespace haloprof
