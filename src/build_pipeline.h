// A build whose library is made while its request is read: the one pass
// (request_one_pass.h) reads the tracks in batches on the caller's thread
// and a second thread adds each batch to the library as it comes, so that
// the two largest parts of a build run at once.
#ifndef DOVREL_BUILD_PIPELINE_H_
#define DOVREL_BUILD_PIPELINE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "error.h"
#include "request.h"
#include "vantrel_pdb/library.h"

namespace dovrel {

// Requests shorter than this are parsed first and built after: a thread
// costs more than it saves on a few thousand tracks.
inline constexpr std::size_t kPipelinedText = std::size_t{1} << 20;

struct ParsedRequest {
  Request request;
  // For a build that the one pass read: its library with the tracks and the
  // playlists added, or the first failure of adding them, which the caller
  // reports after every error of the request itself, as a build of the
  // parsed request would. The request's tracks are then empty. Absent for
  // any other request, whose tracks the request holds.
  std::optional<Result<vantrel_pdb::Library>> built;
};

// As parse_request_taking, building the library of a build request of at
// least `min_text` bytes as it is read, on a machine of more than one core.
// An exception of either thread (std::bad_alloc above all) is thrown here
// once both have stopped.
Result<ParsedRequest> parse_request_building(std::vector<std::uint8_t> input, std::size_t min_text = kPipelinedText);

// Told, now and then as the one pass reads a text that stands elsewhere,
// that the text's first `bytes` bytes are read: the pass does not look at
// them again (the request's own reader, should it read the text after all,
// reads it anew).
using TextRead = std::function<void(std::size_t bytes)>;

// How much more text the one pass reads between two calls of a TextRead.
inline constexpr std::size_t kTextReadStep = std::size_t{4} << 20;

// As above for a text that stands elsewhere and is followed by
// kRequestPadding readable bytes (a mapped file's), which it only reads;
// the request's own reader, when it must read it, reads a copy. `text_read`,
// when given, is told how far the one pass has read (a mapped file lets go
// of the pages behind it).
Result<ParsedRequest> parse_request_building(std::string_view padded_text, std::size_t min_text = kPipelinedText,
                                             const TextRead& text_read = {});

}  // namespace dovrel

#endif  // DOVREL_BUILD_PIPELINE_H_
