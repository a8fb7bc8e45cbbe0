#include "snapshot/hdf5_io.h"

#include "core/shown.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "core/unique_fd.h"

namespace haloprof {
namespace {

constexpr hsize_t max_attribute_values = 64;

failure bad(const hdf5_object& o, const std::string& what) {
  return failure{exit_status::bad_snapshot, o.where() + ": " + what};
}

std::string attribute_failure(const char* name, const std::string& what) {
  return std::string("attribute ") + name + ": " + what;
}

const char* class_name(H5T_class_t c) {
  switch (c) {
    case H5T_INTEGER:
      return "an integer";
    case H5T_FLOAT:
      return "a floating-point number";
    case H5T_STRING:
      return "a string";
    case H5T_COMPOUND:
      return "a compound type";
    case H5T_ARRAY:
      return "an array type";
    case H5T_VLEN:
      return "a variable-length sequence";
    case H5T_ENUM:
      return "an enumeration";
    case H5T_REFERENCE:
      return "a reference";
    default:
      return "a type that holds no numbers";
  }
}

std::string extent_text(hid_t space) {
  hsize_t dims[H5S_MAX_RANK] = {};
  const int rank = H5Sget_simple_extent_dims(space, dims, nullptr);
  if (rank <= 0) return rank == 0 ? "a scalar" : "an unreadable extent";
  std::string s = "an array of ";
  for (int k = 0; k < rank; ++k) s += (k ? " x " : "") + std::to_string(dims[k]);
  return s;
}

// The attribute `name` of `o` opened, with its type and the count of its values (a scalar
// counts one). `a` stays empty when the attribute is absent and not required.
stage_status open_attribute(const hdf5_object& o, const char* name, bool required, hdf5_id& a, hdf5_id& type,
                            std::size_t& n) {
  const htri_t exists = H5Aexists(o.id.get(), name);
  if (exists < 0) return bad(o, attribute_failure(name, "cannot be looked for: " + hdf5_reason()));
  if (exists == 0) return required ? stage_status(bad(o, std::string("no attribute ") + name)) : stage_status();
  a.reset(H5Aopen(o.id.get(), name, H5P_DEFAULT));
  if (a) type.reset(H5Aget_type(a.get()));
  const hdf5_id space(a ? H5Aget_space(a.get()) : H5I_INVALID_HID);
  if (!a || !type || !space) return bad(o, attribute_failure(name, "cannot be read: " + hdf5_reason()));
  const int rank = H5Sget_simple_extent_ndims(space.get());
  const hssize_t points = H5Sget_simple_extent_npoints(space.get());
  if (rank > 1 || points < 0 || static_cast<hsize_t>(points) > max_attribute_values)
    return bad(o,
               attribute_failure(name, "expected a value or a list of at most 64, found " + extent_text(space.get())));
  n = static_cast<std::size_t>(points);
  return {};
}

stage_status open_numeric(const hdf5_object& o, const char* name, bool required, hdf5_id& a, hdf5_id& type,
                          std::size_t& n) {
  if (stage_status s = open_attribute(o, name, required, a, type, n); s.failed() || !a) return s;
  const H5T_class_t c = H5Tget_class(type.get());
  if (c != H5T_INTEGER && c != H5T_FLOAT)
    return bad(o, attribute_failure(name, std::string("expected numbers, found ") + class_name(c)));
  return {};
}

std::string row_range(hsize_t first, hsize_t n) {
  return "rows " + std::to_string(first) + " to " + std::to_string(first + n - 1);
}

// Selects rows [first, first + n) of the dataset's space and makes the matching memory space.
stage_status select_rows(const hdf5_object& d, const dataset_shape& shape, hsize_t first, hsize_t n,
                         hdf5_id& file_space, hdf5_id& memory_space) {
  const hsize_t start[2] = {first, 0}, count[2] = {n, shape.width};
  file_space.reset(H5Dget_space(d.id.get()));
  if (file_space && H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr) >= 0)
    memory_space.reset(H5Screate_simple(shape.rank, count, nullptr));
  if (!memory_space)
    return failure{exit_status::cannot_open,
                   d.where() + ": cannot select " + row_range(first, n) + ": " + hdf5_reason()};
  return {};
}

}  // namespace

std::string number_text(double v) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
  return std::string(buffer, end);
}

std::optional<std::string> member_name(const std::string& member, std::int64_t k) {
  const auto digits = [&](std::size_t from, std::size_t to) {
    return from < to &&
           std::all_of(member.begin() + static_cast<std::ptrdiff_t>(from),
                       member.begin() + static_cast<std::ptrdiff_t>(to), [](char c) { return c >= '0' && c <= '9'; });
  };
  const std::size_t base = member.rfind('/') == std::string::npos ? 0 : member.rfind('/') + 1;
  const std::size_t last = member.rfind('.');
  if (last == std::string::npos || last < base) return std::nullopt;
  std::size_t from = last + 1, to = member.size();  // snap_010.0
  if (!digits(from, to)) {                          // snap_010.0.hdf5
    const std::size_t before = last > base ? member.rfind('.', last - 1) : std::string::npos;
    if (before == std::string::npos || before < base || !digits(before + 1, last)) return std::nullopt;
    from = before + 1;
    to = last;
  }
  return member.substr(0, from) + std::to_string(k) + member.substr(to);
}

void quiet_hdf5() { H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); }

std::string hdf5_reason() {
  std::string reason;
  // Walking upwards, the first entry is the innermost: where the trouble was found.
  H5Ewalk2(
      H5E_DEFAULT, H5E_WALK_UPWARD,
      [](unsigned n, const H5E_error2_t* e, void* out) -> herr_t {
        if (n == 0 && e->desc != nullptr) *static_cast<std::string*>(out) = e->desc;
        return 0;
      },
      &reason);
  return reason.empty() ? "the HDF5 library gave no reason" : reason;
}

stage_status open_hdf5_file(const std::string& path, hdf5_file& file) {
  quiet_hdf5();
  {
    // The system's reason for a file that cannot be opened, which the library's message
    // buries; and no waiting on a FIFO.
    const unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0)
      return failure{exit_status::cannot_open, "cannot open '" + path + "': " + std::strerror(errno)};
    if (!S_ISREG(st.st_mode))
      return failure{exit_status::cannot_open, "cannot open '" + path + "': " +
                                                   (S_ISDIR(st.st_mode) ? "is a directory" : "is not a regular file")};
    file.size = static_cast<std::uint64_t>(st.st_size);
  }
  file.name = path;
  file.id.reset(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  if (!file.id) return failure{exit_status::bad_snapshot, path + ": not a readable HDF5 file: " + hdf5_reason()};
  return {};
}

stage_status check_unchanged(const hdf5_file& file) {
  void* handle = nullptr;
  struct stat st {};
  // The descriptor of the library's default (POSIX) driver; another driver's file goes unchecked.
  if (H5Fget_vfd_handle(file.id.get(), H5P_DEFAULT, &handle) < 0 || handle == nullptr ||
      fstat(*static_cast<int*>(handle), &st) != 0 || static_cast<std::uint64_t>(st.st_size) == file.size)
    return {};
  return failure{exit_status::snapshot_changed, file.name +
                                                    ": changed since it was opened: " + std::to_string(file.size) +
                                                    " bytes then, " + std::to_string(st.st_size) + " now"};
}

hdf5_object open_object(const hdf5_file& file, const std::string& path) {
  hdf5_object o{&file, path, {}};
  // Each link on the way must exist: the library fails, rather than answering no, when
  // asked about a link below a missing group.
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (H5Lexists(file.id.get(), prefix.c_str(), H5P_DEFAULT) <= 0) return o;
    if (slash == std::string::npos) break;
  }
  if (H5Oexists_by_name(file.id.get(), path.c_str(), H5P_DEFAULT) > 0)
    o.id.reset(H5Oopen(file.id.get(), path.c_str(), H5P_DEFAULT));
  return o;
}

bool has_attribute(const hdf5_object& object, const char* name) {
  return object && H5Aexists(object.id.get(), name) > 0;
}

stage_status read_numbers(const hdf5_object& o, const char* name, std::vector<double>& values, bool required) {
  values.clear();
  hdf5_id a, type;
  std::size_t n = 0;
  if (stage_status s = open_numeric(o, name, required, a, type, n); s.failed() || !a) return s;
  values.resize(n);
  if (n > 0 && H5Aread(a.get(), H5T_NATIVE_DOUBLE, values.data()) < 0)
    return bad(o, attribute_failure(name, "cannot be read: " + hdf5_reason()));
  return {};
}

stage_status read_numbers(const hdf5_object& o, const char* name, std::vector<std::int64_t>& values, bool required) {
  values.clear();
  hdf5_id a, type;
  std::size_t n = 0;
  if (stage_status s = open_numeric(o, name, required, a, type, n); s.failed() || !a) return s;
  values.resize(n);
  if (n == 0) return {};
  const auto unreadable = [&] { return bad(o, attribute_failure(name, "cannot be read: " + hdf5_reason())); };
  const auto not_whole = [&](const std::string& found) {
    return bad(o, attribute_failure(name, "expected whole numbers, found " + found));
  };
  if (H5Tget_class(type.get()) == H5T_FLOAT) {
    std::vector<double> d(n);
    if (H5Aread(a.get(), H5T_NATIVE_DOUBLE, d.data()) < 0) return unreadable();
    for (std::size_t k = 0; k < n; ++k) {
      // 2^63 is exact in double; the library would clip anything beyond it.
      if (!(std::fabs(d[k]) < 0x1p63) || d[k] != std::trunc(d[k])) return not_whole(std::to_string(d[k]));
      values[k] = static_cast<std::int64_t>(d[k]);
    }
  } else if (H5Tget_sign(type.get()) == H5T_SGN_NONE) {
    std::vector<std::uint64_t> u(n);
    if (H5Aread(a.get(), H5T_NATIVE_UINT64, u.data()) < 0) return unreadable();
    for (std::size_t k = 0; k < n; ++k) {
      if (u[k] > static_cast<std::uint64_t>(INT64_MAX)) return not_whole(std::to_string(u[k]) + ", beyond int64");
      values[k] = static_cast<std::int64_t>(u[k]);
    }
  } else if (H5Aread(a.get(), H5T_NATIVE_INT64, values.data()) < 0) {
    return unreadable();
  }
  return {};
}

namespace {

template <typename T>
stage_status read_one(const hdf5_object& o, const char* name, std::optional<T>& value, bool required) {
  value.reset();
  std::vector<T> v;
  if (stage_status s = read_numbers(o, name, v, required); s.failed()) return s;
  if (v.empty() && !has_attribute(o, name)) return {};
  if (v.size() != 1) return bad(o, attribute_failure(name, "expected one value, found " + std::to_string(v.size())));
  value = v[0];
  return {};
}

}  // namespace

stage_status read_number(const hdf5_object& o, const char* name, std::optional<double>& value, bool required) {
  hdf5_id a(has_attribute(o, name) ? H5Aopen(o.id.get(), name, H5P_DEFAULT) : H5I_INVALID_HID);
  const hdf5_id type(a ? H5Aget_type(a.get()) : H5I_INVALID_HID);
  if (!type || H5Tget_class(type.get()) != H5T_STRING) return read_one(o, name, value, required);
  // A number written as text, as codes that copy their parameter files into the snapshot do.
  std::optional<std::string> text;
  if (stage_status s = read_text(o, name, text); s.failed()) return s;
  const char* first = text->data();
  const char* last = first + text->size();
  while (first < last && *first == ' ') ++first;
  double v = 0;
  const auto [end, ec] = std::from_chars(first, last, v);
  if (ec != std::errc() || end != last || first == last)
    return bad(o, attribute_failure(name, "expected a number, found '" + shown_token(*text) + "'"));
  value = v;
  return {};
}

stage_status read_number(const hdf5_object& o, const char* name, std::optional<std::int64_t>& value, bool required) {
  return read_one(o, name, value, required);
}

stage_status read_text(const hdf5_object& o, const char* name, std::optional<std::string>& value) {
  value.reset();
  hdf5_id a, type;
  std::size_t n = 0;
  if (stage_status s = open_attribute(o, name, false, a, type, n); s.failed() || !a) return s;
  if (H5Tget_class(type.get()) != H5T_STRING)
    return bad(
        o, attribute_failure(name, std::string("expected a string, found ") + class_name(H5Tget_class(type.get()))));
  if (n != 1) return bad(o, attribute_failure(name, "expected one string, found " + std::to_string(n)));
  hdf5_id memory(H5Tcopy(H5T_C_S1));
  const htri_t variable = H5Tis_variable_str(type.get());
  const std::size_t size = H5Tget_size(type.get());
  // In the file's own character set: the library converts none to another (h5py writes UTF-8).
  if (!memory || variable < 0 || H5Tset_size(memory.get(), variable > 0 ? H5T_VARIABLE : size) < 0 ||
      H5Tset_cset(memory.get(), H5Tget_cset(type.get())) < 0)
    return bad(o, attribute_failure(name, "cannot be read: " + hdf5_reason()));
  std::string text;
  if (variable > 0) {
    char* p = nullptr;
    if (H5Aread(a.get(), memory.get(), &p) < 0)
      return bad(o, attribute_failure(name, "cannot be read: " + hdf5_reason()));
    if (p != nullptr) text = p;
    H5free_memory(p);
  } else {
    text.assign(size, '\0');
    if (size > 0 && H5Aread(a.get(), memory.get(), text.data()) < 0)
      return bad(o, attribute_failure(name, "cannot be read: " + hdf5_reason()));
    text.resize(std::strlen(text.c_str()));  // fixed-length strings are padded with NULs
  }
  // ... or with blanks, as Fortran pads them.
  while (!text.empty() && text.back() == ' ') text.pop_back();
  value = std::move(text);
  return {};
}

stage_status open_rows(const hdf5_file& file, const std::string& path, bool required, hdf5_object& d,
                       dataset_shape& shape) {
  d = open_object(file, path);
  shape = {};
  if (!d) {
    if (required) return failure{exit_status::bad_snapshot, file.name + ": no dataset " + path};
    return {};
  }
  if (H5Iget_type(d.id.get()) != H5I_DATASET) return bad(d, "expected a dataset, found a group");
  const hdf5_id type(H5Dget_type(d.id.get())), space(H5Dget_space(d.id.get())), create(H5Dget_create_plist(d.id.get()));
  if (!type || !space || !create) return bad(d, "cannot be read: " + hdf5_reason());
  const H5T_class_t c = H5Tget_class(type.get());
  if (c != H5T_INTEGER && c != H5T_FLOAT) return bad(d, std::string("expected numbers, found ") + class_name(c));
  hsize_t dims[H5S_MAX_RANK] = {};
  shape.rank = H5Sget_simple_extent_dims(space.get(), dims, nullptr);
  if (shape.rank != 1 && shape.rank != 2)
    return bad(d, "expected a list or a table of rows, found " + extent_text(space.get()));
  shape.rows = dims[0];
  shape.width = shape.rank == 2 ? dims[1] : 1;
  shape.value_size = H5Tget_size(type.get());
  shape.type = H5Tequal(type.get(), H5T_NATIVE_FLOAT) > 0    ? dataset_shape::stored::float32
               : H5Tequal(type.get(), H5T_NATIVE_DOUBLE) > 0 ? dataset_shape::stored::float64
                                                             : dataset_shape::stored::other;
  if (H5Pget_layout(create.get()) != H5D_CHUNKED) return {};
  hsize_t chunk[H5S_MAX_RANK] = {};
  if (H5Pget_chunk(create.get(), H5S_MAX_RANK, chunk) < 1) return bad(d, "cannot be read: " + hdf5_reason());
  shape.chunk_rows = chunk[0];
  // Room for two chunks (the library's default is 1 MiB), to 64 MiB at most.
  const double chunk_bytes =
      static_cast<double>(chunk[0]) * static_cast<double>(shape.width) * static_cast<double>(shape.value_size);
  const std::size_t cache = static_cast<std::size_t>(std::clamp(2 * chunk_bytes, 1048576.0, 67108864.0));
  const hdf5_id access(H5Pcreate(H5P_DATASET_ACCESS));
  if (!access || H5Pset_chunk_cache(access.get(), 521, cache, 1.0) < 0)
    return bad(d, "cannot be read: " + hdf5_reason());
  d.id.reset(H5Dopen2(file.id.get(), path.c_str(), access.get()));
  if (!d.id) return bad(d, "cannot be opened: " + hdf5_reason());
  return {};
}

stage_status read_rows(const hdf5_object& d, const dataset_shape& shape, hsize_t first, hsize_t n, double* out,
                       std::vector<float>& staging) {
  if (n == 0) return {};
  hdf5_id file_space, memory_space;
  if (stage_status s = select_rows(d, shape, first, n, file_space, memory_space); s.failed()) return s;
  const std::size_t values = static_cast<std::size_t>(n * shape.width);
  herr_t read = 0;
  if (shape.type == dataset_shape::stored::float32) {
    // Read as stored and widen here: the library's own conversion goes through a buffer of
    // its own in strips, at less than half the speed (bench/snapshot_bench).
    if (staging.size() < values) staging.resize(values);
    read = H5Dread(d.id.get(), H5T_NATIVE_FLOAT, memory_space.get(), file_space.get(), H5P_DEFAULT, staging.data());
    const float* from = staging.data();
    for (std::size_t k = 0; k < values; ++k) out[k] = from[k];
  } else {
    read = H5Dread(d.id.get(), H5T_NATIVE_DOUBLE, memory_space.get(), file_space.get(), H5P_DEFAULT, out);
  }
  if (read < 0)
    return failure{exit_status::cannot_open, d.where() + ": cannot read " + row_range(first, n) + ": " + hdf5_reason()};
  return {};
}

stage_status read_rows(const hdf5_object& d, const dataset_shape& shape, hsize_t first, hsize_t n, std::uint64_t* out) {
  if (n == 0) return {};
  hdf5_id file_space, memory_space;
  if (stage_status s = select_rows(d, shape, first, n, file_space, memory_space); s.failed()) return s;
  if (H5Dread(d.id.get(), H5T_NATIVE_UINT64, memory_space.get(), file_space.get(), H5P_DEFAULT, out) < 0)
    return failure{exit_status::cannot_open, d.where() + ": cannot read " + row_range(first, n) + ": " + hdf5_reason()};
  return {};
}

}  // namespace haloprof
