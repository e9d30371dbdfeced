// TrackView and TrackRows: a track row read where it lies, its texts found
// through the one table of which slot holds which text.
#include <string>

#include "format/coding.h"
#include "read/catalog.h"
#include "read/track.h"
#include "util/prefetch.h"
#include "vantrel_pdb/reading.h"

namespace vantrel_pdb {

namespace {

namespace r = track_row;

// The string slot of each text stored in the row itself; the others are
// names that the row names by id.
constexpr std::size_t kNoSlot = r::kStringCount;
constexpr std::size_t slot_of(TrackText field) {
  switch (field) {
    case TrackText::kTitle: return r::kTitleSlot;
    case TrackText::kAudioPath: return r::kFilePathSlot;
    case TrackText::kAnalysisPath: return r::kAnalysisPathSlot;
    case TrackText::kComment: return r::kCommentSlot;
    default: return kNoSlot;
  }
}

// Each text of a TrackInfo and the field it holds.
constexpr std::pair<TrackText, std::string TrackInfo::*> kTextMembers[] = {
    {TrackText::kTitle, &TrackInfo::title},
    {TrackText::kArtist, &TrackInfo::artist},
    {TrackText::kAlbum, &TrackInfo::album},
    {TrackText::kGenre, &TrackInfo::genre},
    {TrackText::kKey, &TrackInfo::key},
    {TrackText::kLabel, &TrackInfo::label},
    {TrackText::kArtworkPath, &TrackInfo::artwork_path},
    {TrackText::kAudioPath, &TrackInfo::audio_path},
    {TrackText::kAnalysisPath, &TrackInfo::analysis_path},
    {TrackText::kComment, &TrackInfo::comment},
};

// The fixed fields of a record: all but its texts.
void set_numbers(TrackInfo& info, const TrackView::Numbers& n) {
  info.id = n.id;
  info.tempo = n.tempo;
  info.bpm = n.tempo / 100.0;
  info.bitrate = n.bitrate;
  info.sample_rate = n.sample_rate;
  info.file_size = n.file_size;
  info.duration = n.duration;
  info.sample_depth = n.sample_depth;
  info.file_type = n.file_type;
  info.rating = n.rating;
}

}  // namespace

std::uint32_t TrackView::id() const { return decode_fixed32(image_.data() + row_ + r::kIdOffset); }

TrackView::Numbers TrackView::numbers() const {
  const std::uint8_t* row = image_.data() + row_;
  Numbers n;
  n.id = decode_fixed32(row + r::kIdOffset);
  n.tempo = decode_fixed32(row + r::kTempoOffset);
  n.bitrate = decode_fixed32(row + r::kBitrateOffset);
  n.sample_rate = decode_fixed32(row + r::kSampleRateOffset);
  n.file_size = decode_fixed32(row + r::kFileSizeOffset);
  n.duration = decode_fixed16(row + r::kDurationOffset);
  n.sample_depth = decode_fixed16(row + r::kSampleDepthOffset);
  n.file_type = decode_fixed16(row + r::kFileTypeOffset);
  n.rating = row[r::kRatingOffset];
  return n;
}

void TrackView::prefetch_row() const { prefetch_bytes(image_, row_, r::kTypicalRowBytes); }

std::string_view TrackView::name(TrackText field) const {
  const auto id_at = [this](std::uint64_t offset) { return decode_fixed32(image_.data() + row_ + offset); };
  switch (field) {
    case TrackText::kArtist: return catalog_->artist(id_at(r::kArtistIdOffset));
    case TrackText::kAlbum: return catalog_->album(id_at(r::kAlbumIdOffset));
    case TrackText::kGenre: return catalog_->genre(id_at(r::kGenreIdOffset));
    case TrackText::kKey: return catalog_->key(id_at(r::kKeyIdOffset));
    case TrackText::kLabel: return catalog_->label(id_at(r::kLabelIdOffset));
    case TrackText::kArtworkPath: return catalog_->artwork_path(id_at(r::kArtworkIdOffset));
    default: return {};
  }
}

std::expected<void, PdbError> TrackView::append_text(TrackText field, std::string& out) const {
  if (slot_of(field) == kNoSlot) {
    out.append(name(field));
    return {};
  }
  return append_slot_text(image_, row_, slot_of(field), out);
}

std::expected<TrackInfo, PdbError> TrackView::info() const {
  TrackInfo info = numbers_of(numbers());
  for (auto [field, member] : kTextMembers) {
    if (auto ok = append_text(field, info.*member); !ok) return std::unexpected(ok.error());
  }
  return info;
}

std::expected<void, PdbError> TrackView::read_into(TrackInfo& info) const {
  set_numbers(info, numbers());
  for (auto [field, member] : kTextMembers) {
    std::string& text = info.*member;
    text.clear();
    if (auto ok = append_text(field, text); !ok) return std::unexpected(ok.error());
  }
  return {};
}

TrackInfo numbers_of(const TrackView::Numbers& n) {
  TrackInfo info;
  set_numbers(info, n);
  return info;
}

std::expected<TrackView, PdbError> TrackRows::at(std::size_t index) const {
  if (auto ok = require_bytes(image_, rows_[index], r::kFixedSize); !ok) return std::unexpected(ok.error());
  return TrackView(image_, rows_[index], catalog_);
}

}  // namespace vantrel_pdb
