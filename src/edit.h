// The "edit" action: the request's "changes" applied in order to an
// existing image, all or nothing, through the library's edits.
#ifndef DOVREL_EDIT_H_
#define DOVREL_EDIT_H_

#include <cstdint>
#include <vector>

#include "error.h"
#include "request.h"
#include "vantrel_pdb/library.h"

namespace dovrel {

// Opens `image` (the structure check, then every row checked) and applies
// each change in order to the library as the earlier ones left it:
// addTracks and addPlaylists as a build adds them (committed at once, so
// that their refusals belong to their change), the others as the library's
// changes in place. The first failing change fails the whole edit with
// "changes[I]: " and its message, e.g. "changes[3]: no track with id 7".
// With no changes the image is as it was, byte for byte. The library holds
// the result, from which the report is made. `check_beside_write`: the last
// change's check is put off (Library::defer_check), to be settled as the
// image is written; its failure then reads as edit_check_error says.
Result<vantrel_pdb::Library> edit_library(std::vector<std::uint8_t> image, const Request& request,
                                          bool check_beside_write = false);

// The message of a failed check put off by edit_library: the last change's.
Error edit_check_error(const Request& request, const vantrel_pdb::PdbError& error);

}  // namespace dovrel

#endif  // DOVREL_EDIT_H_
