// Fuzz target: the "patch" action.
//
// Input: kControlBytes that choose the request, then the image. The request's
// ids come from the image's own tracks and playlists (decoded without the
// structure check, which exercises the reader on unchecked bytes too):
//   byte 0     bit 0 "keepTracks" given, bit 1 "keepPlaylists" given,
//              bit 2 "tempos" given, bit 3 add an id that no row has to each,
//              bit 4 list every kept id twice
//   bytes 1-2  track i is kept when bit (i mod 16) is set
//   bytes 3-4  playlist i is kept when bit (i mod 16) is set
//   byte 5     track i gets a tempo when bit (i mod 8) is set
//   bytes 6-7  base of the tempos: track i gets base * 100 + i
//
// When patch succeeds: the image keeps its length; only packed counts,
// present flags and the tempo fields of retuned tracks differ; read accepts
// the result (patch must never make a file that its own read rejects); the
// report lists only kept tracks and playlists, playlists list only kept
// tracks, and retuned tracks show their new tempo.
#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "format/coding.h"
#include "format/format.h"
#include "patch.h"
#include "read/database.h"
#include "read/track.h"
#include "report.h"
#include "report_check.h"
#include "request.h"

namespace {

using dovrel::fuzz::check;
namespace f = vantrel_pdb::format;

constexpr std::size_t kControlBytes = 8;
constexpr std::uint8_t kKeepTracks = 0x01;
constexpr std::uint8_t kKeepPlaylists = 0x02;
constexpr std::uint8_t kTempos = 0x04;
constexpr std::uint8_t kStrayIds = 0x08;
constexpr std::uint8_t kTwice = 0x10;
constexpr std::uint32_t kStrayId = 0xFFFFFFF0;

bool selected(std::uint32_t mask, std::size_t i, std::size_t width) { return (mask >> (i % width)) & 1u; }

std::vector<std::uint32_t> keep_list(const std::vector<std::uint32_t>& ids, std::uint32_t mask, std::uint8_t mode) {
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (!selected(mask, i, 16)) continue;
    out.push_back(ids[i]);
    if (mode & kTwice) out.push_back(ids[i]);
  }
  if (mode & kStrayIds) out.push_back(kStrayId);
  return out;
}

dovrel::Request request_for(const std::uint8_t* control, vantrel_pdb::Bytes image) {
  std::vector<std::uint32_t> track_ids, playlist_ids;
  if (auto db = vantrel_pdb::Database::from_bytes(image)) {
    for (const auto& t : db->tracks) track_ids.push_back(t.id);
    for (const auto& node : db->playlist_tree) playlist_ids.push_back(node.id);
  }
  const std::uint8_t mode = control[0];
  dovrel::Request request;
  request.action = "patch";
  if (mode & kKeepTracks) request.keep_tracks = keep_list(track_ids, vantrel_pdb::decode_fixed16(control + 1), mode);
  if (mode & kKeepPlaylists) {
    request.keep_playlists = keep_list(playlist_ids, vantrel_pdb::decode_fixed16(control + 3), mode);
  }
  if (mode & kTempos) {
    const std::uint32_t base = vantrel_pdb::decode_fixed16(control + 6);
    for (std::size_t i = 0; i < track_ids.size(); ++i) {
      if (selected(control[5], i, 8)) request.tempos[track_ids[i]] = base * 100 + static_cast<std::uint32_t>(i);
    }
    if (mode & kStrayIds) request.tempos[kStrayId] = base;
  }
  return request;
}

// The bytes patch may change: every page's packed counts and every place a
// row group's present flags can lie, on pages that had rows before or after,
// and the tempo field of each track row that the request retunes.
std::vector<bool> changeable_bytes(vantrel_pdb::Bytes before, vantrel_pdb::Bytes after,
                                   const dovrel::Request& request) {
  std::vector<bool> may(before.size(), false);
  const std::uint64_t page_size = f::kPageSize;
  for (std::uint64_t start = page_size; start + page_size <= before.size(); start += page_size) {
    const bool rows = !(before[start + f::kPageFlagsOffset] & f::kPageFlagNoRows) ||
                      !(after[start + f::kPageFlagsOffset] & f::kPageFlagNoRows);
    if (!rows) continue;
    for (std::uint64_t k = 0; k < 3; ++k) may[start + f::kPackedCountsOffset + k] = true;
    for (std::uint64_t g = 0; f::kRowGroupSize * g + f::kPresentFlagsFromGroupEnd <= page_size; ++g) {
      const std::uint64_t flags = start + f::group_end(page_size, g) - f::kPresentFlagsFromGroupEnd;
      may[flags] = may[flags + 1] = true;
    }
  }
  if (!request.tempos.empty()) {
    if (auto db = vantrel_pdb::Database::from_bytes(before)) {
      auto rows = db->row_locations(vantrel_pdb::table_kind::tracks);
      for (std::size_t i = 0; i < rows.size() && i < db->tracks.size(); ++i) {
        if (!request.tempos.contains(db->tracks[i].id)) continue;
        for (std::uint64_t k = 0; k < 4; ++k) {
          const std::uint64_t pos = rows[i] + vantrel_pdb::track_row::kTempoOffset + k;
          if (pos < may.size()) may[pos] = true;
        }
      }
    }
  }
  return may;
}

void check_report(const std::string& line, const dovrel::Request& request) {
  static simdjson::dom::parser parser;
  auto object = dovrel::fuzz::check_report_line(parser, line);
  std::unordered_set<std::uint64_t> kept_tracks, kept_playlists;
  if (request.keep_tracks) kept_tracks.insert(request.keep_tracks->begin(), request.keep_tracks->end());
  if (request.keep_playlists) kept_playlists.insert(request.keep_playlists->begin(), request.keep_playlists->end());
  for (simdjson::dom::element track : object["tracks"].get_array().value_unsafe()) {
    const std::uint64_t id = track["id"].get_uint64().value_unsafe();
    if (request.keep_tracks) check(kept_tracks.contains(id), "patched report lists a track that was not kept");
    auto tempo = request.tempos.find(static_cast<std::uint32_t>(id));
    if (tempo != request.tempos.end()) {
      check(track["bpm"].get_double().value_unsafe() == tempo->second / 100.0, "retuned track shows another tempo");
    }
  }
  for (simdjson::dom::element playlist : object["playlists"].get_array().value_unsafe()) {
    const std::uint64_t id = playlist["id"].get_uint64().value_unsafe();
    if (request.keep_playlists) {
      check(kept_playlists.contains(id), "patched report lists a playlist that was not kept");
    }
    if (!request.keep_tracks) continue;
    for (simdjson::dom::element track : playlist["tracks"].get_array().value_unsafe()) {
      check(kept_tracks.contains(track.get_uint64().value_unsafe()), "patched playlist lists a removed track");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kControlBytes) return 0;
  vantrel_pdb::Bytes image(data + kControlBytes, size - kControlBytes);
  const dovrel::Request request = request_for(data, image);

  auto patched = dovrel::patch(std::vector<std::uint8_t>(image.begin(), image.end()), request);
  if (!patched) {
    dovrel::fuzz::check_error_line(patched.error().message);
    return 0;
  }
  check(patched->size() == image.size(), "patch changed the file's length");
  const std::vector<bool> may = changeable_bytes(image, *patched, request);
  for (std::size_t i = 0; i < image.size(); ++i) {
    if (image[i] != (*patched)[i] && !may[i]) {
      dovrel::fuzz::violated("patch changed a byte outside counts, present flags and tempos",
                             "file offset " + std::to_string(i));
    }
  }
  auto report = dovrel::read(*patched);
  check(report.has_value(), "read rejects the patched image", report ? "" : report.error().message);
  auto line = report->joined();
  check(line.has_value(), "the report of a patched image fails as it is printed", line ? "" : line.error().message);
  check_report(*line, request);
  return 0;
}
