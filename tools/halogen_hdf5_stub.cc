// Stand-in for halogen's HDF5 writer, built on another branch; removed when it is merged.
#include "synthetic_snapshot.h"

bool write_hdf5(const std::string& path, const synthetic_snapshot&, const hdf5_options&, std::string& error) {
  error = "cannot write '" + path + "': HDF5 snapshots are not written by this build yet";
  return false;
}
