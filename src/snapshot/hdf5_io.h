// Reading HDF5 attributes and datasets whatever numeric type the writer chose, with every
// failure a one-line message naming the file and the group, dataset or attribute. Internal
// to the snapshot library (the snapshot and group catalogue readers).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/status.h"
#include "snapshot/hdf5_id.h"

namespace haloprof {

// Turns off the library's printing of its error stack for the calling thread (the library
// keeps one stack per thread), so that nothing reaches standard error. Every entry point of
// the readers calls it first.
void quiet_hdf5();

// The innermost reason on the calling thread's error stack ("truncated file: eof = 96, ..."),
// or "" when the stack is empty.
std::string hdf5_reason();

// The shortest text that reads back as `v` ("0.25", "1e+10"), for messages.
std::string number_text(double v);

// The name of member `k` of a multi-file set, from the name of any member: the file number
// before the extension (snap_010.0.hdf5 -> snap_010.K.hdf5) or at the end (snap_010.0 ->
// snap_010.K); nullopt when the name carries no file number.
std::optional<std::string> member_name(const std::string& member, std::int64_t k);

struct hdf5_file {
  std::string name;
  hdf5_id id;
  std::uint64_t size = 0;  // bytes, when it was opened
};

// Opens `path` read-only. Fails with cannot_open when the file cannot be opened (naming the
// system's reason), bad_snapshot when it is not a readable HDF5 file (naming the library's).
stage_status open_hdf5_file(const std::string& path, hdf5_file& file);

// Fails with snapshot_changed when the open file's size is no longer the one it had when it
// was opened: the library reads the bytes a file lost as zeros, which would pass for values.
stage_status check_unchanged(const hdf5_file& file);

// A group or dataset of an open file, with its path for messages.
struct hdf5_object {
  const hdf5_file* file = nullptr;
  std::string path;  // absolute: "/PartType1/Coordinates"
  hdf5_id id;
  explicit operator bool() const { return static_cast<bool>(id); }
  std::string where() const { return file->name + ": " + path; }  // the prefix of messages
};

// The group or dataset at `path`; an empty object when the file has nothing there.
hdf5_object open_object(const hdf5_file& file, const std::string& path);

bool has_attribute(const hdf5_object& object, const char* name);

// Reads the numeric attribute `name` (a scalar or a list of at most 64 values, of any integer
// or floating type) into `values`. An absent attribute leaves `values` empty, and is a
// failure only when `required`. Integers must be whole numbers within int64.
stage_status read_numbers(const hdf5_object& object, const char* name, std::vector<double>& values, bool required);
stage_status read_numbers(const hdf5_object& object, const char* name, std::vector<std::int64_t>& values,
                          bool required);
// One value (a scalar or a list of one, as some codes write their scalars; for a double,
// also a number written as a string); nullopt when the attribute is absent and not required.
stage_status read_number(const hdf5_object& object, const char* name, std::optional<double>& value, bool required);
stage_status read_number(const hdf5_object& object, const char* name, std::optional<std::int64_t>& value,
                         bool required);
// A string attribute (fixed or variable length); nullopt when absent.
stage_status read_text(const hdf5_object& object, const char* name, std::optional<std::string>& value);

// What a dataset holds: `rows` values (width 1, rank 1) or rows of `width` (rank 2), and
// how its numbers are stored.
struct dataset_shape {
  enum class stored { float32, float64, other };  // float32/64: native order, read as they are
  int rank = 0;
  hsize_t rows = 0, width = 1;
  stored type = stored::other;
  std::size_t value_size = 0;  // bytes per stored value
  hsize_t chunk_rows = 0;      // rows per storage chunk; 0 when the dataset is contiguous
};

// Opens the numeric dataset at `path` (rank 1, or rank 2 of rows) for reading row by row,
// with a chunk cache that holds a whole storage chunk, so that a chunk cut by two reads is
// read and decompressed once. Leaves `dataset` empty when the file has nothing there (a
// failure only when `required`); fails for other types and ranks.
stage_status open_rows(const hdf5_file& file, const std::string& path, bool required, hdf5_object& dataset,
                       dataset_shape& shape);

// Reads rows [first, first + n) of `dataset` into `out` (n * width values), widening single
// precision through `staging` (grown as needed, so callers reuse it) and converting other
// types in the library. Fails with cannot_open naming the dataset and the rows.
stage_status read_rows(const hdf5_object& dataset, const dataset_shape& shape, hsize_t first, hsize_t n, double* out,
                       std::vector<float>& staging);
stage_status read_rows(const hdf5_object& dataset, const dataset_shape& shape, hsize_t first, hsize_t n,
                       std::uint64_t* out);

}  // namespace haloprof
