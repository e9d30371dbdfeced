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

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread for the life of
// the object, so that a name is never created or renamed without being
// registered, nor registered without existing; a signal that arrives
// meanwhile is delivered when the object goes. While any thread holds one,
// a handler running in another thread waits for it to end before it
// removes the registered names, so that files may be written by several
// threads at once (each blocking the signals while it names files).
class CleanupSignalsBlocked {
 public:
  CleanupSignalsBlocked();
  ~CleanupSignalsBlocked();
  CleanupSignalsBlocked(const CleanupSignalsBlocked&) = delete;
  CleanupSignalsBlocked& operator=(const CleanupSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

// Names registered at once at most: one per file being written.
inline constexpr int kMaxTempFiles = 64;

// Records that `name` (at most 63 bytes) in the directory open as
// `directory_fd` is a temporary file to remove on a signal, and returns the
// registration to forget it by, or -1 when kMaxTempFiles names are
// registered already (the name then goes unregistered). Requires: the
// signals are blocked (CleanupSignalsBlocked).
int register_temp_file(int directory_fd, std::string_view name);

// Forgets registration `slot` (the file was renamed or removed); -1 does
// nothing. Requires: the signals are blocked.
void forget_temp_file(int slot);

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_FILES_TEMP_FILE_CLEANUP_H_
