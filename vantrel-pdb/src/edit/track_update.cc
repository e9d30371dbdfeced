#include "edit/track_update.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "edit/artwork.h"
#include "edit/editor.h"
#include "edit/editor_lookup.h"
#include "edit/row_space.h"
#include "format/coding.h"
#include "format/errors.h"
#include "format/format.h"
#include "format/string_codec.h"
#include "format/strings.h"
#include "read/named_rows.h"
#include "read/track.h"

namespace vantrel_pdb {

namespace {

namespace f = format;
namespace r = track_row;
namespace kind = table_kind;

// The allocation of an appended track row, as add_track reserves it: the
// fixed part, 4 spare bytes and every string rounded up to 4.
constexpr std::uint64_t kEstimateBase = r::kFixedSize + 4;

// A name field of the track row and the table it names.
struct NameField {
  std::uint32_t kind;
  std::uint64_t offset;  // of the id in the track row
  const std::optional<std::string>& name;
};

// A name resolved to an id: found in its table, or to be appended.
struct NameId {
  std::uint32_t id = 0;
  bool create = false;
};

// The first row of the table named `name`, or the id a new one takes. Only
// this table's rows are decoded, where they lie: a change needs no records
// of the others.
template <class Record>
std::expected<NameId, PdbError> resolve(Bytes image, const Database& db, std::uint32_t table, std::string_view name,
                                        const char* what) {
  std::optional<std::uint32_t> largest;
  for (std::uint64_t row : db.row_locations(table)) {
    auto record = Record::parse(image, row);
    if (!record) return std::unexpected(record.error());
    if (record->name == name) return NameId{record->id, false};
    largest = std::max(largest.value_or(0), record->id);
  }
  auto id = next_number(largest, what);
  if (!id) return std::unexpected(id.error());
  return NameId{*id, true};
}

std::expected<NameId, PdbError> resolve_name(Bytes image, const Database& db, std::uint32_t table,
                                             std::string_view name) {
  switch (table) {
    case kind::genres: return resolve<Genre>(image, db, table, name, "genre id");
    case kind::artists: return resolve<Artist>(image, db, table, name, "artist id");
    case kind::albums: return resolve<Album>(image, db, table, name, "album id");
    case kind::labels: return resolve<Label>(image, db, table, name, "label id");
    default: return resolve<Key>(image, db, table, name, "key id");
  }
}

bool is_short_ascii(std::string_view text) {
  return text.size() <= kMaxShortAsciiLength &&
         std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The last path component: after the last "/", the whole path without one.
std::string_view file_name_of(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The stored bytes of the string that slot `slot` of the row at `row` names.
std::expected<Bytes, PdbError> stored_string(Bytes image, std::uint64_t row, std::size_t slot) {
  auto offset = load_u16(image, row + r::kStringOffsetsOffset + 2 * slot);
  if (!offset) return std::unexpected(offset.error());
  const std::uint64_t start = row + *offset;
  auto span = locate_string(image, start);
  if (!span) return std::unexpected(span.error());
  const std::uint64_t end = static_cast<std::uint64_t>(span->text.data() + span->text.size() - image.data());
  return image.subspan(start, end - start);
}

// A track row laid out as add_track lays it out: `fixed` (its first 94
// bytes), the string offset table, then the 21 strings in slot order, long
// ones 4-aligned. Returns the row and the allocation add_track would give it.
struct LaidOut {
  std::vector<std::uint8_t> row;
  std::uint64_t estimate = 0;
};

LaidOut lay_out(Bytes fixed, const std::array<std::vector<std::uint8_t>, r::kStringCount>& strings) {
  LaidOut out;
  out.estimate = kEstimateBase;
  for (const auto& s : strings) out.estimate += f::round_up4(s.size());
  // The estimate covers the row with its padding: the row is made at that
  // size once and cut to its length.
  out.row.assign(out.estimate, 0);
  std::copy_n(fixed.data(), r::kStringOffsetsOffset, out.row.data());
  std::uint64_t end = r::kFixedSize;
  for (std::size_t i = 0; i < r::kStringCount; ++i) {
    const auto& s = strings[i];
    if ((s.front() & 1) == 0) end = f::round_up4(end);
    encode_fixed16(out.row.data() + r::kStringOffsetsOffset + 2 * i, static_cast<std::uint16_t>(end));
    std::copy(s.begin(), s.end(), out.row.begin() + static_cast<std::ptrdiff_t>(end));
    end += s.size();
  }
  out.row.resize(end);
  return out;
}

// Records the `n` bytes at `pos` in `undo`, four at a time.
void save_range(UndoLog& undo, Bytes image, std::uint64_t pos, std::uint64_t n) {
  for (std::uint64_t at = 0; at < n; at += 4) undo.save(image, pos + at, std::min<std::uint64_t>(4, n - at));
}

}  // namespace

bool TrackUpdatePlan::appends() const {
  return artwork_row_id || !new_names.empty() ||
         std::any_of(rows.begin(), rows.end(), [](const Row& row) { return row.replace; });
}

std::expected<TrackUpdatePlan, PdbError> plan_track_update(Bytes view, const Database& db, std::uint32_t track_id,
                                                           const TrackChange& change) {
  const auto track_rows = db.row_locations(kind::tracks);
  std::vector<std::uint64_t> rows;
  std::vector<std::uint32_t> other_artwork_ids;  // named by the other tracks
  for (std::uint64_t row : track_rows) {
    auto id = load_u32(view, row + r::kIdOffset);
    if (!id) return std::unexpected(id.error());
    if (*id == track_id) {
      rows.push_back(row);
      continue;
    }
    if (change.artwork_path) {
      auto art = load_u32(view, row + r::kArtworkIdOffset);
      if (!art) return std::unexpected(art.error());
      other_artwork_ids.push_back(*art);
    }
  }
  if (rows.empty()) return std::unexpected(PdbError(pdb_error::TrackNotFound{track_id}));

  // Everything that can refuse the change is settled before the first write.
  std::optional<std::uint16_t> file_type;
  if (change.audio_path) {
    file_type = file_type_for_path(*change.audio_path);
    if (!file_type) return std::unexpected(errors::refused(kUnsupportedAudioExtension));
  }
  if (change.artwork_path && !change.artwork_path->empty()) {
    if (track_id == 0) return std::unexpected(errors::refused(kArtworkNeedsTrackId));
    if (!is_short_ascii(*change.artwork_path)) return std::unexpected(errors::refused(kArtworkPathNotShortAscii));
  }

  // Names, in the order add_track takes them; a new album belongs to the
  // track's artist as it is after the change.
  const NameField names[] = {{kind::artists, r::kArtistIdOffset, change.artist},
                             {kind::albums, r::kAlbumIdOffset, change.album},
                             {kind::genres, r::kGenreIdOffset, change.genre},
                             {kind::keys, r::kKeyIdOffset, change.key},
                             {kind::labels, r::kLabelIdOffset, change.label}};
  std::array<std::optional<NameId>, 5> name_ids;
  for (std::size_t n = 0; n < std::size(names); ++n) {
    if (!names[n].name) continue;
    auto resolved = resolve_name(view, db, names[n].kind, *names[n].name);
    if (!resolved) return std::unexpected(resolved.error());
    name_ids[n] = *resolved;
  }
  TrackUpdatePlan plan;
  plan.page_size = db.page_size;
  plan.album_artist = name_ids[0] ? name_ids[0]->id : decode_fixed32(view.data() + rows[0] + r::kArtistIdOffset);
  for (std::size_t n = 0; n < std::size(names); ++n) {
    if (name_ids[n] && name_ids[n]->create) plan.new_names.push_back({names[n].kind, name_ids[n]->id, *names[n].name});
  }

  // Artwork: the row the track names now, and the one it is to name.
  std::vector<std::uint64_t>& absent = plan.absent;
  std::optional<std::uint32_t> artwork_id;
  if (change.artwork_path) {
    const std::uint32_t old_id = decode_fixed32(view.data() + rows[0] + r::kArtworkIdOffset);
    const auto art_rows = db.row_locations(kind::artwork);
    std::vector<std::uint32_t> art_ids;
    std::optional<Artwork> current;  // the first artwork row with the track's id
    for (std::uint64_t row : art_rows) {
      auto id = load_u32(view, row + id_name_row::kIdOffset);
      if (!id) return std::unexpected(id.error());
      art_ids.push_back(*id);
      if (current || *id != old_id) continue;
      auto art = Artwork::parse(view, row);
      if (!art) return std::unexpected(art.error());
      current = std::move(*art);
    }
    const bool same = current ? current->name == *change.artwork_path : change.artwork_path->empty();
    if (!same) {
      // The old row goes when no other track shows it.
      const bool owned =
          old_id != 0 && current &&
          std::find(other_artwork_ids.begin(), other_artwork_ids.end(), old_id) == other_artwork_ids.end();
      std::optional<std::uint32_t> largest;
      bool taken = false;
      for (std::size_t i = 0; i < art_rows.size(); ++i) {
        largest = std::max(largest.value_or(0), art_ids[i]);
        if (owned && art_ids[i] == old_id) {
          absent.push_back(art_rows[i]);
        } else if (art_ids[i] == track_id) {
          taken = true;
        }
      }
      if (change.artwork_path->empty()) {
        artwork_id = 0;
      } else {
        std::uint32_t id = track_id;
        if (taken) {
          auto next = next_number(largest, "artwork id");
          if (!next) return std::unexpected(next.error());
          id = *next;
        }
        artwork_id = id;
        plan.artwork_row_id = id;
        plan.artwork_path = *change.artwork_path;
      }
    }
  }

  // The new texts of the row's string slots.
  std::array<std::optional<std::string_view>, r::kStringCount> texts;
  if (change.title) texts[r::kTitleSlot] = *change.title;
  if (change.comment) texts[r::kCommentSlot] = *change.comment;
  if (change.analysis_path) texts[r::kAnalysisPathSlot] = *change.analysis_path;
  if (change.audio_path) {
    texts[r::kFilePathSlot] = *change.audio_path;
    texts[r::kFileNameSlot] = file_name_of(*change.audio_path);
  }
  const bool texts_change = std::any_of(texts.begin(), texts.end(), [](const auto& t) { return t.has_value(); });
  std::array<std::vector<std::uint8_t>, r::kStringCount> encoded_texts;
  for (std::size_t i = 0; i < r::kStringCount; ++i) {
    if (!texts[i]) continue;
    if (auto ok = append_encoded_string(encoded_texts[i], *texts[i]); !ok) return std::unexpected(ok.error());
  }

  const std::uint64_t max_alloc = db.page_size - f::kRowOverhead;
  for (std::uint64_t row : rows) {
    if (!in_bounds(view, row, r::kFixedSize)) return std::unexpected(errors::damaged("track row outside the image"));
    TrackUpdatePlan::Row& out = plan.rows.emplace_back();
    out.location = row;
    out.bytes.assign(view.begin() + static_cast<std::ptrdiff_t>(row),
                     view.begin() + static_cast<std::ptrdiff_t>(row + r::kStringOffsetsOffset));
    std::uint8_t* p = out.bytes.data();
    if (change.tempo) encode_fixed32(p + r::kTempoOffset, *change.tempo);
    if (change.bitrate) encode_fixed32(p + r::kBitrateOffset, *change.bitrate);
    if (change.sample_rate) encode_fixed32(p + r::kSampleRateOffset, *change.sample_rate);
    if (change.file_size) encode_fixed32(p + r::kFileSizeOffset, *change.file_size);
    if (change.duration) encode_fixed16(p + r::kDurationOffset, *change.duration);
    if (change.sample_depth) encode_fixed16(p + r::kSampleDepthOffset, *change.sample_depth);
    if (change.rating) p[r::kRatingOffset] = *change.rating;
    if (file_type) encode_fixed16(p + r::kFileTypeOffset, *file_type);
    if (artwork_id) encode_fixed32(p + r::kArtworkIdOffset, *artwork_id);
    for (std::size_t n = 0; n < std::size(names); ++n) {
      if (name_ids[n]) encode_fixed32(p + names[n].offset, name_ids[n]->id);
    }
    if (!texts_change) continue;
    std::array<std::vector<std::uint8_t>, r::kStringCount> strings;
    for (std::size_t i = 0; i < r::kStringCount; ++i) {
      if (texts[i]) {
        strings[i] = encoded_texts[i];
        continue;
      }
      // An untouched text keeps its stored bytes, whatever its encoding.
      auto stored = stored_string(view, row, i);
      if (!stored) return std::unexpected(stored.error());
      strings[i].assign(stored->begin(), stored->end());
    }
    LaidOut laid_out = lay_out(out.bytes, strings);
    auto place = place_of_row(view, db.page_size, row);
    if (!place) return std::unexpected(place.error());
    out.bytes = std::move(laid_out.row);
    out.whole_row = true;
    out.room = place->room;
    out.estimate = laid_out.estimate;
    out.replace = out.bytes.size() > out.room;
    if (out.replace) {
      if (out.estimate > max_alloc) return std::unexpected(PdbError(pdb_error::RowTooLarge{out.estimate, max_alloc}));
      absent.push_back(row);
    }
  }
  return plan;
}

std::expected<TrackUpdateRows, PdbError> apply_track_update(std::vector<std::uint8_t>& image,
                                                            const TrackUpdatePlan& plan, UndoLog& undo) {
  // In place: the rows that go, then every row that stays where it is.
  if (auto ok = mark_rows_absent(image, plan.page_size, plan.absent, undo); !ok) return std::unexpected(ok.error());
  TrackUpdateRows result;
  for (const TrackUpdatePlan::Row& row : plan.rows) {
    if (row.replace) continue;
    const std::uint64_t n = row.whole_row ? row.room : row.bytes.size();
    if (!in_bounds(image, row.location, n)) return std::unexpected(errors::damaged("track row outside the image"));
    save_range(undo, image, row.location, n);
    rewrite_row(image, row.location, row.bytes, n);
    ++result.rewritten;
  }

  // Appended: new names, the replaced rows, the new artwork row.
  if (!plan.appends()) return result;
  PdbEditor editor = PdbEditor::from_bytes(std::move(image));
  auto appended = [&]() -> std::expected<void, PdbError> {
    for (const TrackUpdatePlan::NewName& name : plan.new_names) {
      auto ok = editor.append_named_row(name.kind, name.id, name.name, plan.album_artist);
      if (!ok) return std::unexpected(ok.error());
    }
    for (const TrackUpdatePlan::Row& row : plan.rows) {
      if (!row.replace) continue;
      auto ok = editor.append_row(kind::tracks, row.bytes, row.estimate, true);
      if (!ok) return std::unexpected(ok.error());
      ++result.replaced;
    }
    if (plan.artwork_row_id) {
      std::vector<std::uint8_t> row(id_name_row::kNameOffset, 0);
      encode_fixed32(row.data() + id_name_row::kIdOffset, *plan.artwork_row_id);
      if (auto ok = append_encoded_string(row, plan.artwork_path); !ok) return ok;
      auto ok = editor.append_row(kind::artwork, row, f::round_up4(row.size()), false);
      if (!ok) return std::unexpected(ok.error());
    }
    return {};
  }();
  image = std::move(editor).into_bytes();
  if (!appended) return std::unexpected(appended.error());
  return result;
}

std::expected<TrackUpdateRows, PdbError> update_track(std::vector<std::uint8_t>& image, const Database& db,
                                                      std::uint32_t track_id, const TrackChange& change) {
  auto plan = plan_track_update(image, db, track_id, change);
  if (!plan) return std::unexpected(plan.error());
  UndoLog unused;
  return apply_track_update(image, *plan, unused);
}

}  // namespace vantrel_pdb
