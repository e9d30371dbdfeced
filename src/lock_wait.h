// How a run waits for the writers' lock of its output: it says so on
// standard error once the wait has lasted a second, and gives up after the
// seconds that the environment variable DOVREL_LOCK_TIMEOUT sets, when set.
#ifndef DOVREL_LOCK_WAIT_H_
#define DOVREL_LOCK_WAIT_H_

#include "error.h"
#include "vantrel_pdb/files.h"

namespace dovrel {

inline constexpr char kLockTimeoutVariable[] = "DOVREL_LOCK_TIMEOUT";

// The wait, read from the environment once. DOVREL_LOCK_TIMEOUT is a number
// of seconds, 0 or more ("5", "0.5"); anything else fails with
// "DOVREL_LOCK_TIMEOUT: expected a number of seconds, got \"VALUE\"". The
// notice reads "dovrel: waiting for the lock of PATH, held by process N
// (NAME)".
Result<vantrel_pdb::LockWait> lock_wait();

}  // namespace dovrel

#endif  // DOVREL_LOCK_WAIT_H_
