// build: a new database image made from a request's tracks and playlists.
#ifndef DOVREL_BUILD_H_
#define DOVREL_BUILD_H_

#include <cstdint>
#include <vector>

#include "error.h"
#include "request.h"

namespace dovrel {

// Returns the complete image for the request's "tracks" and "playlists".
Result<std::vector<std::uint8_t>> build(const Request& request);

}  // namespace dovrel

#endif  // DOVREL_BUILD_H_
