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

// A text stored in the track row itself (the names come from other tables).
std::expected<std::string, PdbError> text_of_row(const TrackView& track, std::size_t slot) {
  std::string text;
  if (auto ok = track.append_text(slot, text); !ok) return std::unexpected(ok.error());
  return text;
}

}  // namespace

std::expected<TrackInfo, PdbError> read_track_info(Bytes image, std::uint64_t location, const Catalog& catalog,
                                                   TrackFields fields) {
  auto t = TrackView::at(image, location);
  if (!t) return std::unexpected(t.error());
  TrackInfo info;
  if (fields == TrackFields::kAll) {
    for (auto [slot, text] : {std::pair{track_row::kTitleSlot, &info.title},
                              std::pair{track_row::kFilePathSlot, &info.audio_path},
                              std::pair{track_row::kAnalysisPathSlot, &info.analysis_path},
                              std::pair{track_row::kCommentSlot, &info.comment}}) {
      if (auto ok = t->append_text(slot, *text); !ok) return std::unexpected(ok.error());
    }
    info.artist = catalog.artist(*t);
    info.album = catalog.album(*t);
    info.genre = catalog.genre(*t);
    info.key = catalog.key(*t);
    info.label = catalog.label(*t);
    info.artwork_path = catalog.artwork_path(*t);
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
  switch (field) {
    case TrackText::kArtist:
      return std::string(catalog.artist(*t));
    case TrackText::kAlbum:
      return std::string(catalog.album(*t));
    case TrackText::kGenre:
      return std::string(catalog.genre(*t));
    case TrackText::kKey:
      return std::string(catalog.key(*t));
    case TrackText::kLabel:
      return std::string(catalog.label(*t));
    case TrackText::kArtworkPath:
      return std::string(catalog.artwork_path(*t));
    case TrackText::kTitle:
      return text_of_row(*t, track_row::kTitleSlot);
    case TrackText::kAudioPath:
      return text_of_row(*t, track_row::kFilePathSlot);
    case TrackText::kAnalysisPath:
      return text_of_row(*t, track_row::kAnalysisPathSlot);
    case TrackText::kComment:
      break;
  }
  return text_of_row(*t, track_row::kCommentSlot);
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
