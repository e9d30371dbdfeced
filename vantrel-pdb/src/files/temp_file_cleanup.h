// Removal of a half-written temporary file when the run is stopped by
// SIGTERM, SIGINT or SIGHUP. The file writer (files.h) registers the name of its
// temporary file while it exists; the handler removes that name and then
// lets the signal end the process as it would have without a handler.
#ifndef VANTREL_PDB_FILES_TEMP_FILE_CLEANUP_H_
#define VANTREL_PDB_FILES_TEMP_FILE_CLEANUP_H_

#include <csignal>
#include <string_view>

namespace vantrel_pdb {

// install_temp_file_cleanup (files.h) installs the handler; without it
// registration is harmless and the signals act as usual.

// Blocks SIGTERM, SIGINT and SIGHUP for the life of the object, so that a
// name is never created or renamed without being registered, nor
// registered without existing; a signal that arrives meanwhile is delivered
// when the object goes.
class CleanupSignalsBlocked {
 public:
  CleanupSignalsBlocked();
  ~CleanupSignalsBlocked();
  CleanupSignalsBlocked(const CleanupSignalsBlocked&) = delete;
  CleanupSignalsBlocked& operator=(const CleanupSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

// Records that `name` (at most 63 bytes) in the directory open as
// `directory_fd` is a temporary file to remove on a signal. Requires:
// the signals are blocked (CleanupSignalsBlocked). One name at a time.
void register_temp_file(int directory_fd, std::string_view name);

// Forgets the registered name (it was renamed or removed). Requires: the
// signals are blocked.
void forget_temp_file();

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_FILES_TEMP_FILE_CLEANUP_H_
