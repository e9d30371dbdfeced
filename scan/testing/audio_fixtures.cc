#include "scan/testing/audio_fixtures.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <taglib/aifffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4coverart.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/popularimeterframe.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tpropertymap.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>

extern char** environ;

namespace dovrel::scan::testing {

namespace {

using Bytes = std::vector<std::uint8_t>;

// The writers grow the buffer first and then fill it: g++ 12 at -O2 takes
// the vector's own insert of a few bytes for an overflow and warns.
std::uint8_t* grow(Bytes& out, std::size_t n) {
  const std::size_t at = out.size();
  out.resize(at + n);
  return out.data() + at;
}
void put_le(Bytes& out, std::uint64_t value, int width) {
  std::uint8_t* p = grow(out, static_cast<std::size_t>(width));
  for (int i = 0; i < width; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void put_be(Bytes& out, std::uint64_t value, int width) {
  std::uint8_t* p = grow(out, static_cast<std::size_t>(width));
  for (int i = 0; i < width; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
}
void put_bytes(Bytes& out, const std::uint8_t* bytes, std::size_t n) {
  if (n == 0) return;
  std::memcpy(grow(out, n), bytes, n);
}
void put_text(Bytes& out, std::string_view text) {
  put_bytes(out, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}
void put_zeros(Bytes& out, std::size_t n) { grow(out, n); }
void put_all(Bytes& out, const Bytes& bytes) { put_bytes(out, bytes.data(), bytes.size()); }
void put_u8s(Bytes& out, std::initializer_list<std::uint8_t> bytes) { put_bytes(out, bytes.begin(), bytes.size()); }

// An MP4 box: u32 size, four-letter type, payload.
Bytes box(std::string_view type, const Bytes& payload) {
  Bytes out;
  put_be(out, 8 + payload.size(), 4);
  put_text(out, type);
  put_all(out, payload);
  return out;
}
Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) put_all(out, p);
  return out;
}
// A full box's version and flags.
Bytes full(std::uint32_t version_flags, const Bytes& rest) {
  Bytes out;
  put_be(out, version_flags, 4);
  put_all(out, rest);
  return out;
}

void put_matrix(Bytes& out) {
  for (std::uint32_t v : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u}) put_be(out, v, 4);
}

// The IEEE 754 80-bit extended form of a whole sample rate, as AIFF's COMM
// chunk stores it.
void put_extended(Bytes& out, std::uint32_t rate) {
  if (rate == 0) {
    put_zeros(out, 10);
    return;
  }
  int exponent = 0;
  while ((rate >> exponent) > 1) ++exponent;
  put_be(out, 16383 + static_cast<unsigned>(exponent), 2);
  put_be(out, std::uint64_t{rate} << (63 - exponent), 8);
}

std::uint32_t crc32(const Bytes& data, std::size_t from) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::size_t i = from; i < data.size(); ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void png_chunk(Bytes& out, std::string_view type, const Bytes& data) {
  put_be(out, data.size(), 4);
  const std::size_t start = out.size();
  put_text(out, type);
  put_all(out, data);
  put_be(out, crc32(out, start), 4);
}

int run_quietly(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TagLib::String utf8(const std::string& s) { return TagLib::String(s, TagLib::String::UTF8); }

TagLib::PropertyMap property_map(const Tags& tags, bool with_rating_text) {
  TagLib::PropertyMap map;
  auto put = [&](const char* key, const std::optional<std::string>& value) {
    if (value) map.insert(key, TagLib::StringList(utf8(*value)));
  };
  put("TITLE", tags.title);
  put("ARTIST", tags.artist);
  put("ALBUM", tags.album);
  put("GENRE", tags.genre);
  put("COMMENT", tags.comment);
  put("INITIALKEY", tags.key);
  put("LABEL", tags.label);
  put("BPM", tags.bpm);
  if (with_rating_text) put("RATING", tags.rating);
  return map;
}

void fill_id3v2(TagLib::ID3v2::Tag& tag, const Tags& tags, const Id3Style& style) {
  tag.setProperties(property_map(tags, true));
  if (style.utf16) {
    for (TagLib::ID3v2::Frame* frame : tag.frameList()) {
      if (auto* text = dynamic_cast<TagLib::ID3v2::TextIdentificationFrame*>(frame)) {
        text->setTextEncoding(TagLib::String::UTF16);
      }
    }
  }
  if (tags.popularimeter) {
    auto* popm = new TagLib::ID3v2::PopularimeterFrame();
    popm->setEmail("dj@example.invalid");
    popm->setRating(*tags.popularimeter);
    tag.addFrame(popm);
  }
  for (const Picture& p : tags.pictures) {
    auto* apic = new TagLib::ID3v2::AttachedPictureFrame();
    apic->setMimeType("image/png");
    apic->setType(p.front_cover ? TagLib::ID3v2::AttachedPictureFrame::FrontCover
                                : TagLib::ID3v2::AttachedPictureFrame::Other);
    apic->setPicture(
        TagLib::ByteVector(reinterpret_cast<const char*>(p.bytes.data()), static_cast<unsigned>(p.bytes.size())));
    tag.addFrame(apic);
  }
}

TagLib::ID3v2::Version id3_version(const Id3Style& style) {
  return style.version == 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4;
}

std::string lower_extension(const std::string& path) {
  std::string ext = path.substr(path.rfind('.') + 1);
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return ext;
}

TagLib::ByteVector vector_of(const std::vector<std::uint8_t>& bytes) {
  return TagLib::ByteVector(reinterpret_cast<const char*>(bytes.data()), static_cast<unsigned>(bytes.size()));
}

}  // namespace

std::vector<std::uint8_t> wav_bytes(const Pcm& pcm) {
  const std::uint32_t block = pcm.channels * ((pcm.bits + 7u) / 8u);
  const std::uint32_t data = block * pcm.frames;
  Bytes out;
  put_text(out, "RIFF");
  put_le(out, 4 + 8 + 16 + 8 + data, 4);
  put_text(out, "WAVE");
  put_text(out, "fmt ");
  put_le(out, 16, 4);
  put_le(out, 1, 2);  // PCM
  put_le(out, pcm.channels, 2);
  put_le(out, pcm.sample_rate, 4);
  put_le(out, std::uint64_t{pcm.sample_rate} * block, 4);
  put_le(out, block, 2);
  put_le(out, pcm.bits, 2);
  put_text(out, "data");
  put_le(out, data, 4);
  put_zeros(out, data);
  return out;
}

std::vector<std::uint8_t> aiff_bytes(const Pcm& pcm) {
  const std::uint32_t data = pcm.channels * ((pcm.bits + 7u) / 8u) * pcm.frames;
  Bytes comm;
  put_be(comm, pcm.channels, 2);
  put_be(comm, pcm.frames, 4);
  put_be(comm, pcm.bits, 2);
  put_extended(comm, pcm.sample_rate);
  Bytes out;
  put_text(out, "FORM");
  put_be(out, 4 + 8 + comm.size() + 8 + 8 + data, 4);
  put_text(out, "AIFF");
  put_text(out, "COMM");
  put_be(out, comm.size(), 4);
  put_all(out, comm);
  put_text(out, "SSND");
  put_be(out, 8 + data, 4);
  put_zeros(out, 8);  // offset and block size
  put_zeros(out, data);
  return out;
}

std::vector<std::uint8_t> m4a_bytes(const Pcm& pcm, Mp4Codec codec, std::uint32_t bitrate) {
  const std::uint32_t timescale = pcm.sample_rate;
  const std::uint32_t duration = pcm.frames;
  const std::uint32_t duration_ms = static_cast<std::uint32_t>(std::uint64_t{pcm.frames} * 1000 / pcm.sample_rate);
  Bytes mvhd_body;
  put_be(mvhd_body, 0, 4);  // created
  put_be(mvhd_body, 0, 4);  // modified
  put_be(mvhd_body, 1000, 4);
  put_be(mvhd_body, duration_ms, 4);
  put_be(mvhd_body, 0x00010000, 4);  // rate 1.0
  put_be(mvhd_body, 0x0100, 2);      // volume 1.0
  put_zeros(mvhd_body, 10);
  put_matrix(mvhd_body);
  put_zeros(mvhd_body, 24);
  put_be(mvhd_body, 2, 4);  // next track id
  Bytes tkhd_body;
  put_be(tkhd_body, 0, 4);
  put_be(tkhd_body, 0, 4);
  put_be(tkhd_body, 1, 4);  // track id
  put_zeros(tkhd_body, 4);
  put_be(tkhd_body, duration_ms, 4);
  put_zeros(tkhd_body, 8);
  put_be(tkhd_body, 0, 2);
  put_be(tkhd_body, 0, 2);
  put_be(tkhd_body, 0x0100, 2);
  put_zeros(tkhd_body, 2);
  put_matrix(tkhd_body);
  put_be(tkhd_body, 0, 4);
  put_be(tkhd_body, 0, 4);
  Bytes mdhd_body;
  put_be(mdhd_body, 0, 4);
  put_be(mdhd_body, 0, 4);
  put_be(mdhd_body, timescale, 4);
  put_be(mdhd_body, duration, 4);
  put_be(mdhd_body, 0x55C4, 2);  // "und"
  put_be(mdhd_body, 0, 2);
  Bytes hdlr_body;
  put_be(hdlr_body, 0, 4);  // pre-defined
  put_text(hdlr_body, "soun");
  put_zeros(hdlr_body, 12);
  put_text(hdlr_body, "Sound");
  put_zeros(hdlr_body, 1);

  // The sound sample entry: reserved, data reference index, version,
  // revision, vendor, channels, sample size, compression id, packet size,
  // rate as 16.16.
  Bytes sound;
  put_zeros(sound, 6);
  put_be(sound, 1, 2);
  put_zeros(sound, 8);
  put_be(sound, pcm.channels, 2);
  put_be(sound, pcm.bits, 2);
  put_be(sound, 0, 2);
  put_be(sound, 0, 2);
  put_be(sound, std::uint64_t{pcm.sample_rate} << 16, 4);
  Bytes entry;
  if (codec == Mp4Codec::kAac) {
    Bytes es;  // ES_Descriptor with a DecoderConfigDescriptor and SL config
    put_u8s(es, {static_cast<std::uint8_t>(0x03)});
    put_u8s(es, {static_cast<std::uint8_t>(25)});
    put_be(es, 1, 2);                             // ES id
    put_u8s(es, {static_cast<std::uint8_t>(0)});  // flags
    put_u8s(es, {static_cast<std::uint8_t>(0x04)});
    put_u8s(es, {static_cast<std::uint8_t>(17)});
    put_u8s(es, {static_cast<std::uint8_t>(0x40)});  // MPEG-4 audio
    put_u8s(es, {static_cast<std::uint8_t>(0x15)});  // audio stream
    put_be(es, 0, 3);                                // buffer size
    put_be(es, bitrate, 4);
    put_be(es, bitrate, 4);
    put_u8s(es, {static_cast<std::uint8_t>(0x05)});
    put_u8s(es, {static_cast<std::uint8_t>(2)});
    put_u8s(es, {static_cast<std::uint8_t>(0x12)});  // AAC LC, 44.1 kHz, stereo
    put_u8s(es, {static_cast<std::uint8_t>(0x10)});
    put_u8s(es, {static_cast<std::uint8_t>(0x06)});
    put_u8s(es, {static_cast<std::uint8_t>(1)});
    put_u8s(es, {static_cast<std::uint8_t>(2)});
    entry = box("mp4a", join({sound, box("esds", full(0, es))}));
  } else {
    Bytes config;
    put_be(config, 4096, 4);                          // frame length
    put_u8s(config, {static_cast<std::uint8_t>(0)});  // compatible version
    put_u8s(config, {static_cast<std::uint8_t>(static_cast<std::uint8_t>(pcm.bits))});
    put_u8s(config, {static_cast<std::uint8_t>(40)});
    put_u8s(config, {static_cast<std::uint8_t>(10)});
    put_u8s(config, {static_cast<std::uint8_t>(14)});
    put_u8s(config, {static_cast<std::uint8_t>(static_cast<std::uint8_t>(pcm.channels))});
    put_be(config, 255, 2);
    put_be(config, 0, 4);
    put_be(config, bitrate, 4);
    put_be(config, pcm.sample_rate, 4);
    entry = box("alac", join({sound, box("alac", full(0, config))}));
  }
  Bytes stsd_body;
  put_be(stsd_body, 0, 4);
  put_be(stsd_body, 1, 4);
  put_all(stsd_body, entry);
  Bytes stts_body, stsc_body, stsz_body, stco_body;
  put_be(stts_body, 0, 4);
  put_be(stts_body, 1, 4);
  put_be(stts_body, 1, 4);
  put_be(stts_body, duration, 4);
  put_be(stsc_body, 0, 4);
  put_be(stsc_body, 1, 4);
  put_be(stsc_body, 1, 4);
  put_be(stsc_body, 1, 4);
  put_be(stsc_body, 1, 4);
  constexpr std::uint32_t kMdatPayload = 16;
  put_be(stsz_body, 0, 4);
  put_be(stsz_body, kMdatPayload, 4);
  put_be(stsz_body, 1, 4);
  put_be(stco_body, 0, 4);
  put_be(stco_body, 1, 4);
  put_be(stco_body, 0, 4);  // filled in below
  Bytes dref_body;
  put_be(dref_body, 0, 4);
  put_be(dref_body, 1, 4);
  Bytes url = box("url ", full(1, {}));
  put_all(dref_body, url);
  Bytes smhd_body;
  put_be(smhd_body, 0, 4);
  put_be(smhd_body, 0, 4);

  Bytes stbl = box("stbl", join({box("stsd", stsd_body), box("stts", stts_body), box("stsc", stsc_body),
                                 box("stsz", stsz_body), box("stco", stco_body)}));
  Bytes minf = box("minf", join({box("smhd", smhd_body), box("dinf", box("dref", dref_body)), stbl}));
  Bytes mdia = box("mdia", join({box("mdhd", full(0, mdhd_body)), box("hdlr", full(0, hdlr_body)), minf}));
  Bytes trak = box("trak", join({box("tkhd", full(7, tkhd_body)), mdia}));
  Bytes moov = box("moov", join({box("mvhd", full(0, mvhd_body)), trak}));
  Bytes ftyp_body;
  put_text(ftyp_body, "M4A ");
  put_be(ftyp_body, 0, 4);
  put_text(ftyp_body, "M4A mp42isom");
  Bytes out = join({box("ftyp", ftyp_body), moov});
  // The one chunk's offset: the payload of the mdat box that follows.
  const std::uint32_t chunk = static_cast<std::uint32_t>(out.size() + 8);
  for (std::size_t i = 0; i + 8 <= out.size(); ++i) {
    if (std::memcmp(out.data() + i, "stco", 4) == 0) {
      const std::size_t field = i + 4 + 4 + 4;  // after type, version/flags, count
      for (int k = 0; k < 4; ++k)
        out[field + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(chunk >> (24 - 8 * k));
      break;
    }
  }
  Bytes payload(kMdatPayload, 0);
  Bytes mdat = box("mdat", payload);
  put_all(out, mdat);
  return out;
}

bool write_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool have_tool(const std::string& name) { return run_quietly({"sh", "-c", "command -v " + name}) == 0; }

bool encode_flac(const std::string& wav, const std::string& out) {
  return run_quietly({"flac", "--silent", "--force", "-o", out, wav}) == 0;
}

bool encode_mp3(const std::string& wav, const std::string& out, int kbps) {
  return run_quietly({"lame", "--quiet", "--cbr", "-b", std::to_string(kbps), wav, out}) == 0;
}

std::vector<std::uint8_t> fake_png(std::uint8_t seed, std::size_t size) {
  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  for (std::size_t i = out.size(); i < size; ++i) out.push_back(static_cast<std::uint8_t>(seed * 31 + i * 7));
  return out;
}

std::vector<std::uint8_t> tiny_png(std::uint8_t shade) {
  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  put_be(ihdr, 1, 4);
  put_be(ihdr, 1, 4);
  put_u8s(ihdr, {8, 0, 0, 0, 0});  // 8-bit grey, no interlace
  png_chunk(out, "IHDR", ihdr);
  // One scan line (filter 0, the pixel) in a stored zlib block.
  const std::uint8_t raw[2] = {0, shade};
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  Bytes idat = {0x78, 0x01, 0x01, 0x02, 0x00, 0xFD, 0xFF, raw[0], raw[1]};
  put_be(idat, (b << 16) | a, 4);
  png_chunk(out, "IDAT", idat);
  png_chunk(out, "IEND", {});
  return out;
}

bool tag_file(const std::string& path, const Tags& tags, const Id3Style& style) {
  const std::string ext = lower_extension(path);
  if (ext == "mp3") {
    TagLib::MPEG::File file(path.c_str());
    if (!file.isValid()) return false;
    if (style.id3v1_only) {
      TagLib::ID3v1::Tag* tag = file.ID3v1Tag(true);
      tag->setProperties(property_map(tags, false));
      return file.save(TagLib::MPEG::File::ID3v1, TagLib::File::StripOthers);
    }
    fill_id3v2(*file.ID3v2Tag(true), tags, style);
    return file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, id3_version(style));
  }
  if (ext == "wav") {
    TagLib::RIFF::WAV::File file(path.c_str());
    if (!file.isValid()) return false;
    if (style.riff_info) {
      file.InfoTag()->setProperties(property_map(tags, false));
      return file.save(TagLib::RIFF::WAV::File::Info, TagLib::File::StripOthers);
    }
    fill_id3v2(*file.ID3v2Tag(), tags, style);
    return file.save(TagLib::RIFF::WAV::File::ID3v2, TagLib::File::StripOthers, id3_version(style));
  }
  if (ext == "aif" || ext == "aiff") {
    TagLib::RIFF::AIFF::File file(path.c_str());
    if (!file.isValid()) return false;
    fill_id3v2(*file.tag(), tags, style);
    return file.save();
  }
  if (ext == "flac") {
    TagLib::FLAC::File file(path.c_str());
    if (!file.isValid()) return false;
    file.xiphComment(true)->setProperties(property_map(tags, true));
    for (const Picture& p : tags.pictures) {
      auto* picture = new TagLib::FLAC::Picture();
      picture->setType(p.front_cover ? TagLib::FLAC::Picture::FrontCover : TagLib::FLAC::Picture::Other);
      picture->setMimeType("image/png");
      picture->setData(vector_of(p.bytes));
      file.addPicture(picture);
    }
    return file.save();
  }
  if (ext == "m4a") {
    TagLib::MP4::File file(path.c_str());
    if (!file.isValid()) return false;
    TagLib::MP4::Tag* tag = file.tag();
    tag->setProperties(property_map(tags, false));
    // TagLib's property map has no name for these two.
    if (tags.key) tag->setItem("----:com.apple.iTunes:initialkey", TagLib::StringList(utf8(*tags.key)));
    if (tags.rating) tag->setItem("rate", TagLib::StringList(utf8(*tags.rating)));
    if (!tags.pictures.empty()) {
      TagLib::MP4::CoverArtList art;
      for (const Picture& p : tags.pictures)
        art.append(TagLib::MP4::CoverArt(TagLib::MP4::CoverArt::PNG, vector_of(p.bytes)));
      tag->setItem("covr", art);
    }
    return file.save();
  }
  return false;
}

}  // namespace dovrel::scan::testing
