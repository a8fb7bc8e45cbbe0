// Placeholder until the text reader is wired in.
#include "snapshot/formats.h"

namespace haloprof {

stage_status open_text_snapshot(const std::string& path, std::unique_ptr<snapshot_reader>&) {
  return failure{exit_status::bad_snapshot, path + ": text snapshots are not read yet"};
}

}  // namespace haloprof
