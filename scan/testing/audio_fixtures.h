// Audio files made for tests, the example and the benchmark: WAV, AIFF and
// MP4 (AAC or ALAC) written byte by byte, FLAC and MP3 encoded from a WAV by
// Debian's flac and lame tools, and TagLib to tag any of them. The audio is
// silence; only the containers' headers have to be right.
#ifndef DOVREL_SCAN_TESTING_AUDIO_FIXTURES_H_
#define DOVREL_SCAN_TESTING_AUDIO_FIXTURES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dovrel::scan::testing {

struct Pcm {
  std::uint32_t sample_rate = 44100;
  std::uint16_t channels = 2;
  std::uint16_t bits = 16;
  std::uint32_t frames = 44100;  // one second
};

std::vector<std::uint8_t> wav_bytes(const Pcm& pcm);
std::vector<std::uint8_t> aiff_bytes(const Pcm& pcm);

enum class Mp4Codec { kAac, kAlac };

// An MP4 audio file ("M4A ") of one track: `frames` samples at the rate,
// with an average bitrate in the sample description (bits per second).
std::vector<std::uint8_t> m4a_bytes(const Pcm& pcm, Mp4Codec codec, std::uint32_t bitrate);

// Writes `bytes` as the file at `path`; false on failure.
bool write_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

// True when the program `name` is on the PATH.
bool have_tool(const std::string& name);
// Encodes the WAV file at `wav` with flac, or with lame at `kbps` constant
// bitrate, into `out`; false when the tool fails or is missing.
bool encode_flac(const std::string& wav, const std::string& out);
bool encode_mp3(const std::string& wav, const std::string& out, int kbps);

// An image of `size` bytes that the scan takes for a PNG (its signature,
// then bytes that `seed` varies): content for artwork tests.
std::vector<std::uint8_t> fake_png(std::uint8_t seed, std::size_t size = 64);
// A real 1x1 PNG of the grey `shade`, for the example.
std::vector<std::uint8_t> tiny_png(std::uint8_t shade);

struct Picture {
  std::vector<std::uint8_t> bytes;
  bool front_cover = true;  // else "other"
};

// Tags to write; an absent value is left out of the file.
struct Tags {
  std::optional<std::string> title, artist, album, genre, comment;
  std::optional<std::string> key;     // INITIALKEY (ID3v2 TKEY)
  std::optional<std::string> label;   // LABEL (ID3v2 TPUB)
  std::optional<std::string> bpm;     // BPM text (MP4: a whole number)
  std::optional<std::string> rating;  // RATING text (Vorbis, MP4 "rate", ID3v2 TXXX)
  std::optional<int> popularimeter;   // ID3v2 POPM rating byte
  std::vector<Picture> pictures;
};

// How an ID3 tag is written (MP3, WAV, AIFF).
struct Id3Style {
  int version = 4;          // ID3v2.3 or v2.4
  bool utf16 = false;       // every text frame in UTF-16 with a byte order mark
  bool id3v1_only = false;  // MP3: an ID3v1 tag (Latin-1) and no ID3v2
  bool riff_info = false;   // WAV: a RIFF INFO chunk instead of ID3v2
};

// Writes `tags` into the audio file at `path`, in the tag kind of its
// format (told by extension: mp3, m4a, flac, wav, aif/aiff); false when
// TagLib cannot save it.
bool tag_file(const std::string& path, const Tags& tags, const Id3Style& style = {});

}  // namespace dovrel::scan::testing

#endif  // DOVREL_SCAN_TESTING_AUDIO_FIXTURES_H_
