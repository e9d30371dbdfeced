// One audio file read with TagLib: its tags (ID3v2 and ID3v1 in MP3, MP4
// items, Vorbis comments in FLAC, ID3v2 and RIFF INFO in WAV, ID3v2 in AIFF)
// and its audio properties, as the fields of a track.
#ifndef DOVREL_SCAN_AUDIO_FILE_H_
#define DOVREL_SCAN_AUDIO_FILE_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace dovrel::scan {

// What a track takes from its audio file. Texts are valid UTF-8, cut to the
// lengths of tag_mapping.h; "" where the file has no such tag.
struct AudioFile {
  std::string title;  // the title tag, else the file name without its extension
  std::string artist;
  std::string album;
  std::string genre;
  std::string key;                   // the initial key (ID3v2 TKEY, INITIALKEY, KEY)
  std::string comment;               // the first comment
  std::optional<std::string> label;  // publisher (ID3v2 TPUB), LABEL, ORGANIZATION or PUBLISHER
  double bpm = 0;                    // bpm_from_text of the BPM tag
  std::uint8_t rating = 0;           // stars, 0 to 5 (tag_mapping.h)
  std::uint16_t duration = 0;        // seconds, rounded
  std::uint32_t bitrate = 0;         // kbit/s
  std::uint32_t sample_rate = 0;     // Hz
  std::uint16_t sample_depth = 0;    // bits per sample; 0 where the format has none (MP3, AAC)
  std::uint64_t file_size = 0;       // bytes
  // The embedded front cover, else the first picture; empty when there is
  // none or when it was not asked for.
  std::vector<std::uint8_t> picture;
};

// Reads the regular file at `path`. The format is told by the file's first
// bytes (an "ftyp" box, "fLaC", "RIFF...WAVE", "FORM...AIFF" or "AIFC"),
// else by its extension (mp3 and aac MPEG audio, m4a and alac MP4, flac,
// wav, aif, aiff). Fails with the reason a scan lists the file under:
// the operating system's text ("Permission denied (os error 13)"),
// "not a regular file", "not a readable FORMAT file" or "no audio stream
// found". Never throws.
std::expected<AudioFile, std::string> read_audio_file(const std::string& path, bool with_picture);

// Silences TagLib's diagnostics, which would otherwise reach standard
// error; read_audio_file does it on its first call. Safe from any thread.
void silence_taglib();

}  // namespace dovrel::scan

#endif  // DOVREL_SCAN_AUDIO_FILE_H_
