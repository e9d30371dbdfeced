// The "patch" action: keeps the chosen tracks and playlists of an existing
// image (the others are marked absent in place), removes the history when
// tracks go, and rewrites tempos, all through the library.
#ifndef DOVREL_PATCH_H_
#define DOVREL_PATCH_H_

#include <cstdint>
#include <vector>

#include "error.h"
#include "request.h"
#include "vantrel_pdb/library.h"

namespace dovrel {

// The start of the message of a patch that would leave an image that does
// not read back; the reader's message follows.
inline constexpr char kPatchWouldNotReadBack[] =
    "Patched image would not read back (rows of the input overlap what the patch rewrites): ";

// Opens `image` (the structure check, then every row checked) and keeps
// what "keepTracks", "keepPlaylists" and "tempos" say. Only present flags,
// packed counts and tempo fields change. Fails with the structure check's
// messages, a reader error, "Invalid row directory", or
// kPatchWouldNotReadBack followed by read's message for a damaged input
// whose rows overlap what the patch rewrites. The library holds the decoded
// result, from which the report is made. `check_beside_write`: the check of
// the result is put off (Library::defer_check), to be settled as the image
// is written; its failure then reads as patch_error says.
Result<vantrel_pdb::Library> patch_library(std::vector<std::uint8_t> image, const Request& request,
                                           bool check_beside_write = false);

// The message of a patch's failure in the library: kPatchWouldNotReadBack
// and the reason for UnreadableChange, the library's message for any other.
Error patch_error(const vantrel_pdb::PdbError& error);

// As patch_library, and returns the image.
Result<std::vector<std::uint8_t>> patch(std::vector<std::uint8_t> image, const Request& request);

}  // namespace dovrel

#endif  // DOVREL_PATCH_H_
