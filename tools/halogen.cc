// halogen: writes a synthetic snapshot for haloprof.
//
// An NFW halo of N particles inside its virial radius (overdensity 200 over the mean
// density), with isotropic Gaussian velocities whose dispersion solves the spherical Jeans
// equation, plus a bulk velocity; a uniform background at the mean density fills a cube
// around it. Or (--shape box) a whole simulation box: 160^3 particles in the unit cube,
// a few such halos, the first the most massive and the densest, in a uniform background.
// Each particle carries a density estimate, in units of the mean density, that follows the
// profile with log-normal scatter. The numbers are written in one of the forms simulation
// codes and scripts write (C's printf forms, Fortran's E and D fields, shortest digits).
// The output is the same for the same options on every machine.
//
// The box can also be written as a simulation code writes its snapshots (Gadget-2 binary,
// HDF5), in a simulation's units: lengths in kpc/h, masses in 10^10 Msun/h, velocities in
// km/s, with a catalogue of its halos as a halo finder would list them.
#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/format.h"
#include "core/run_state.h"

#include "halogen_catalogue.h"
#include "synthetic_snapshot.h"

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double mean_density = haloprof::mean_number_density;  // particles per unit volume, 160^3
constexpr double overdensity = 200.0;                           // virial radius encloses 200 times the mean
constexpr std::int64_t box_particles = 160 * 160 * 160;

// xoshiro256**, seeded by splitmix64: fixed arithmetic, so the same stream everywhere.
class random_stream {
 public:
  explicit random_stream(std::uint64_t seed) {
    for (auto& s : s_) {
      seed += 0x9e3779b97f4a7c15ULL;
      std::uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
      s = z ^ (z >> 31);
    }
  }
  std::uint64_t next() {
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }
  // Uniform in (0, 1).
  double uniform() { return (static_cast<double>(next() >> 11) + 0.5) * 0x1.0p-53; }
  double gauss() {
    if (has_spare_) {
      has_spare_ = false;
      return spare_;
    }
    const double r = std::sqrt(-2.0 * std::log(uniform()));
    const double phi = 2.0 * pi * uniform();
    spare_ = r * std::sin(phi);
    has_spare_ = true;
    return r * std::cos(phi);
  }

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::uint64_t s_[4];
  double spare_ = 0;
  bool has_spare_ = false;
};

// How each value is written.
enum class form {
  single_g,  // g, e, f: the value rounded to single precision, --digits significant digits
  single_e,  //   (decimals for f), the shortest text that gives them
  single_f,
  printf_g,  // %.Pg, %.Pe, %.Pf: the double as C's printf writes it
  printf_e,
  printf_f,
  fortran,  // Ew.d or Dw.d: Fortran's fixed field of w columns, 0.<d digits>E+ee
};

enum class snapshot_shape { zoom, box };

enum class snapshot_format { text, gadget1, gadget2, hdf5, swift };

struct options {
  std::int64_t halo = 20000;
  double concentration = 8.0;
  std::uint64_t seed = 1;
  double box = 0.2;  // side of the background cube
  double center[3] = {0.512, 0.487, 0.503};
  double bulk[3] = {150.0, -80.0, 40.0};
  double redshift = 0.5;
  double rvir = 0;       // 0: the radius enclosing 200 times the mean density
  double scatter = 0.2;  // log-normal scatter of the density estimates, in e-folds
  int digits = 7;
  form format = form::single_g;
  int precision = 0;           // printf and Fortran forms: P, or d of Ew.d
  int width = 0;               // Fortran forms: w of Ew.d
  char exponent_letter = 'E';  // Fortran forms: E or D
  std::string separator = " ";
  snapshot_shape shape = snapshot_shape::zoom;
  bool shape_given = false;
  const char* output = nullptr;
  // The box as a simulation writes it.
  snapshot_format snapshot = snapshot_format::text;
  gadget_options gadget;
  int files = 1;
  double box_size = 100000;  // kpc/h
  bool non_cosmological = false;
  bool across_face = false;  // the last small halo across the x = 0 face, positions wrapped
  const char* catalogue = nullptr;
  catalogue_format catalogue_kind = catalogue_format::ahf;
};

// The radius enclosing n particles at 200 times the mean density.
double virial_radius(std::int64_t n) {
  return std::cbrt(3.0 * static_cast<double>(n) / (4.0 * pi * overdensity * mean_density));
}

// NFW enclosed mass in units of its scale: m(y) = ln(1 + y) - y / (1 + y).
double nfw_mass(double y) { return std::log1p(y) - y / (1.0 + y); }

// Radius (in virial units) enclosing the fraction u of the halo's particles.
double nfw_radius(double u, double c) {
  const double target = u * nfw_mass(c);
  double lo = 0, hi = 1;
  for (int k = 0; k < 60; ++k) {
    const double mid = 0.5 * (lo + hi);
    (nfw_mass(c * mid) < target ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

// Isotropic Jeans equation: sigma^2(x) = (1 / rho(x)) * integral_x^inf rho M / x'^2 dx',
// in units of the virial velocity squared, tabulated on a logarithmic grid of x = r/rvir.
class dispersion_table {
 public:
  explicit dispersion_table(double c) {
    const double lx_min = std::log(x_min), lx_max = std::log(x_max);
    step_ = (lx_max - lx_min) / (n - 1);
    auto rho = [c](double x) { return 1.0 / (c * x * (1.0 + c * x) * (1.0 + c * x)); };
    auto mass = [c](double x) { return nfw_mass(c * x) / nfw_mass(c); };
    auto integrand = [&](double x) { return rho(x) * mass(x) / (x * x) * x; };  // d ln x
    // Integrate from the outermost point inwards; beyond x_max the tail is negligible.
    std::vector<double> integral(n);
    integral[n - 1] = 0;
    for (int k = n - 2; k >= 0; --k) {
      const double xa = std::exp(lx_min + k * step_), xb = std::exp(lx_min + (k + 1) * step_);
      // Simpson on each interval of ln x.
      const double xm = std::sqrt(xa * xb);
      integral[k] = integral[k + 1] + step_ / 6.0 * (integrand(xa) + 4.0 * integrand(xm) + integrand(xb));
    }
    sigma_.resize(n);
    for (int k = 0; k < n; ++k) sigma_[k] = std::sqrt(integral[k] / rho(std::exp(lx_min + k * step_)));
  }
  double operator()(double x) const {
    const double t = (std::log(std::fmax(x, x_min)) - std::log(x_min)) / step_;
    const int k = std::min(static_cast<int>(t), n - 2);
    const double f = t - k;
    return sigma_[k] * (1 - f) + sigma_[k + 1] * f;
  }

 private:
  static constexpr int n = 2048;
  static constexpr double x_min = 1e-5, x_max = 1e3;
  double step_;
  std::vector<double> sigma_;
};

class writer {
 public:
  writer(FILE* f, const options& o) : f_(f), o_(o) {}
  ~writer() { flush(); }
  void value(double v) {
    if (!line_.empty()) line_ += o_.separator;
    char buf[512];  // %.Pf of any double, P <= 30
    const auto fv = static_cast<float>(v);
    const int p = o_.precision;
    char* end = buf;
    switch (o_.format) {
      case form::single_g:
        end = std::to_chars(buf, buf + sizeof buf, fv, std::chars_format::general, o_.digits).ptr;
        break;
      case form::single_e:
        end = std::to_chars(buf, buf + sizeof buf, fv, std::chars_format::scientific, o_.digits - 1).ptr;
        break;
      case form::single_f:
        end = std::to_chars(buf, buf + sizeof buf, fv, std::chars_format::fixed, o_.digits).ptr;
        break;
      // With a precision, to_chars writes what printf writes ("C" locale).
      case form::printf_g:
        end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, p).ptr;
        break;
      case form::printf_e:
        end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, p).ptr;
        break;
      case form::printf_f:
        end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, p).ptr;
        break;
      case form::fortran: {
        std::string field;
        haloprof::put_fortran_e(field, v, o_.width, p, o_.exponent_letter);
        end = std::copy(field.begin(), field.end(), buf);
        break;
      }
    }
    line_.append(buf, end);
  }
  void end_line() {
    line_ += '\n';
    out_ += line_;
    line_.clear();
    if (out_.size() > (1u << 20)) flush();
  }
  void text(std::string_view s) { out_ += s; }
  void flush() {
    if (!out_.empty() && error_ == 0 && std::fwrite(out_.data(), 1, out_.size(), f_) != out_.size())
      error_ = errno != 0 ? errno : EIO;
    out_.clear();
  }
  // The errno of the first write that failed, 0 while all went out.
  int error() const { return error_; }

 private:
  FILE* f_;
  const options& o_;
  std::string line_, out_;
  int error_ = 0;
};

[[noreturn]] void usage(int status) {
  std::fprintf(status == 0 ? stdout : stderr,
               "usage: halogen [options]\n"
               "Writes a synthetic snapshot (an NFW halo in a uniform background) to standard output.\n"
               "  -n, --halo N            particles in the halo (default 20000)\n"
               "  -c, --concentration C   NFW concentration (default 8)\n"
               "  -s, --seed S            random seed (default 1)\n"
               "  -b, --box L             side of the background cube around the halo (default 0.2;\n"
               "                          it holds 4096000 L^3 particles)\n"
               "  -d, --digits D          significant digits (decimals with --format f) (default 7)\n"
               "  -f, --format FORM       number form (default g):\n"
               "                            g, e, f   the value in single precision, shortest of fixed\n"
               "                                      and exponent, exponent, or fixed, with --digits\n"
               "                            %%.Pf %%.Pe %%.Pg  as C's printf writes the double value\n"
               "                                      (%%.6f: -275.320997, %%.7e: 4.4025785e-01,\n"
               "                                      %%.18e: 4.40257845577690688e-01, numpy's default)\n"
               "                            Ew.d, Dw.d  Fortran's fields of w columns (w >= d+8, so\n"
               "                                      that a blank always parts them), no separator\n"
               "                                      (E15.7: '  0.4402578E+00 -0.1234567E+03')\n"
               "  -t, --separator TEXT    between values (default a blank; none for Ew.d and Dw.d);\n"
               "                          ',' writes comma-separated values\n"
               "  -S, --shape zoom|box    zoom (default): the halo in its cube, halo and background\n"
               "                          particles in random order; box: 160^3 particles in the unit\n"
               "                          cube, the halo (at 0.512 0.487 0.503, the most massive and\n"
               "                          the densest) and five smaller ones (N/4 ... N/25, at half\n"
               "                          the concentration, placed by the seed) in a uniform background\n"
               "  -r, --rvir R            virial radius (default: where the mean density inside is\n"
               "                          200 times the background's)\n"
               "  -z, --redshift Z        redshift written in the header (default 0.5)\n"
               "  -o, --output FILE       write to FILE instead of standard output\n"
               "      --across-face       (box) place the last small halo across the x = 0 face, its\n"
               "                          centre a quarter of its radius inside, and wrap every\n"
               "                          position into the box\n"
               "The box as a simulation code writes it (lengths in kpc/h, masses in 10^10 Msun/h from\n"
               "Omega0 = 0.3, velocities in km/s), to --output:\n"
               "      --snapshot-format F text (default: the form above), gadget1, gadget2 (Gadget-2\n"
               "                          binary, without and with block labels), hdf5, swift\n"
               "      --box-size L        side of the box in kpc/h (default 100000; 1 gives the text\n"
               "                          form's values)\n"
               "      --files N           a snapshot of N files, FILE.0 ... (default 1)\n"
               "      --non-cosmological  time 0 in the header, velocities stored plain\n"
               "      --big-endian        (gadget) big-endian bytes (default little-endian)\n"
               "      --double            (gadget) positions, velocities and masses as double\n"
               "      --long-ids          (gadget) 8-byte particle IDs\n"
               "      --mass-block        (gadget) the mass table left 0, a MASS block written\n"
               "      --catalogue FILE    also write the halos' centres, radii, particle counts and\n"
               "                          masses (in the snapshot's length unit; 10^10 Msun/h, Msun/h\n"
               "                          in the AHF form) to FILE\n"
               "      --catalogue-format ahf|plain  AHF-style columns (default) or x y z radius\n");
  std::exit(status);
}

// Reads a decimal count at p, up to 3 digits; nullptr when there is none.
const char* read_count(const char* p, int& n) {
  if (*p < '0' || *p > '9') return nullptr;
  n = 0;
  for (int k = 0; k < 3 && *p >= '0' && *p <= '9'; ++k) n = 10 * n + (*p++ - '0');
  return p;
}

// g, e, f; %.Pf, %.Pe, %.Pg; Ew.d, Dw.d. Returns whether v is one of them.
bool parse_format(const char* v, options& o) {
  const std::string_view a = v;
  if (a == "g" || a == "e" || a == "f") {
    o.format = a == "g" ? form::single_g : a == "e" ? form::single_e : form::single_f;
    return true;
  }
  if (a.starts_with("%.")) {
    const char* p = read_count(v + 2, o.precision);
    if (p == nullptr || p[1] != '\0') return false;
    if (*p == 'f')
      o.format = form::printf_f;
    else if (*p == 'e')
      o.format = form::printf_e;
    else if (*p == 'g')
      o.format = form::printf_g;
    else
      return false;
    return o.precision <= 30;
  }
  if (a.starts_with("E") || a.starts_with("D")) {
    const char* p = read_count(v + 1, o.width);
    if (p == nullptr || *p != '.' || (p = read_count(p + 1, o.precision)) == nullptr || *p != '\0') return false;
    o.format = form::fortran;
    o.exponent_letter = v[0];
    o.separator.clear();
    // d + 7 columns hold a negative value with none to spare: fields glued together ask for
    // fixed-column reading; one column more keeps a blank between values.
    return o.precision >= 1 && o.precision <= 30 && o.width >= o.precision + 8 && o.width <= 64;
  }
  return false;
}

options parse_options(int argc, char** argv) {
  options o;
  bool separator_given = false;
  std::string separator;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "-h" || a == "--help") usage(0);
    bool* const flag = a == "--big-endian"         ? &o.gadget.big_endian
                       : a == "--double"           ? &o.gadget.double_positions
                       : a == "--long-ids"         ? &o.gadget.long_ids
                       : a == "--mass-block"       ? &o.gadget.mass_block
                       : a == "--non-cosmological" ? &o.non_cosmological
                       : a == "--across-face"      ? &o.across_face
                                                   : nullptr;
    if (flag != nullptr) {
      *flag = true;
      continue;
    }
    if (i + 1 >= argc) usage(2);
    const char* v = argv[++i];
    char* end = nullptr;
    errno = 0;
    const auto whole = [&] { end = const_cast<char*>(v) + std::strlen(v); };
    if (a == "-n" || a == "--halo")
      o.halo = std::strtoll(v, &end, 10);
    else if (a == "-c" || a == "--concentration")
      o.concentration = std::strtod(v, &end);
    else if (a == "-s" || a == "--seed")
      o.seed = std::strtoull(v, &end, 10);
    else if (a == "-b" || a == "--box")
      o.box = std::strtod(v, &end);
    else if (a == "-d" || a == "--digits")
      o.digits = static_cast<int>(std::strtol(v, &end, 10));
    else if (a == "-z" || a == "--redshift")
      o.redshift = std::strtod(v, &end);
    else if (a == "-r" || a == "--rvir")
      o.rvir = std::strtod(v, &end);
    else if (a == "-f" || a == "--format") {
      if (parse_format(v, o))
        whole();
      else
        end = const_cast<char*>(v);
    } else if (a == "-t" || a == "--separator") {
      separator = v;
      separator_given = true;
      whole();
    } else if (a == "-S" || a == "--shape") {
      const std::string_view sv = v;
      if (sv == "zoom" || sv == "box")
        whole();
      else
        end = const_cast<char*>(v);
      o.shape = sv == "box" ? snapshot_shape::box : snapshot_shape::zoom;
      o.shape_given = true;
    } else if (a == "--snapshot-format") {
      static constexpr std::pair<std::string_view, snapshot_format> names[] = {{"text", snapshot_format::text},
                                                                               {"gadget1", snapshot_format::gadget1},
                                                                               {"gadget2", snapshot_format::gadget2},
                                                                               {"hdf5", snapshot_format::hdf5},
                                                                               {"swift", snapshot_format::swift}};
      end = const_cast<char*>(v);
      for (const auto& [name, f] : names)
        if (name == v) {
          o.snapshot = f;
          whole();
        }
    } else if (a == "--catalogue-format") {
      const std::string_view sv = v;
      if (sv == "ahf" || sv == "plain")
        whole();
      else
        end = const_cast<char*>(v);
      o.catalogue_kind = sv == "plain" ? catalogue_format::plain : catalogue_format::ahf;
    } else if (a == "--files")
      o.files = static_cast<int>(std::strtol(v, &end, 10));
    else if (a == "--box-size")
      o.box_size = std::strtod(v, &end);
    else if (a == "--catalogue") {
      o.catalogue = v;
      whole();
    } else if (a == "-o" || a == "--output") {
      o.output = v;
      whole();
    } else
      usage(2);
    if (end == v || *end != '\0' || errno == ERANGE || ((a == "-s" || a == "--seed") && *v == '-')) {
      std::fprintf(stderr, "halogen: bad value for %s: '%s'\n", argv[i - 1], v);
      std::exit(2);
    }
  }
  if (separator_given) o.separator = separator;
  const auto refuse = [](const char* why) {
    std::fprintf(stderr, "halogen: %s\n", why);
    std::exit(2);
  };
  const bool gadget = o.snapshot == snapshot_format::gadget1 || o.snapshot == snapshot_format::gadget2;
  if (o.snapshot != snapshot_format::text) {
    // A simulation's snapshot is of the whole box.
    if (o.shape_given && o.shape == snapshot_shape::zoom)
      refuse("a simulation's snapshot format writes the box (--shape box)");
    o.shape = snapshot_shape::box;
    if (o.output == nullptr) refuse("a simulation's snapshot format needs --output FILE");
  }
  if ((o.gadget.big_endian || o.gadget.double_positions || o.gadget.long_ids || o.gadget.mass_block) && !gadget)
    refuse("--big-endian, --double, --long-ids and --mass-block are for --snapshot-format gadget1 or gadget2");
  if (o.files != 1 && o.snapshot == snapshot_format::text) refuse("--files is for a simulation's snapshot format");
  if (o.across_face && o.shape != snapshot_shape::box) refuse("--across-face is for the box (--shape box)");
  o.gadget.format = o.snapshot == snapshot_format::gadget2 ? 2 : 1;
  o.gadget.files = o.files;
  // At most 10^12 particles in all (tens of terabytes of text); every size positive and finite.
  constexpr double most_particles = 1e12;
  const auto finite_at_least = [](double v, double least) { return std::isfinite(v) && v >= least; };
  if (o.halo < 0 || static_cast<double>(o.halo) > most_particles || !finite_at_least(o.concentration, 0) ||
      o.concentration == 0 || !finite_at_least(o.box, 0) || mean_density * o.box * o.box * o.box > most_particles ||
      !finite_at_least(o.rvir, 0) || !std::isfinite(o.redshift) || o.digits < 1 || o.digits > 9 ||
      (o.shape == snapshot_shape::box && o.halo > box_particles / 2) || o.files < 1 || o.files > 1024 ||
      !finite_at_least(o.box_size, 0) || o.box_size == 0 || o.box_size > 1e30) {
    std::fprintf(stderr, "halogen: option out of range (see --help)\n");
    std::exit(2);
  }
  return o;
}

// An NFW halo of n particles: positions within the virial radius, isotropic velocities of
// the Jeans dispersion around a bulk velocity, density estimates following the profile.
struct halo {
  halo(std::int64_t n, double concentration, double rvir_given, const double* at, const double* bulk_velocity)
      : left(n),
        c(concentration),
        rvir(rvir_given > 0 ? rvir_given : virial_radius(n)),
        vvir(100.0 * std::cbrt(static_cast<double>(n) / 20000.0)),
        rho_scale(static_cast<double>(n) * c * c * c / (4.0 * pi * rvir * rvir * rvir * nfw_mass(c))),
        sigma(c) {
    std::copy_n(at, 3, center);
    std::copy_n(bulk_velocity, 3, bulk);
  }
  void draw(random_stream& rng, double* pos, double* vel, double& density) const {
    const double x = nfw_radius(rng.uniform(), c);
    const double mu = 2.0 * rng.uniform() - 1.0, phi = 2.0 * pi * rng.uniform();
    const double s = std::sqrt(1.0 - mu * mu);
    const double dir[3] = {s * std::cos(phi), s * std::sin(phi), mu};
    const double sv = sigma(x) * vvir;
    for (int k = 0; k < 3; ++k) {
      pos[k] = center[k] + x * rvir * dir[k];
      vel[k] = bulk[k] + sv * rng.gauss();
    }
    // A density estimator smooths over its neighbours: the cusp is softened at 3% of rvir.
    const double xs = std::sqrt(x * x + 0.03 * 0.03);
    density = rho_scale / (c * xs * (1.0 + c * xs) * (1.0 + c * xs)) + mean_density;
  }

  std::int64_t left;
  double c, rvir, vvir, rho_scale;
  double center[3], bulk[3];
  dispersion_table sigma;
};

// Particles spread uniformly over a cube, with Gaussian velocities around a bulk velocity.
struct background {
  void draw(random_stream& rng, double* pos, double* vel, double& density) const {
    for (int k = 0; k < 3; ++k) {
      pos[k] = center[k] + (rng.uniform() - 0.5) * side;
      vel[k] = bulk[k] + speed * rng.gauss();
    }
    density = mean_density;
  }

  std::int64_t left;
  double center[3], side, bulk[3], speed;
};

// The halos of a whole box: the given one, and smaller ones of half its concentration
// (a lower central density: the given halo holds the densest particles) well away from it
// and from each other, placed by the random stream. With --across-face the last one's centre
// lies a quarter of its radius inside the x = 0 face, so that it reaches across to the far
// side of the periodic box; the distances between halos are then to the nearest image.
std::vector<halo> box_halos(const options& o, random_stream& rng) {
  std::vector<halo> halos;
  halos.emplace_back(o.halo, o.concentration, o.rvir, o.center, o.bulk);
  for (const int part : {4, 6, 10, 16, 25}) {
    double at[3], bulk[3];
    for (;;) {
      for (double& a : at) a = 0.1 + 0.8 * rng.uniform();
      if (o.across_face && part == 25) at[0] = 0.25 * virial_radius(o.halo / part);
      const auto apart = [&](const halo& h) {
        double d[3];
        for (int k = 0; k < 3; ++k) {
          d[k] = at[k] - h.center[k];
          if (o.across_face) d[k] -= std::nearbyint(d[k]);
        }
        const double d2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
        return d2 >= (&h == &halos[0] ? 0.25 * 0.25 : 0.15 * 0.15);
      };
      if (std::all_of(halos.begin(), halos.end(), apart)) break;
    }
    for (double& b : bulk) b = 200.0 * rng.gauss();
    halos.emplace_back(o.halo / part, 0.5 * o.concentration, 0.0, at, bulk);
  }
  return halos;
}

// The halos and the background of the shape asked for.
void make_parts(const options& o, random_stream& rng, std::vector<halo>& halos, background& rest) {
  if (o.shape == snapshot_shape::zoom) {
    halos.emplace_back(o.halo, o.concentration, o.rvir, o.center, o.bulk);
    rest = {std::llround(mean_density * o.box * o.box * o.box),
            {o.center[0], o.center[1], o.center[2]},
            o.box,
            {o.bulk[0], o.bulk[1], o.bulk[2]},
            0.3 * halos[0].vvir};
  } else {
    halos = box_halos(o, rng);
    std::int64_t in_halos = 0;
    for (const halo& h : halos) in_halos += h.left;
    rest = {box_particles - in_halos, {0.5, 0.5, 0.5}, 1.0, {0, 0, 0}, 300.0};
  }
}

// Draws every particle of the halos and the background, handing each to
// take(pos, vel, density), which returns false to stop.
template <typename Take>
void draw_particles(const options& o, random_stream& rng, std::vector<halo>& halos, background& rest,
                    const Take& take) {
  std::int64_t left = rest.left;
  for (const halo& h : halos) left += h.left;
  for (; left > 0; --left) {
    // Particles of the halos and the background come in random order, as in a real
    // snapshot: each is drawn from a part with the chance of its share of those left.
    const double u = rng.uniform() * static_cast<double>(left);
    double below = 0;
    halo* from = nullptr;
    for (halo& h : halos) {
      below += static_cast<double>(h.left);
      if (u < below) {
        from = &h;
        break;
      }
    }
    if (from == nullptr && rest.left == 0) {  // u may round up to the count left
      for (halo& h : halos)
        if (h.left > 0) from = &h;
    }
    double pos[3], vel[3], density;
    if (from != nullptr) {
      --from->left;
      from->draw(rng, pos, vel, density);
    } else {
      --rest.left;
      rest.draw(rng, pos, vel, density);
    }
    density *= std::exp(o.scatter * rng.gauss()) / mean_density;
    if (o.across_face)
      for (double& p : pos) {
        // Into [0, 1) as the single-precision value written, which may round up to 1.
        p -= std::floor(p);
        if (static_cast<float>(p) >= 1.0f) p = 0;
      }
    if (!take(pos, vel, density)) return;
  }
}

// The text form, to f (standard output or --output); 0 or the errno of a failed write.
int write_text(FILE* f, const options& o, random_stream& rng, std::vector<halo>& halos, background& rest) {
  writer w(f, o);
  {
    char header[64];
    std::snprintf(header, sizeof header, "halogen %g\n", o.redshift);
    w.text(header);
  }
  draw_particles(o, rng, halos, rest, [&](const double* pos, const double* vel, double density) {
    for (int k = 0; k < 3; ++k) w.value(pos[k]);
    for (int k = 0; k < 3; ++k) w.value(vel[k]);
    w.value(density);
    w.end_line();
    return w.error() == 0;
  });
  w.flush();
  return w.error();
}

// The mass of one of the box's particles in 10^10 Msun/h, for a box of side L kpc/h at
// Omega0 = 0.3: the critical density is 27.7536627e-9 x 10^10 Msun/h per (kpc/h)^3.
double particle_mass(double side) {
  return 0.3 * 27.7536627e-9 * side * side * side / static_cast<double>(box_particles);
}

// The box in a simulation's units: positions times the box size, wrapped into [0, L) as a
// simulation keeps them (a value that rounds up to L in single precision is 0), ids from 1.
synthetic_snapshot make_snapshot(const options& o, random_stream& rng, std::vector<halo>& halos, background& rest) {
  synthetic_snapshot s;
  const auto n = static_cast<std::size_t>(box_particles);
  s.pos.reserve(3 * n);
  s.vel.reserve(3 * n);
  s.ids.reserve(n);
  const double side = o.box_size;
  const auto side_f = static_cast<float>(side);
  draw_particles(o, rng, halos, rest, [&](const double* pos, const double* vel, double) {
    for (int k = 0; k < 3; ++k) {
      double x = pos[k] * side;
      x -= side * std::floor(x / side);
      const auto xf = static_cast<float>(x);
      s.pos.push_back(xf >= side_f ? 0.0f : xf);
    }
    for (int k = 0; k < 3; ++k) s.vel.push_back(static_cast<float>(vel[k]));
    s.ids.push_back(s.ids.size() + 1);
    return true;
  });
  s.box = side;
  s.particle_mass = particle_mass(side);
  s.redshift = o.redshift;
  s.cosmological = !o.non_cosmological;
  return s;
}

// The halos as a halo finder lists them, in the output's length unit (the text form's unit
// cube, or kpc/h), before any particle is drawn.
std::vector<catalogue_entry> catalogue_of(const options& o, const std::vector<halo>& halos) {
  const double length = o.snapshot == snapshot_format::text ? 1.0 : o.box_size;
  std::vector<catalogue_entry> out;
  for (const halo& h : halos) {
    catalogue_entry e{};
    for (int k = 0; k < 3; ++k) {
      e.centre[k] = h.center[k] * length;
      e.velocity[k] = h.bulk[k];
    }
    e.radius = h.rvir * length;
    e.particles = h.left;
    e.mass = static_cast<double>(h.left) * particle_mass(o.box_size);
    out.push_back(e);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const options o = parse_options(argc, argv);
  std::signal(SIGXFSZ, SIG_IGN);  // a file-size limit then fails a write, which is reported
  random_stream rng(o.seed);
  std::vector<halo> halos;
  background rest{};
  make_parts(o, rng, halos, rest);
  const std::vector<catalogue_entry> catalogue = catalogue_of(o, halos);

  if (o.snapshot != snapshot_format::text) {
    const synthetic_snapshot s = make_snapshot(o, rng, halos, rest);
    std::string error;
    const bool written =
        o.snapshot == snapshot_format::gadget1 || o.snapshot == snapshot_format::gadget2
            ? write_gadget(o.output, s, o.gadget, error)
            : write_hdf5(o.output, s,
                         hdf5_options{o.snapshot == snapshot_format::swift ? hdf5_options::layout::swift
                                                                           : hdf5_options::layout::gadget4,
                                      o.files},
                         error);
    if (!written) {
      std::fprintf(stderr, "halogen: %s\n", error.c_str());
      return 1;
    }
  } else {
    FILE* f = stdout;
    if (o.output != nullptr && (f = std::fopen(o.output, "wb")) == nullptr) {
      std::fprintf(stderr, "halogen: cannot write '%s': %s\n", o.output, std::strerror(errno));
      return 1;
    }
    // Only a regular file is removed after a failed write: never a device such as /dev/full.
    struct stat st {};
    const bool regular_file = f != stdout && fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
    int error = write_text(f, o, rng, halos, rest);
    if (error == 0 && std::fflush(f) != 0) error = errno;
    if (f != stdout && std::fclose(f) != 0 && error == 0) error = errno;
    if (error != 0) {
      if (regular_file) std::remove(o.output);  // a snapshot cut short must not pass for a whole one
      std::fprintf(stderr, "halogen: cannot write '%s': %s\n", f == stdout ? "standard output" : o.output,
                   std::strerror(error));
      return 1;
    }
  }
  if (o.catalogue != nullptr) {
    std::string error;
    if (!write_catalogue(o.catalogue, o.catalogue_kind, catalogue, error)) {
      std::fprintf(stderr, "halogen: %s\n", error.c_str());
      return 1;
    }
  }
  return 0;
}
