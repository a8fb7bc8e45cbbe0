// The readers behind open_snapshot and read_catalogue, one per kind of file. Internal to
// the snapshot library.
#pragma once

#include <memory>
#include <string>

#include "core/status.h"
#include "snapshot/catalogue.h"
#include "snapshot/snapshot.h"

namespace haloprof {

// What the first bytes of a file say it is.
enum class file_kind {
  gadget,  // a Fortran record of 256 bytes (the header) or 8 (a label), in either byte order
  hdf5,    // the HDF5 signature, at the start or after a user block
  text,    // anything else: text, told apart further by its reader
};

// Reads the first bytes of `path`; fails with cannot_open when it cannot be read.
stage_status sniff(const std::string& path, file_kind& kind);

// Gadget-2 binary snapshots, format 1 and 2, either byte order, single or multi-file.
stage_status open_gadget_snapshot(const std::string& path, std::unique_ptr<snapshot_reader>& reader);
// HDF5 snapshots in the Gadget-4, AREPO, GIZMO and SWIFT layouts, single or multi-file.
stage_status open_hdf5_snapshot(const std::string& path, std::unique_ptr<snapshot_reader>& reader);
// haloprof's own text snapshot of a whole box, read by haloprof's reader on `threads` threads.
stage_status open_text_snapshot(const std::string& path, std::unique_ptr<snapshot_reader>& reader, int threads);

// AHF .AHF_halos files, Rockstar out_*.list files and plain lists of centres.
stage_status read_text_catalogue(const std::string& path, halo_catalogue& catalogue);
// Gadget-4/AREPO group catalogues (fof_subhalo_tab_*.hdf5).
stage_status read_hdf5_catalogue(const std::string& path, halo_catalogue& catalogue);

}  // namespace haloprof
