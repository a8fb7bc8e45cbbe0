// Names of the units a snapshot declares, and the units a name stands for.
#pragma once

#include <optional>
#include <string>

namespace haloprof {

// A unit as cgs times a power of the Hubble parameter h (kpc/h: 3.085678e21 cm, h^-1).
struct unit {
  std::optional<std::string> name;
  std::optional<double> cgs;
  std::optional<int> h_exponent;
};

enum class quantity { length, mass, velocity };

// The unit of a quantity declared as `cgs` cm, g or cm/s times h^h_exponent: named after the
// nearest common unit (kpc/h, Mpc, 1e10 Msun/h, km/s, ...) within 0.1%, else by its value
// ("2.5e+21 cm/h").
unit declared_unit(quantity q, std::optional<double> cgs, std::optional<int> h_exponent);

// The unit a name given by the user stands for: the common names are known ("kpc/h",
// "Mpc", "1e10 Msun/h", "km/s", ...); another name is kept as it is, with no value.
unit named_unit(quantity q, const std::string& name);

}  // namespace haloprof
