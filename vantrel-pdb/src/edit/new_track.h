// NewTrack: the caller's description of a track for PdbEditor::add_track.
#ifndef VANTREL_PDB_EDIT_NEW_TRACK_H_
#define VANTREL_PDB_EDIT_NEW_TRACK_H_

#include <cstdint>
#include <optional>
#include <string>

namespace vantrel_pdb {

struct NewTrack {
  // Every field other than the title and the file path takes its default.
  NewTrack(std::string title_in, std::string file_path_in)
      : title(std::move(title_in)), file_path(std::move(file_path_in)) {}

  // The track row's id, as the caller chose it.
  std::uint32_t id = 0;
  std::string title;
  std::string file_path;
  std::string comment;
  // Written to string slot 12; no meaning is known to the library.
  std::string aux_text_c;
  // Written to string slot 11; no meaning is known to the library.
  std::string aux_text_b;
  std::string analysis_path;
  // Written to string slots 10 and 15, the same text in both; no meaning is
  // known to the library.
  std::string aux_text_a;
  std::optional<std::string> file_name;  // derived from file_path when absent
  std::optional<std::string> artist;
  std::optional<std::string> album;
  std::optional<std::string> genre;
  std::optional<std::string> key;
  std::optional<std::string> label;
  std::uint32_t tempo = 0;  // beats per minute × 100
  std::uint32_t bitrate = 0;
  std::uint32_t sample_rate = 44100;
  std::uint32_t file_size = 0;
  // The u32 at track row offset 52, written unchanged; meaning unknown.
  std::uint32_t aux_number = 0;
  std::uint32_t artwork_id = 0;
  std::uint16_t duration = 0;
  // The file type code, written as given (Library maps audio paths to codes).
  std::uint16_t file_type = 0;
  // The u16 at track row offset 80, written unchanged; meaning unknown.
  std::uint16_t aux_short_c = 0;
  std::uint16_t sample_depth = 16;
  // The u16s at track row offsets 76 and 78, written unchanged; meaning unknown.
  std::uint16_t aux_short_a = 0;
  std::uint16_t aux_short_b = 0;
  std::uint8_t rating = 0;
  // The byte at track row offset 88, written unchanged; meaning unknown.
  std::uint8_t aux_byte = 0;
};

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_EDIT_NEW_TRACK_H_
