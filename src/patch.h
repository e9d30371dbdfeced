// The "patch" action: keeps the chosen tracks and playlists of an existing
// image (the others are marked absent in place), removes the history when
// tracks go, and rewrites tempos.
#ifndef DOVREL_PATCH_H_
#define DOVREL_PATCH_H_

#include <cstdint>
#include <string>
#include <vector>

#include "error.h"
#include "request.h"

namespace dovrel {

// The start of the message of a patch whose result would not read back.
inline constexpr char kPatchWouldNotReadBack[] =
    "Patched image would not read back (rows of the input overlap what the patch rewrites): ";

// Changes `image` as "keepTracks", "keepPlaylists" and "tempos" say and
// returns it. Only present flags, packed counts and tempo fields change:
// the file keeps its length, chains, header and sequence numbers. Every data
// page's present_row_count is recounted. Fails with the structure check's
// messages, a reader error, or "Invalid row directory" for a data page whose
// 13-bit slot count puts a slot's offset word inside the page header.
//
// The result always passes read. A damaged input whose rows or strings lie
// over the bytes the patch rewrites (a page header, a row index, another
// row's tempo) could otherwise come out unreadable; such a patch fails with
// kPatchWouldNotReadBack followed by read's message instead.
Result<std::vector<std::uint8_t>> patch(std::vector<std::uint8_t> image, const Request& request);

// A patched image and its report line, as read gives it.
struct PatchedImage {
  std::vector<std::uint8_t> image;
  std::string report;
};

// As patch, and also returns the report of the result, made by the same
// reading that checks it (so the action decodes the result only once).
Result<PatchedImage> patch_and_report(std::vector<std::uint8_t> image, const Request& request);

}  // namespace dovrel

#endif  // DOVREL_PATCH_H_
