// The profile report: one block per run appended to HaloProperties.dat.
#pragma once

#include <atomic>
#include <functional>
#include <iosfwd>
#include <string>

#include "core/run_state.h"
#include "core/status.h"

namespace haloprof {

inline constexpr const char* report_file = "HaloProperties.dat";

// Column header of the report, 100 characters.
inline constexpr const char* report_header =
    " r_in     <r>    r_out     Np     Overden Ovd(<r_out)  Mass     Vrms    Vradial    Vtangential  beta";

// Turns the shell sums into means and root-mean-squares in place and returns the whole
// block: the redshift and center (in the file's frame), the header and one row per
// non-empty shell.
std::string compose_report(run_state& data);

// The report file, opened for appending (created when missing, never truncated). A block
// goes in with one write under an exclusive lock, so that runs sharing a directory never
// interleave; a block that the file-size limit or the disk has no room for is not begun, and
// a failed write is cut back off, leaving what earlier runs wrote intact; a report this run
// created is removed again when a failure leaves it empty. Only a regular file is taken,
// refused at once otherwise (a FIFO would wait for a reader). When the file at the path is
// replaced or removed while the lock is awaited, the block goes into the file then at the
// path. When append() succeeds the block is on stable storage, and so is the file's name in
// its directory (that of the file a link at the path leads to). `waiting`, when given, is
// called once when the lock has been awaited for a second (from another thread, while this
// one waits), so that a watcher can be told why the run stands still.
class report_appender {
 public:
  explicit report_appender(std::function<void()> waiting = {}) : waiting_(std::move(waiting)) {}
  report_appender(const report_appender&) = delete;
  report_appender& operator=(const report_appender&) = delete;
  ~report_appender();

  stage_status open(const std::string& path);
  stage_status append(const std::string& block);

 private:
  stage_status open_file();
  stage_status lock();
  stage_status fail(const std::string& why) const;
  void remove_if_own_and_empty();
  std::function<void()> waiting_;
  std::string path_;
  int fd_ = -1;
  bool created_ = false;  // the file held was created by this run
  std::atomic<bool> told_waiting_{false};
};

// Third stage: bulk velocity, binning, and the report appended to HaloProperties.dat in
// the working directory. Prints the bulk velocity and the mean number density; `waiting` as
// for report_appender.
stage_status findproperties(run_state& data, std::ostream& out, std::function<void()> waiting = {});

}  // namespace haloprof
