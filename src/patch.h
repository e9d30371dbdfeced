// The "patch" action: keeps the chosen tracks and playlists of an existing
// image (the others are marked absent in place), removes the history when
// tracks go, and rewrites tempos.
#ifndef DOVREL_PATCH_H_
#define DOVREL_PATCH_H_

#include <cstdint>
#include <vector>

#include "error.h"
#include "request.h"

namespace dovrel {

// Changes `image` as "keepTracks", "keepPlaylists" and "tempos" say and
// returns it. Only present flags, packed counts and tempo fields change:
// the file keeps its length, chains, header and sequence numbers. Every data
// page's present_row_count is recounted. Fails with the structure check's
// messages, a reader error, or "Invalid row directory" for a data page whose
// 13-bit slot count puts a slot's offset word inside the page header.
Result<std::vector<std::uint8_t>> patch(std::vector<std::uint8_t> image, const Request& request);

}  // namespace dovrel

#endif  // DOVREL_PATCH_H_
