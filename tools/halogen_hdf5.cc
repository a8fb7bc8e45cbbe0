// halogen's HDF5 snapshots, laid out as Gadget-4 and SWIFT lay out theirs: the same groups,
// attributes (their types and shapes included) and datasets, so that a reader tested on
// them meets what those codes write.
//
// Each file is written under a temporary name beside its final one, synced, and renamed
// into place only when every file of the snapshot is complete: a failed write leaves
// nothing behind.
#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "snapshot/hdf5_id.h"
#include "synthetic_snapshot.h"

namespace {

using haloprof::hdf5_id;

template <typename T>
hid_t native();
template <>
hid_t native<double>() {
  return H5T_NATIVE_DOUBLE;
}
template <>
hid_t native<float>() {
  return H5T_NATIVE_FLOAT;
}
template <>
hid_t native<int>() {
  return H5T_NATIVE_INT;
}
template <>
hid_t native<unsigned>() {
  return H5T_NATIVE_UINT;
}
template <>
hid_t native<long long>() {
  return H5T_NATIVE_LLONG;
}
template <>
hid_t native<std::uint64_t>() {
  return H5T_NATIVE_UINT64;
}

hdf5_id group(hid_t parent, const char* name) {
  return hdf5_id(H5Gcreate2(parent, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
}

// An attribute holding a list of values (`scalar`: one value, in a scalar dataspace).
template <typename T>
bool put(const hdf5_id& object, const char* name, const std::vector<T>& values, bool scalar = false) {
  const hsize_t n = values.size();
  const hdf5_id space(scalar ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &n, nullptr));
  const hdf5_id a(object && space ? H5Acreate2(object.get(), name, native<T>(), space.get(), H5P_DEFAULT, H5P_DEFAULT)
                                  : H5I_INVALID_HID);
  return a && H5Awrite(a.get(), native<T>(), values.data()) >= 0;
}

template <typename T>
bool put_scalar(const hdf5_id& object, const char* name, T value) {
  return put(object, name, std::vector<T>{value}, true);
}

bool put_text(const hdf5_id& object, const char* name, const std::string& value) {
  const hdf5_id type(H5Tcopy(H5T_C_S1)), space(H5Screate(H5S_SCALAR));
  if (!type || !space || H5Tset_size(type.get(), std::max<std::size_t>(value.size(), 1)) < 0) return false;
  const hdf5_id a(object ? H5Acreate2(object.get(), name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT)
                         : H5I_INVALID_HID);
  return a && H5Awrite(a.get(), type.get(), value.c_str()) >= 0;
}

// A dataset of `rows` values (width 0) or rows of `width`, in one storage chunk of up to
// `chunk_rows` rows at a time when that is not 0.
template <typename T>
hdf5_id put_rows(const hdf5_id& parent, const char* name, const T* data, hsize_t rows, hsize_t width,
                 hsize_t chunk_rows = 0) {
  const hsize_t dims[2] = {rows, width};
  const int rank = width == 0 ? 1 : 2;
  const hdf5_id space(H5Screate_simple(rank, dims, nullptr)), create(H5Pcreate(H5P_DATASET_CREATE));
  if (!parent || !space || !create) return {};
  if (chunk_rows > 0) {
    const hsize_t chunk[2] = {std::min(chunk_rows, rows), width};
    if (H5Pset_chunk(create.get(), rank, chunk) < 0) return {};
  }
  hdf5_id d(H5Dcreate2(parent.get(), name, native<T>(), space.get(), H5P_DEFAULT, create.get(), H5P_DEFAULT));
  if (d && H5Dwrite(d.get(), native<T>(), H5S_ALL, H5S_ALL, H5P_DEFAULT, data) < 0) d.reset();
  return d;
}

// Gadget-4's description of a dataset's units: physical value = stored value x
// a^a_scaling x h^h_scaling x to_cgs.
bool gadget_scaling(const hdf5_id& d, double a, double h, double length, double mass, double velocity, double to_cgs) {
  return d && put_scalar(d, "a_scaling", a) && put_scalar(d, "h_scaling", h) &&
         put_scalar(d, "length_scaling", length) && put_scalar(d, "mass_scaling", mass) &&
         put_scalar(d, "velocity_scaling", velocity) && put_scalar(d, "to_cgs", to_cgs);
}

// SWIFT's: the exponents of its base units, of h and of a, and the factors to cgs.
bool swift_units(const hdf5_id& d, float mass, float length, float time, float a, double to_cgs, double scale_factor,
                 const char* expression, const char* description) {
  return d && put(d, "U_M exponent", std::vector<float>{mass}) && put(d, "U_L exponent", std::vector<float>{length}) &&
         put(d, "U_t exponent", std::vector<float>{time}) && put(d, "U_I exponent", std::vector<float>{0}) &&
         put(d, "U_T exponent", std::vector<float>{0}) && put(d, "h-scale exponent", std::vector<float>{0}) &&
         put(d, "a-scale exponent", std::vector<float>{a}) &&
         put(d, "Conversion factor to CGS (not including cosmological corrections)", std::vector<double>{to_cgs}) &&
         put(d, "Conversion factor to physical CGS (including cosmological corrections)",
             std::vector<double>{to_cgs * std::pow(scale_factor, static_cast<double>(a))}) &&
         put_text(d, "Expression for physical CGS units", expression) && put_text(d, "Description", description);
}

// The shortest text that reads back as `v`, as a parameter file would give it.
std::string shortest(double v) {
  char buffer[32];
  return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, v).ptr);
}

// The particles [first, first + n) of the snapshot go into each file.
struct file_part {
  int files;
  std::size_t first, n;
};

bool write_gadget4(hid_t file, const synthetic_snapshot& s, const file_part& p) {
  const double a = s.cosmological ? 1 / (1 + s.redshift) : 0;
  const auto type1 = [](std::uint64_t n) {
    std::vector<std::uint64_t> v(6, 0);
    v[1] = n;
    return v;
  };
  std::vector<double> mass_table(6, 0);
  mass_table[1] = s.particle_mass;
  const hdf5_id header = group(file, "Header"), parameters = group(file, "Parameters");
  const bool headers =
      put(header, "NumPart_ThisFile", type1(p.n)) && put(header, "NumPart_Total", type1(s.ids.size())) &&
      put(header, "MassTable", mass_table) && put_scalar(header, "Time", a) &&
      put_scalar(header, "Redshift", s.cosmological ? s.redshift : 0.0) && put_scalar(header, "BoxSize", s.box) &&
      put_scalar(header, "NumFilesPerSnapshot", p.files) &&
      put_scalar(parameters, "UnitLength_in_cm", s.length_in_cm) &&
      put_scalar(parameters, "UnitMass_in_g", s.mass_in_g) &&
      put_scalar(parameters, "UnitVelocity_in_cm_per_s", s.velocity_in_cm_per_s) &&
      put_scalar(parameters, "ComovingIntegrationOn", s.cosmological ? 1 : 0) &&
      put_scalar(parameters, "Omega0", s.omega0) && put_scalar(parameters, "OmegaLambda", s.omega_lambda) &&
      put_scalar(parameters, "HubbleParam", s.hubble) && put_scalar(parameters, "BoxSize", s.box);
  if (!headers || p.n == 0) return headers;  // a file without particles has no particle group

  // Gadget's velocity variable u = v / sqrt(a), in a cosmological run.
  const double to_u = s.cosmological ? 1 / std::sqrt(a) : 1;
  std::vector<float> u(s.vel.begin() + static_cast<std::ptrdiff_t>(3 * p.first),
                       s.vel.begin() + static_cast<std::ptrdiff_t>(3 * (p.first + p.n)));
  for (float& x : u) x = static_cast<float>(x * to_u);
  const hdf5_id particles = group(file, "PartType1");
  return gadget_scaling(put_rows(particles, "Coordinates", &s.pos[3 * p.first], p.n, 3), 1, -1, 1, 0, 0,
                        s.length_in_cm) &&
         gadget_scaling(put_rows(particles, "Velocities", u.data(), p.n, 3), 0.5, 0, 0, 0, 1, s.velocity_in_cm_per_s) &&
         gadget_scaling(put_rows(particles, "ParticleIDs", &s.ids[p.first], p.n, 0), 0, 0, 0, 0, 0, 0);
}

bool write_swift(hid_t file, const synthetic_snapshot& s, const file_part& p) {
  // SWIFT's units carry no h: the unit of length is one of the snapshot's kpc/h (or
  // whatever it is), in cm, so that the stored numbers stay the snapshot's own.
  const double length = s.length_in_cm / s.hubble, mass = s.mass_in_g / s.hubble;
  const double time = length / s.velocity_in_cm_per_s;
  const double a = s.cosmological ? 1 / (1 + s.redshift) : 1;
  // The cosmic time at a of a flat universe of matter and a cosmological constant, in the
  // unit of time: what SWIFT's Time is in a cosmological run.
  const double hubble_time = 3.0856775814913673e24 / (1e7 * s.hubble) / time;  // 1/H0
  const double age = s.omega_lambda > 0 ? 2 * hubble_time / (3 * std::sqrt(s.omega_lambda)) *
                                              std::asinh(std::sqrt(s.omega_lambda / s.omega0) * std::pow(a, 1.5))
                                        : 2 * hubble_time / (3 * std::sqrt(s.omega0)) * std::pow(a, 1.5);
  const auto type1 = [](auto n) {
    std::vector<decltype(n)> v(7, 0);
    v[1] = n;
    return v;
  };
  const auto one = [](auto v) { return std::vector<decltype(v)>{v}; };
  const std::uint64_t total = s.ids.size();
  const hdf5_id header = group(file, "Header"), cosmology = group(file, "Cosmology"), units = group(file, "Units"),
                runtime = group(file, "RuntimePars"), policy = group(file, "Policy"),
                parameters = group(file, "Parameters");
  const bool headers =
      put(header, "BoxSize", std::vector<double>(3, s.box)) && put_text(header, "Code", "SWIFT") &&
      put(header, "Dimension", one(3)) && put(header, "MassTable", std::vector<double>(7, 0)) &&
      put(header, "NumFilesPerSnapshot", one(p.files)) &&
      put(header, "NumPart_ThisFile", type1(static_cast<long long>(p.n))) &&
      put(header, "NumPart_Total", type1(static_cast<unsigned>(total & 0xffffffffu))) &&
      put(header, "NumPart_Total_HighWord", type1(static_cast<unsigned>(total >> 32))) &&
      put(header, "Redshift", one(s.cosmological ? s.redshift : 0.0)) && put(header, "Scale-factor", one(a)) &&
      put(header, "Time", one(s.cosmological ? age : 0.0)) &&
      put(cosmology, "Cosmological run", one(s.cosmological ? 1 : 0)) && put(cosmology, "Omega_m", one(s.omega0)) &&
      put(cosmology, "Omega_lambda", one(s.omega_lambda)) && put(cosmology, "h", one(s.hubble)) &&
      put(cosmology, "Redshift", one(s.cosmological ? s.redshift : 0.0)) && put(cosmology, "Scale-factor", one(a)) &&
      put(units, "Unit length in cgs (U_L)", one(length)) && put(units, "Unit mass in cgs (U_M)", one(mass)) &&
      put(units, "Unit time in cgs (U_t)", one(time)) && put(units, "Unit current in cgs (U_I)", one(1.0)) &&
      put(units, "Unit temperature in cgs (U_T)", one(1.0)) && put(runtime, "PeriodicBoundariesOn", one(1)) &&
      put(policy, "self gravity", one(1)) && put(policy, "cosmological integration", one(s.cosmological ? 1 : 0)) &&
      put_text(parameters, "Cosmology:h", shortest(s.hubble)) &&
      put_text(parameters, "Cosmology:Omega_lambda", shortest(s.omega_lambda)) &&
      put_text(parameters, "InternalUnitSystem:UnitLength_in_cgs", shortest(length));
  if (!headers || p.n == 0) return headers;

  // Positions in double, velocities peculiar, a mass per particle: as SWIFT stores them, in
  // storage chunks.
  constexpr hsize_t chunk = 65536;
  const std::vector<double> x(s.pos.begin() + static_cast<std::ptrdiff_t>(3 * p.first),
                              s.pos.begin() + static_cast<std::ptrdiff_t>(3 * (p.first + p.n)));
  const std::vector<float> m(p.n, static_cast<float>(s.particle_mass));
  const hdf5_id particles = group(file, "PartType1");
  return swift_units(put_rows(particles, "Coordinates", x.data(), p.n, 3, chunk), 0, 1, 0, 1, length, a, "a U_L",
                     "Co-moving position of the particles") &&
         swift_units(put_rows(particles, "Velocities", &s.vel[3 * p.first], p.n, 3, chunk), 0, 1, -1, 0, length / time,
                     a, "U_L U_t^-1", "Peculiar velocities of the particles. This is a * dx/dt") &&
         swift_units(put_rows(particles, "Masses", m.data(), p.n, 0, chunk), 1, 0, 0, 0, mass, a, "U_M",
                     "Masses of the particles") &&
         swift_units(put_rows(particles, "ParticleIDs", &s.ids[p.first], p.n, 0, chunk), 0, 0, 0, 0, 1, a, "[ - ] ",
                     "Unique ID of the particles");
}

std::string reason(const char* fallback) { return errno != 0 ? std::strerror(errno) : fallback; }

}  // namespace

bool write_hdf5(const std::string& path, const synthetic_snapshot& s, const hdf5_options& o, std::string& error) {
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // no error stacks on standard error
  const int files = std::max(o.files, 1);
  const std::size_t n = s.ids.size();
  if (s.pos.size() != 3 * n || s.vel.size() != 3 * n) {
    error = "the snapshot's positions, velocities and ids differ in number";
    return false;
  }
  std::vector<std::string> names, temporary;
  const std::string stem = path.size() > 5 && path.ends_with(".hdf5") ? path.substr(0, path.size() - 5) : path;
  for (int k = 0; k < files; ++k) {
    names.push_back(files == 1 ? path : stem + "." + std::to_string(k) + ".hdf5");
    temporary.push_back(names.back() + ".tmp" + std::to_string(getpid()));
  }
  std::size_t made = 0, renamed = 0;
  const auto undo = [&](const std::string& message) {
    for (std::size_t k = 0; k < renamed; ++k) unlink(names[k].c_str());
    for (std::size_t k = renamed; k < made; ++k) unlink(temporary[k].c_str());
    error = message;
    return false;
  };
  for (int k = 0; k < files; ++k) {
    errno = 0;
    hdf5_id file(H5Fcreate(temporary[made].c_str(), H5F_ACC_EXCL, H5P_DEFAULT, H5P_DEFAULT));
    if (!file) return undo("cannot create '" + temporary[made] + "': " + reason("HDF5 could not create it"));
    ++made;
    const file_part part{files, n * static_cast<std::size_t>(k) / static_cast<std::size_t>(files),
                         n * static_cast<std::size_t>(k + 1) / static_cast<std::size_t>(files) -
                             n * static_cast<std::size_t>(k) / static_cast<std::size_t>(files)};
    errno = 0;
    const bool written =
        o.code == hdf5_options::layout::swift ? write_swift(file.get(), s, part) : write_gadget4(file.get(), s, part);
    if (!written || !file.reset())
      return undo("cannot write '" + temporary[made - 1] + "': " + reason("HDF5 could not write it"));
    const int fd = ::open(temporary[made - 1].c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    if (!synced) return undo("cannot sync '" + temporary[made - 1] + "': " + reason("unknown"));
  }
  for (; renamed < names.size(); ++renamed)
    if (std::rename(temporary[renamed].c_str(), names[renamed].c_str()) != 0)
      return undo("cannot rename '" + temporary[renamed] + "' to '" + names[renamed] + "': " + std::strerror(errno));
  return true;
}
