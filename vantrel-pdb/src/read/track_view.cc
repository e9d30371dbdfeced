// TrackView and TrackRows: a track row read where it lies, its texts found
// through the one table of which slot holds which text.
#include <string>

#include "format/coding.h"
#include "read/catalog.h"
#include "read/track.h"
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

}  // namespace

std::uint32_t TrackView::id() const { return decode_fixed32(image_.data() + row_ + r::kIdOffset); }
std::uint32_t TrackView::tempo() const { return decode_fixed32(image_.data() + row_ + r::kTempoOffset); }
std::uint32_t TrackView::bitrate() const { return decode_fixed32(image_.data() + row_ + r::kBitrateOffset); }
std::uint32_t TrackView::sample_rate() const { return decode_fixed32(image_.data() + row_ + r::kSampleRateOffset); }
std::uint32_t TrackView::file_size() const { return decode_fixed32(image_.data() + row_ + r::kFileSizeOffset); }
std::uint16_t TrackView::duration() const { return decode_fixed16(image_.data() + row_ + r::kDurationOffset); }
std::uint16_t TrackView::sample_depth() const { return decode_fixed16(image_.data() + row_ + r::kSampleDepthOffset); }
std::uint16_t TrackView::file_type() const { return decode_fixed16(image_.data() + row_ + r::kFileTypeOffset); }
std::uint8_t TrackView::rating() const { return image_[row_ + r::kRatingOffset]; }

std::expected<void, PdbError> TrackView::append_text(TrackText field, std::string& out) const {
  const auto id_at = [this](std::uint64_t offset) { return decode_fixed32(image_.data() + row_ + offset); };
  switch (field) {
    case TrackText::kArtist: out.append(catalog_->artist(id_at(r::kArtistIdOffset))); return {};
    case TrackText::kAlbum: out.append(catalog_->album(id_at(r::kAlbumIdOffset))); return {};
    case TrackText::kGenre: out.append(catalog_->genre(id_at(r::kGenreIdOffset))); return {};
    case TrackText::kKey: out.append(catalog_->key(id_at(r::kKeyIdOffset))); return {};
    case TrackText::kLabel: out.append(catalog_->label(id_at(r::kLabelIdOffset))); return {};
    case TrackText::kArtworkPath: out.append(catalog_->artwork_path(id_at(r::kArtworkIdOffset))); return {};
    default: return append_slot_text(image_, row_, slot_of(field), out);
  }
}

TrackInfo TrackView::numbers() const {
  TrackInfo info;
  info.id = id();
  info.tempo = tempo();
  info.bpm = info.tempo / 100.0;
  info.bitrate = bitrate();
  info.sample_rate = sample_rate();
  info.file_size = file_size();
  info.duration = duration();
  info.sample_depth = sample_depth();
  info.file_type = file_type();
  info.rating = rating();
  return info;
}

std::expected<TrackInfo, PdbError> TrackView::info() const {
  TrackInfo info = numbers();
  for (auto [field, member] : kTextMembers) {
    if (auto ok = append_text(field, info.*member); !ok) return std::unexpected(ok.error());
  }
  return info;
}

std::expected<TrackView, PdbError> TrackRows::at(std::size_t index) const {
  if (auto ok = require_bytes(image_, rows_[index], r::kFixedSize); !ok) return std::unexpected(ok.error());
  return TrackView(image_, rows_[index], catalog_);
}

}  // namespace vantrel_pdb
