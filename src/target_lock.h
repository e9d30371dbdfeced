// The advisory lock that makes writers of the same output take turns: the
// library's (vantrel_pdb/files.h), which save() takes too, under the names
// the front end uses.
#ifndef DOVREL_TARGET_LOCK_H_
#define DOVREL_TARGET_LOCK_H_

#include "vantrel_pdb/files.h"

namespace dovrel {

using vantrel_pdb::DirectoryLock;
using vantrel_pdb::TargetLock;

}  // namespace dovrel

#endif  // DOVREL_TARGET_LOCK_H_
