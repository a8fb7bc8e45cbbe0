// The cut's files: each halo's particles in haloprof's text form, and the manifest, written
// under temporary names in the output directory and put in place together once all are
// complete, so that a failed or killed run never leaves a short halo file where haloprof
// would read it as a smaller halo.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "core/status.h"

namespace haloprof {

class output_files {
 public:
  // Makes `dir` (and its parents) where missing; fails with exit_status::report.
  stage_status open(const std::string& dir);
  ~output_files();  // removes every file not yet put in place

  // Writes `text` whole to a temporary file that will become `name` in the directory. Safe
  // to call from several threads at once.
  stage_status write(const std::string& name, const std::string& text);
  // Puts every file written in place (renames) and syncs the directory; then removes the
  // files of an earlier cut that `earlier` says are its own (halo_ID.txt) and this one did not
  // write, so that the directory holds one cut. A failure (exit_status report) leaves the
  // names as they were, the files written still pending.
  stage_status commit(bool (*earlier)(const std::string& name));

  const std::string& directory() const { return dir_; }

 private:
  stage_status fail(const std::string& name, int error) const;
  std::string dir_;
  std::mutex lock_;                                           // over pending_
  std::vector<std::pair<std::string, std::string>> pending_;  // temporary name, final name
};

}  // namespace haloprof
