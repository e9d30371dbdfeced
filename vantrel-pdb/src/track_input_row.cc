#include "track_input_row.h"

#include <utility>

namespace vantrel_pdb {

NewTrack row_with_texts_of(TrackInput& track) {
  NewTrack row(std::move(track.title), std::move(track.audio_path));
  row.comment = std::move(track.comment);
  row.analysis_path = std::move(track.analysis_path);
  row.artist = std::move(track.artist);
  row.album = std::move(track.album);
  row.genre = std::move(track.genre);
  row.key = std::move(track.key);
  row.label = std::move(track.label);
  return row;
}

void give_texts_back(NewTrack& row, TrackInput& track) {
  track.title = std::move(row.title);
  track.audio_path = std::move(row.file_path);
  track.comment = std::move(row.comment);
  track.analysis_path = std::move(row.analysis_path);
  track.artist = std::move(*row.artist);
  track.album = std::move(*row.album);
  track.genre = std::move(*row.genre);
  track.key = std::move(*row.key);
  track.label = std::move(row.label);
}

}  // namespace vantrel_pdb
