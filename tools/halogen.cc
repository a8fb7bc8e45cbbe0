// halogen: writes a synthetic snapshot of one halo for haloprof.
//
// An NFW halo of N particles inside its virial radius (overdensity 200 over the mean
// density), with isotropic Gaussian velocities whose dispersion solves the spherical Jeans
// equation, plus a bulk velocity; a uniform background at the mean density fills a cube
// around it. Each particle carries a density estimate, in units of the mean density, that
// follows the profile with log-normal scatter. The output is the same for the same options on every machine.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double mean_density = 4096000.0;  // particles per unit volume, 160^3
constexpr double overdensity = 200.0;       // virial radius encloses 200 times the mean

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

struct options {
  std::int64_t halo = 20000;
  double concentration = 8.0;
  std::uint64_t seed = 1;
  double box = 0.2;  // side of the background cube
  double center[3] = {0.512, 0.487, 0.503};
  double bulk[3] = {150.0, -80.0, 40.0};
  double redshift = 0.5;
  double vvir = 0;  // 0: scale with the halo's mass
  double rvir = 0;  // 0: the radius enclosing 200 times the mean density
  double scatter = 0.2;  // log-normal scatter of the density estimates, in e-folds
  int digits = 7;
  char format = 'g';  // g: shortest of fixed and exponent, e: exponent, f: fixed decimals
  const char* output = nullptr;
};

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
    if (!line_.empty()) line_ += ' ';
    char buf[64];
    const auto fv = static_cast<float>(v);
    std::to_chars_result r;
    if (o_.format == 'e')
      r = std::to_chars(buf, buf + sizeof buf, fv, std::chars_format::scientific, o_.digits - 1);
    else if (o_.format == 'f')
      r = std::to_chars(buf, buf + sizeof buf, fv, std::chars_format::fixed, o_.digits);
    else
      r = std::to_chars(buf, buf + sizeof buf, fv, std::chars_format::general, o_.digits);
    line_.append(buf, r.ptr);
  }
  void end_line() {
    line_ += '\n';
    out_ += line_;
    line_.clear();
    if (out_.size() > (1u << 20)) flush();
  }
  void text(std::string_view s) { out_ += s; }
  void flush() {
    if (!out_.empty()) std::fwrite(out_.data(), 1, out_.size(), f_);
    out_.clear();
  }

 private:
  FILE* f_;
  const options& o_;
  std::string line_, out_;
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
               "  -f, --format g|e|f      number form: shortest, exponent or fixed (default g)\n"
               "  -r, --rvir R            virial radius (default: where the mean density inside is\n"
               "                          200 times the background's)\n"
               "  -z, --redshift Z        redshift written in the header (default 0.5)\n"
               "  -o, --output FILE       write to FILE instead of standard output\n");
  std::exit(status);
}

options parse_options(int argc, char** argv) {
  options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "-h" || a == "--help") usage(0);
    if (i + 1 >= argc) usage(2);
    const char* v = argv[++i];
    char* end = nullptr;
    if (a == "-n" || a == "--halo") o.halo = std::strtoll(v, &end, 10);
    else if (a == "-c" || a == "--concentration") o.concentration = std::strtod(v, &end);
    else if (a == "-s" || a == "--seed") o.seed = std::strtoull(v, &end, 10);
    else if (a == "-b" || a == "--box") o.box = std::strtod(v, &end);
    else if (a == "-d" || a == "--digits") o.digits = static_cast<int>(std::strtol(v, &end, 10));
    else if (a == "-z" || a == "--redshift") o.redshift = std::strtod(v, &end);
    else if (a == "-r" || a == "--rvir") o.rvir = std::strtod(v, &end);
    else if (a == "-f" || a == "--format") { o.format = v[0]; end = const_cast<char*>(v) + 1; }
    else if (a == "-o" || a == "--output") { o.output = v; end = const_cast<char*>(v) + std::strlen(v); }
    else usage(2);
    if (end == v || *end != '\0') {
      std::fprintf(stderr, "halogen: bad value for %s: '%s'\n", argv[i - 1], v);
      std::exit(2);
    }
  }
  if (o.halo < 0 || o.concentration <= 0 || o.box < 0 || o.rvir < 0 || o.digits < 1 || o.digits > 9 ||
      (o.format != 'g' && o.format != 'e' && o.format != 'f')) {
    std::fprintf(stderr, "halogen: option out of range (see --help)\n");
    std::exit(2);
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const options o = parse_options(argc, argv);
  FILE* f = stdout;
  if (o.output != nullptr && (f = std::fopen(o.output, "wb")) == nullptr) {
    std::fprintf(stderr, "halogen: cannot write '%s': %s\n", o.output, std::strerror(errno));
    return 1;
  }

  const double c = o.concentration;
  const double rvir = o.rvir > 0 ? o.rvir
                                 : std::cbrt(3.0 * static_cast<double>(o.halo) / (4.0 * pi * overdensity * mean_density));
  const double vvir = o.vvir > 0 ? o.vvir : 100.0 * std::cbrt(static_cast<double>(o.halo) / 20000.0);
  const double rho_scale = static_cast<double>(o.halo) * c * c * c / (4.0 * pi * rvir * rvir * rvir * nfw_mass(c));
  const auto background = static_cast<std::int64_t>(std::llround(mean_density * o.box * o.box * o.box));
  const dispersion_table sigma(c);
  random_stream rng(o.seed);

  writer w(f, o);
  {
    char header[64];
    std::snprintf(header, sizeof header, "halogen %g\n", o.redshift);
    w.text(header);
  }
  std::int64_t halo_left = o.halo, background_left = background;
  while (halo_left + background_left > 0) {
    // Halo and background particles come in random order, as in a real snapshot cut-out.
    const bool from_halo =
        rng.uniform() * static_cast<double>(halo_left + background_left) < static_cast<double>(halo_left);
    double pos[3], vel[3], density;
    if (from_halo) {
      --halo_left;
      const double x = nfw_radius(rng.uniform(), c);
      const double mu = 2.0 * rng.uniform() - 1.0, phi = 2.0 * pi * rng.uniform();
      const double s = std::sqrt(1.0 - mu * mu);
      const double dir[3] = {s * std::cos(phi), s * std::sin(phi), mu};
      const double sv = sigma(x) * vvir;
      for (int k = 0; k < 3; ++k) {
        pos[k] = o.center[k] + x * rvir * dir[k];
        vel[k] = o.bulk[k] + sv * rng.gauss();
      }
      // A density estimator smooths over its neighbours: the cusp is softened at 3% of rvir.
      const double xs = std::sqrt(x * x + 0.03 * 0.03);
      density = rho_scale / (c * xs * (1.0 + c * xs) * (1.0 + c * xs)) + mean_density;
    } else {
      --background_left;
      for (int k = 0; k < 3; ++k) {
        pos[k] = o.center[k] + (rng.uniform() - 0.5) * o.box;
        vel[k] = o.bulk[k] + 0.3 * vvir * rng.gauss();
      }
      density = mean_density;
    }
    density *= std::exp(o.scatter * rng.gauss()) / mean_density;
    for (double p : pos) w.value(p);
    for (double v : vel) w.value(v);
    w.value(density);
    w.end_line();
  }
  w.flush();
  if (std::ferror(f) || (f != stdout && std::fclose(f) != 0)) {
    std::fprintf(stderr, "halogen: write failed\n");
    return 1;
  }
  return 0;
}
