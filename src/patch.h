// patch: an existing image trimmed to the kept tracks and playlists, with
// tempos overwritten.
#ifndef DOVREL_PATCH_H_
#define DOVREL_PATCH_H_

#include <cstdint>
#include <vector>

#include "error.h"
#include "request.h"

namespace dovrel {

// Takes over `image`, changes it as the request's "keepTracks",
// "keepPlaylists" and "tempos" say and returns it.
Result<std::vector<std::uint8_t>> patch(std::vector<std::uint8_t> image, const Request& request);

}  // namespace dovrel

#endif  // DOVREL_PATCH_H_
