// Stand-ins for the HDF5 readers, built on another branch; removed when it is merged.
#include "snapshot/formats.h"

namespace haloprof {

stage_status open_hdf5_snapshot(const std::string& path, std::unique_ptr<snapshot_reader>&) {
  return failure{exit_status::bad_snapshot, path + ": HDF5 snapshots are not read by this build yet"};
}

stage_status read_hdf5_catalogue(const std::string& path, halo_catalogue&) {
  return failure{exit_status::bad_snapshot, path + ": HDF5 catalogues are not read by this build yet"};
}

}  // namespace haloprof
