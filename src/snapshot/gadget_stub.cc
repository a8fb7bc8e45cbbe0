// Stand-ins for the Gadget binary reader and the text catalogues, built on another branch,
// so that this one builds alone. Removed when the branches are joined.
#include "snapshot/formats.h"

namespace haloprof {

stage_status open_gadget_snapshot(const std::string& path, std::unique_ptr<snapshot_reader>&) {
  return failure{exit_status::bad_snapshot, path + ": Gadget binary snapshots are not read by this build"};
}

stage_status read_text_catalogue(const std::string& path, halo_catalogue&) {
  return failure{exit_status::bad_snapshot, path + ": text halo catalogues are not read by this build"};
}

}  // namespace haloprof
