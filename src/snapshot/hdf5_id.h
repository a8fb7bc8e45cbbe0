// An HDF5 identifier (file, group, dataset, attribute, dataspace, datatype or property list)
// owned by one object and closed when it goes, so that every path out of a function that
// opened it closes it. Header-only: halogen's writers use it too.
#pragma once

#include <utility>

#include <hdf5.h>

namespace haloprof {

class hdf5_id {
 public:
  hdf5_id() = default;
  explicit hdf5_id(hid_t id) : id_(id) {}
  ~hdf5_id() { reset(); }
  hdf5_id(const hdf5_id&) = delete;
  hdf5_id& operator=(const hdf5_id&) = delete;
  hdf5_id(hdf5_id&& other) noexcept : id_(std::exchange(other.id_, H5I_INVALID_HID)) {}
  hdf5_id& operator=(hdf5_id&& other) noexcept {
    if (this != &other) reset(std::exchange(other.id_, H5I_INVALID_HID));
    return *this;
  }

  hid_t get() const { return id_; }
  explicit operator bool() const { return id_ >= 0; }
  // Closes the identifier held, if any, by the close call of its kind, and holds `id`.
  // Returns false when that close failed (for a file being written: its data may be lost).
  bool reset(hid_t id = H5I_INVALID_HID) {
    herr_t closed = 0;
    if (id_ >= 0) {
      switch (H5Iget_type(id_)) {
        case H5I_FILE:
          closed = H5Fclose(id_);
          break;
        case H5I_GROUP:
          closed = H5Gclose(id_);
          break;
        case H5I_DATASET:
          closed = H5Dclose(id_);
          break;
        case H5I_ATTR:
          closed = H5Aclose(id_);
          break;
        case H5I_DATASPACE:
          closed = H5Sclose(id_);
          break;
        case H5I_DATATYPE:
          closed = H5Tclose(id_);
          break;
        case H5I_GENPROP_LST:
          closed = H5Pclose(id_);
          break;
        default:
          closed = H5Idec_ref(id_) < 0 ? -1 : 0;
          break;
      }
    }
    id_ = id;
    return closed >= 0;
  }

 private:
  hid_t id_ = H5I_INVALID_HID;
};

}  // namespace haloprof
