// The "build" action: a whole new database image from a request's tracks
// and playlists, starting from the blank image.
#ifndef DOVREL_BUILD_H_
#define DOVREL_BUILD_H_

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "error.h"
#include "request.h"

namespace dovrel {

// Builds the image for `request`: tracks in request order through the
// editor, playlists parents first (in passes), then the request's ids and
// the file types written over the editor's, then the artwork. Fails with
// "Duplicate track ID", "Duplicate playlist ID", "Playlist references absent
// track", "Playlist parent cycle or missing parent", "Unsupported audio
// extension", the artwork messages, or a library error; nothing of a failed
// build is kept.
Result<std::vector<std::uint8_t>> build(const Request& request);

// The file type code of an audio path's extension (the text after its last
// ".", or the whole path without one; ASCII letters compared in lower
// case): mp3 1, m4a and aac 4, flac 5, alac 6, wav 11, aif and aiff 12.
std::optional<std::uint16_t> file_type_for_path(std::string_view audio_path);

// "bpm" in hundredths, rounded half away from zero, clamped to 0 … 2^32 - 1.
std::uint32_t tempo_from_bpm(double bpm);

}  // namespace dovrel

#endif  // DOVREL_BUILD_H_
