#include "cut/units.h"

#include <cmath>
#include <cstdio>
#include <span>

namespace haloprof {
namespace {

struct known {
  const char* name;
  double cgs;
};

constexpr known lengths[] = {{"pc", 3.085678e18}, {"kpc", 3.085678e21}, {"Mpc", 3.085678e24}, {"cm", 1.0}};
constexpr known masses[] = {{"Msun", 1.989e33}, {"1e10 Msun", 1.989e43}, {"g", 1.0}};
constexpr known velocities[] = {{"km/s", 1e5}, {"cm/s", 1.0}};

std::span<const known> known_units(quantity q) {
  switch (q) {
    case quantity::length:
      return lengths;
    case quantity::mass:
      return masses;
    case quantity::velocity:
      break;
  }
  return velocities;
}

const char* cgs_name(quantity q) { return q == quantity::length ? "cm" : q == quantity::mass ? "g" : "cm/s"; }

}  // namespace

unit declared_unit(quantity q, std::optional<double> cgs, std::optional<int> h_exponent) {
  unit u{std::nullopt, cgs, h_exponent};
  if (!cgs || !(*cgs > 0) || !std::isfinite(*cgs)) return u;
  // Only /h reads plainly; other powers of h are named by their number.
  const int h = h_exponent.value_or(0);
  const std::string per_h = h == 0 ? "" : h == -1 ? "/h" : " h^" + std::to_string(h);
  for (const known& k : known_units(q)) {
    if (std::abs(*cgs / k.cgs - 1) < 1e-3) {
      u.name = k.name + per_h;
      return u;
    }
  }
  char value[32];
  std::snprintf(value, sizeof value, "%.6g ", *cgs);
  u.name = value + std::string(cgs_name(q)) + per_h;
  return u;
}

unit named_unit(quantity q, const std::string& name) {
  unit u{name, std::nullopt, std::nullopt};
  const bool per_h = name.ends_with("/h");
  const std::string bare = per_h ? name.substr(0, name.size() - 2) : name;
  for (const known& k : known_units(q)) {
    if (bare == k.name) {
      u.cgs = k.cgs;
      u.h_exponent = per_h ? -1 : 0;
    }
  }
  return u;
}

}  // namespace haloprof
