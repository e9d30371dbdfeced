#include <string>
#include <utility>

#include "track_table_state.h"
#include "vantrel_pdb/format.h"
#include "vantrel_pdb/memory_hints.h"
#include "vantrel_pdb/track.h"
#include "vantrel_pdb/track_view.h"

namespace vantrel_pdb {

namespace {

// A Database holding only what a Catalog needs for a track's names.
Database name_tables(const Database& decoding) {
  Database names;
  names.page_size = decoding.page_size;
  names.genres = decoding.genres;
  names.artists = decoding.artists;
  names.albums = decoding.albums;
  names.labels = decoding.labels;
  names.keys = decoding.keys;
  names.artwork = decoding.artwork;
  return names;
}

std::vector<std::uint8_t> copy_of(Bytes image) {
  std::vector<std::uint8_t> copy;
  copy.reserve(image.size());
  advise_huge_pages(copy.data(), copy.capacity());
  copy.assign(image.begin(), image.end());
  return copy;
}

// Appends text `field` of track `t` to `out`: a name from the catalog, or a
// text stored in the row itself. Fails as the row's text fails to decode.
std::expected<void, PdbError> append_text(const TrackView& t, const Catalog& catalog, TrackText field,
                                          std::string& out) {
  switch (field) {
    case TrackText::kArtist: out.append(catalog.artist(t)); return {};
    case TrackText::kAlbum: out.append(catalog.album(t)); return {};
    case TrackText::kGenre: out.append(catalog.genre(t)); return {};
    case TrackText::kKey: out.append(catalog.key(t)); return {};
    case TrackText::kLabel: out.append(catalog.label(t)); return {};
    case TrackText::kArtworkPath: out.append(catalog.artwork_path(t)); return {};
    case TrackText::kTitle: return t.append_text(track_row::kTitleSlot, out);
    case TrackText::kAudioPath: return t.append_text(track_row::kFilePathSlot, out);
    case TrackText::kAnalysisPath: return t.append_text(track_row::kAnalysisPathSlot, out);
    case TrackText::kComment: break;
  }
  return t.append_text(track_row::kCommentSlot, out);
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

std::expected<TrackInfo, PdbError> read_track_info(Bytes image, std::uint64_t location, const Catalog& catalog,
                                                   TrackFields fields) {
  auto t = TrackView::at(image, location);
  if (!t) return std::unexpected(t.error());
  TrackInfo info;
  if (fields == TrackFields::kAll) {
    for (auto [field, member] : kTextMembers) {
      if (auto ok = append_text(*t, catalog, field, info.*member); !ok) return std::unexpected(ok.error());
    }
  }
  info.id = t->id();
  info.tempo = t->tempo();
  info.bpm = info.tempo / 100.0;
  info.bitrate = t->bitrate();
  info.sample_rate = t->sample_rate();
  info.file_size = t->file_size();
  info.duration = t->duration();
  info.sample_depth = t->sample_depth();
  info.file_type = t->file_type();
  info.rating = t->rating();
  return info;
}

std::expected<std::string, PdbError> read_track_text(Bytes image, std::uint64_t location, const Catalog& catalog,
                                                     TrackText field) {
  auto t = TrackView::at(image, location);
  if (!t) return std::unexpected(t.error());
  std::string text;
  if (auto ok = append_text(*t, catalog, field, text); !ok) return std::unexpected(ok.error());
  return text;
}

TrackTable::State::State(Bytes image_bytes, const Database& decoding)
    : image(copy_of(image_bytes)),
      names(name_tables(decoding)),
      locations(decoding.row_locations(table_kind::tracks).begin(), decoding.row_locations(table_kind::tracks).end()),
      catalog(names) {}

TrackTable::TrackTable(std::unique_ptr<const State> state) : state_(std::move(state)) {}
TrackTable::~TrackTable() = default;

std::size_t TrackTable::size() const { return state_->locations.size(); }

std::expected<TrackInfo, PdbError> TrackTable::info(std::size_t index) const {
  return read_track_info(state_->image, state_->locations[index], state_->catalog, TrackFields::kAll);
}

std::expected<TrackInfo, PdbError> TrackTable::numbers(std::size_t index) const {
  return read_track_info(state_->image, state_->locations[index], state_->catalog, TrackFields::kNumbers);
}

std::expected<std::string, PdbError> TrackTable::text(std::size_t index, TrackText field) const {
  return read_track_text(state_->image, state_->locations[index], state_->catalog, field);
}

}  // namespace vantrel_pdb
