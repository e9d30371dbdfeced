// The calls with which write_file gives a new file its mode and owner, and
// syncs the directory after the rename, replaceable by tests so that they
// can make them fail as a FAT file system or a failing disk does. Internal
// to the library and never exported.
#ifndef VANTREL_PDB_FILES_METADATA_CALLS_FOR_TESTING_H_
#define VANTREL_PDB_FILES_METADATA_CALLS_FOR_TESTING_H_

#include <sys/types.h>

namespace vantrel_pdb {

// Replaces the calls for its lifetime; restores the real ones when it goes.
class ScopedMetadataCallsForTesting {
 public:
  using Fchmod = int (*)(int fd, mode_t mode);
  using Fchown = int (*)(int fd, uid_t owner, gid_t group);
  ScopedMetadataCallsForTesting(Fchmod fchmod_call, Fchown fchown_call);
  ~ScopedMetadataCallsForTesting();
  ScopedMetadataCallsForTesting(const ScopedMetadataCallsForTesting&) = delete;
  ScopedMetadataCallsForTesting& operator=(const ScopedMetadataCallsForTesting&) = delete;
};

// Replaces the fsync of the target's directory for its lifetime.
class ScopedDirectorySyncForTesting {
 public:
  using Fsync = int (*)(int fd);
  explicit ScopedDirectorySyncForTesting(Fsync fsync_call);
  ~ScopedDirectorySyncForTesting();
  ScopedDirectorySyncForTesting(const ScopedDirectorySyncForTesting&) = delete;
  ScopedDirectorySyncForTesting& operator=(const ScopedDirectorySyncForTesting&) = delete;
};

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_FILES_METADATA_CALLS_FOR_TESTING_H_
