// The group catalogues Gadget-4 and AREPO write beside their snapshots
// (fof_subhalo_tab_010.0.hdf5, ...): a /Header counting the FoF groups of this file and of
// the whole catalogue, and per group a row of /Group/GroupPos (the centre, in the snapshot's
// code units) and of /Group/Group_R_Crit200 (the radius enclosing 200 times the critical
// density), where the finder wrote it.
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "snapshot/formats.h"
#include "snapshot/hdf5_io.h"

namespace haloprof {
namespace {

// Rows read at a time: the catalogue's size is known only from the file, so it grows as
// rows are read rather than being allocated from a count first.
constexpr hsize_t catalogue_piece = 65536;

failure bad(const std::string& message) { return failure{exit_status::bad_snapshot, message}; }

struct catalogue_header {
  std::int64_t groups = 0, total = 0, files = 1;
  std::optional<double> time;
};

stage_status read_catalogue_header(const hdf5_file& file, catalogue_header& h) {
  const hdf5_object header = open_object(file, "/Header");
  if (!header || !has_attribute(header, "Ngroups_ThisFile"))
    return bad(file.name + ": no /Header attribute Ngroups_ThisFile: not a Gadget-4/AREPO group catalogue");
  std::optional<std::int64_t> groups, total, files;
  if (stage_status s = read_number(header, "Ngroups_ThisFile", groups, true); s.failed()) return s;
  if (stage_status s = read_number(header, "Ngroups_Total", total, true); s.failed()) return s;
  if (stage_status s = read_number(header, "NumFiles", files, false); s.failed()) return s;
  if (stage_status s = read_number(header, "Time", h.time, false); s.failed()) return s;
  h.groups = *groups;
  h.total = *total;
  h.files = std::max<std::int64_t>(files.value_or(1), 1);
  if (h.groups < 0 || h.total < 0 || files.value_or(1) < 0)
    return bad(header.where() + ": Ngroups_ThisFile " + std::to_string(h.groups) + ", Ngroups_Total " +
               std::to_string(h.total) + ", NumFiles " + std::to_string(files.value_or(1)) +
               ": expected no negative count");
  return {};
}

stage_status read_groups(const hdf5_file& file, std::int64_t groups, halo_catalogue& catalogue) {
  if (groups == 0) return {};  // the finder writes no datasets for a file without groups
  hdf5_object pos, radius;
  dataset_shape pos_shape, radius_shape;
  if (stage_status s = open_rows(file, "/Group/GroupPos", true, pos, pos_shape); s.failed()) return s;
  if (stage_status s = open_rows(file, "/Group/Group_R_Crit200", false, radius, radius_shape); s.failed()) return s;
  const auto n = static_cast<hsize_t>(groups);
  if (pos_shape.rank != 2 || pos_shape.width != 3 || pos_shape.rows != n)
    return bad(pos.where() + ": expected " + std::to_string(n) + " rows of 3 (Ngroups_ThisFile), found " +
               std::to_string(pos_shape.rows) +
               (pos_shape.rank == 2 ? " rows of " + std::to_string(pos_shape.width) : " values"));
  if (radius && (radius_shape.rank != 1 || radius_shape.rows != n))
    return bad(radius.where() + ": expected " + std::to_string(n) + " values (Ngroups_ThisFile), found " +
               std::to_string(radius_shape.rows) + (radius_shape.rank == 2 ? " rows" : " values"));
  std::vector<double> centres, radii;
  std::vector<float> staging;
  for (hsize_t at = 0; at < n; at += catalogue_piece) {
    const hsize_t m = std::min(catalogue_piece, n - at);
    centres.resize(static_cast<std::size_t>(3 * m));
    radii.resize(static_cast<std::size_t>(m));
    if (stage_status s = read_rows(pos, pos_shape, at, m, centres.data(), staging); s.failed()) return s;
    if (radius)
      if (stage_status s = read_rows(radius, radius_shape, at, m, radii.data(), staging); s.failed()) return s;
    for (std::size_t k = 0; k < m; ++k) {
      catalogue_halo h;
      h.id = static_cast<std::int64_t>(catalogue.halos.size());
      std::copy_n(&centres[3 * k], 3, h.centre);
      if (radius) h.radius = radii[k];
      catalogue.halos.push_back(h);
    }
  }
  return {};
}

}  // namespace

stage_status read_hdf5_catalogue(const std::string& path, halo_catalogue& catalogue) {
  catalogue = {};
  catalogue.format = "Gadget-4/AREPO group catalogue";
  hdf5_file file;
  if (stage_status s = open_hdf5_file(path, file); s.failed()) return s;
  catalogue_header first;
  if (stage_status s = read_catalogue_header(file, first); s.failed()) return s;

  // The units of the centres: the code's length unit, declared by Gadget-4 in /Parameters
  // (AREPO in /Header), or on the dataset itself.
  for (const char* g : {"/Parameters", "/Header", "/Group/GroupPos"}) {
    const hdf5_object o = open_object(file, g);
    const char* name = g[1] == 'G' ? "to_cgs" : "UnitLength_in_cm";
    if (!has_attribute(o, name)) continue;
    if (stage_status s = read_number(o, name, catalogue.length_in_cm, true); s.failed()) return s;
    if (!(*catalogue.length_in_cm > 0)) catalogue.length_in_cm.reset();
    if (catalogue.length_in_cm) break;
  }
  std::optional<double> h_scaling;
  if (first.groups > 0)
    if (stage_status s = read_number(open_object(file, "/Group/GroupPos"), "h_scaling", h_scaling, false); s.failed())
      return s;
  if (h_scaling && std::fabs(*h_scaling) <= 100 && *h_scaling == std::round(*h_scaling))
    catalogue.length_h_exponent = static_cast<int>(*h_scaling);

  // Every member, the file given included (which need not be number 0), in order.
  for (std::int64_t k = 0; k < first.files; ++k) {
    const std::optional<std::string> name = first.files == 1 ? path : member_name(path, k);
    if (!name)
      return bad(path + ": /Header NumFiles is " + std::to_string(first.files) +
                 ", but the name has no file number to count the others from (expected NAME.0.hdf5)");
    if (::access(name->c_str(), F_OK) != 0 && errno == ENOENT)
      return bad(*name + ": missing: the catalogue of " + path + " has " + std::to_string(first.files) +
                 " files (/Header NumFiles)");
    hdf5_file member;
    if (stage_status s = open_hdf5_file(*name, member); s.failed()) return s;
    catalogue_header h;
    if (stage_status s = read_catalogue_header(member, h); s.failed()) return s;
    // Times compared by their bits: a Time that is not a number is the same in every member.
    const auto same_time = [](const std::optional<double>& a, const std::optional<double>& b) {
      return a.has_value() == b.has_value() && (!a || std::memcmp(&*a, &*b, sizeof(double)) == 0);
    };
    if (h.total != first.total || h.files != first.files || !same_time(h.time, first.time))
      return bad(*name + ": /Header Ngroups_Total, NumFiles or Time differ from " + path +
                 "'s: a file of another catalogue");
    if (stage_status s = read_groups(member, h.groups, catalogue); s.failed()) return s;
  }
  if (catalogue.halos.size() != static_cast<std::size_t>(first.total))
    return bad(
        path + ": /Header Ngroups_Total counts " + std::to_string(first.total) + " groups, but " +
        (first.files == 1 ? std::string("the file holds ") : "the " + std::to_string(first.files) + " files hold ") +
        std::to_string(catalogue.halos.size()) + " (Ngroups_ThisFile)");
  return {};
}

}  // namespace haloprof
