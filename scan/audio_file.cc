#include "scan/audio_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <taglib/aifffile.h>
#include <taglib/aiffproperties.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/flacproperties.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4coverart.h>
#include <taglib/mp4file.h>
#include <taglib/mp4properties.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/popularimeterframe.h>
#include <taglib/tdebuglistener.h>
#include <taglib/tfilestream.h>
#include <taglib/tpropertymap.h>
#include <taglib/wavfile.h>
#include <taglib/wavproperties.h>
#include <taglib/xiphcomment.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>

#include "scan/tag_mapping.h"
#include "scan/text.h"
#include "vantrel_pdb/library.h"

namespace dovrel::scan {

namespace {

// The containers the scan reads, each with its TagLib class.
enum class Container { kMpeg, kMp4, kFlac, kWav, kAiff };

// File type codes of vantrel_pdb::file_type_for_path.
constexpr std::uint16_t kTypeMp3 = 1;
constexpr std::uint16_t kTypeM4a = 4;
constexpr std::uint16_t kTypeFlac = 5;
constexpr std::uint16_t kTypeAlac = 6;
constexpr std::uint16_t kTypeWav = 11;
constexpr std::uint16_t kTypeAiff = 12;

constexpr std::size_t kMagicBytes = 12;

const char* container_name(Container c) {
  switch (c) {
    case Container::kMpeg: return "MPEG audio";
    case Container::kMp4: return "MP4";
    case Container::kFlac: return "FLAC";
    case Container::kWav: return "WAV";
    case Container::kAiff: return "AIFF";
  }
  return "audio";
}

// The container of a file from its first bytes, else from its extension;
// the extension's file type is known to be in the build's table.
std::optional<Container> container_of(std::string_view magic, std::uint16_t file_type) {
  if (magic.size() >= 8 && magic.substr(4, 4) == "ftyp") return Container::kMp4;
  if (magic.starts_with("fLaC")) return Container::kFlac;
  if (magic.size() >= 12 && magic.starts_with("RIFF") && magic.substr(8, 4) == "WAVE") return Container::kWav;
  if (magic.size() >= 12 && magic.starts_with("FORM") &&
      (magic.substr(8, 4) == "AIFF" || magic.substr(8, 4) == "AIFC")) {
    return Container::kAiff;
  }
  switch (file_type) {
    case kTypeMp3: return Container::kMpeg;
    case kTypeM4a:
      // "aac" names raw MPEG-4 audio as often as an MP4 file; an MP4 file
      // would have shown its "ftyp" box above.
      return Container::kMpeg;
    case kTypeAlac: return Container::kMp4;
    case kTypeFlac: return Container::kFlac;  // an ID3v2 tag may stand before "fLaC"
    case kTypeWav: return Container::kWav;
    case kTypeAiff: return Container::kAiff;
    default: return std::nullopt;
  }
}

class SilentListener : public TagLib::DebugListener {
 public:
  void printMessage(const TagLib::String&) override {}
};

std::string text_of(const TagLib::String& s, std::size_t max_bytes) {
  return clip_utf8(valid_utf8(s.to8Bit(true)), max_bytes);
}

// The first non-empty value of the first of `keys` that the map holds.
std::string first_value(const TagLib::PropertyMap& properties, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    auto it = properties.find(key);
    if (it == properties.end()) continue;
    for (const TagLib::String& value : it->second) {
      if (!value.isEmpty()) return text_of(value, kMaxNameBytes);
    }
  }
  return {};
}

std::vector<std::uint8_t> bytes_of(const TagLib::ByteVector& data) {
  return std::vector<std::uint8_t>(data.begin(), data.end());
}

// The texts every tag kind has, and the mapped properties.
void read_tags(const TagLib::File& file, AudioFile& out) {
  if (const TagLib::Tag* tag = file.tag()) {
    out.title = text_of(tag->title(), kMaxTitleBytes);
    out.artist = text_of(tag->artist(), kMaxNameBytes);
    out.album = text_of(tag->album(), kMaxNameBytes);
    out.genre = text_of(tag->genre(), kMaxNameBytes);
    out.comment = text_of(tag->comment(), kMaxCommentBytes);
  }
  const TagLib::PropertyMap properties = file.properties();
  out.key = first_value(properties, {"INITIALKEY", "KEY"});
  std::string label = first_value(properties, {"LABEL", "ORGANIZATION", "PUBLISHER"});
  if (!label.empty()) out.label = std::move(label);
  out.bpm = bpm_from_text(first_value(properties, {"BPM"}));
  out.rating = stars_from_rating_text(first_value(properties, {"RATING"}));
}

// The texts that `tag` has and `out` lacks: TagLib's WAV file shows its
// ID3v2 tag alone, and a RIFF INFO chunk holds the texts of older tools.
void fill_from(const TagLib::Tag& tag, AudioFile& out) {
  auto fill = [](std::string& field, const TagLib::String& value, std::size_t max_bytes) {
    if (field.empty()) field = text_of(value, max_bytes);
  };
  fill(out.title, tag.title(), kMaxTitleBytes);
  fill(out.artist, tag.artist(), kMaxNameBytes);
  fill(out.album, tag.album(), kMaxNameBytes);
  fill(out.genre, tag.genre(), kMaxNameBytes);
  fill(out.comment, tag.comment(), kMaxCommentBytes);
}

// ID3v2: the popularimeter rating wins over a RATING text; the front
// cover, else the first picture.
void read_id3v2(const TagLib::ID3v2::Tag* tag, bool with_picture, AudioFile& out) {
  if (tag == nullptr) return;
  const auto& frames = tag->frameListMap();
  if (auto popm = frames.find("POPM"); popm != frames.end() && !popm->second.isEmpty()) {
    if (auto* frame = dynamic_cast<const TagLib::ID3v2::PopularimeterFrame*>(popm->second.front())) {
      out.rating = stars_from_popularimeter(static_cast<unsigned>(frame->rating()));
    }
  }
  if (!with_picture) return;
  auto apic = frames.find("APIC");
  if (apic == frames.end()) return;
  const TagLib::ID3v2::AttachedPictureFrame* chosen = nullptr;
  for (const TagLib::ID3v2::Frame* f : apic->second) {
    auto* picture = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(f);
    if (picture == nullptr || picture->picture().isEmpty()) continue;
    if (chosen == nullptr) chosen = picture;
    if (picture->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover) {
      chosen = picture;
      break;
    }
  }
  if (chosen != nullptr) out.picture = bytes_of(chosen->picture());
}

void read_flac_pictures(TagLib::FLAC::File& file, AudioFile& out) {
  TagLib::List<TagLib::FLAC::Picture*> pictures = file.pictureList();
  if (pictures.isEmpty() && file.hasXiphComment()) pictures = file.xiphComment()->pictureList();
  const TagLib::FLAC::Picture* chosen = nullptr;
  for (const TagLib::FLAC::Picture* picture : pictures) {
    if (picture->data().isEmpty()) continue;
    if (chosen == nullptr) chosen = picture;
    if (picture->type() == TagLib::FLAC::Picture::FrontCover) {
      chosen = picture;
      break;
    }
  }
  if (chosen != nullptr) out.picture = bytes_of(chosen->data());
}

// MP4: the initial key, a "rate" item as a rating text (or number); cover art has no types,
// so the first picture is taken.
void read_mp4(const TagLib::MP4::File& file, bool with_picture, AudioFile& out) {
  const TagLib::MP4::Tag* tag = file.tag();
  if (tag == nullptr) return;
  // TagLib's property map has no name for the initial key's freeform item.
  for (const char* name : {"----:com.apple.iTunes:initialkey", "----:com.apple.iTunes:INITIALKEY"}) {
    if (!out.key.empty() || !tag->contains(name)) continue;
    const TagLib::StringList texts = tag->item(name).toStringList();
    if (!texts.isEmpty()) out.key = text_of(texts.front(), kMaxNameBytes);
  }
  if (tag->contains("rate")) {
    const TagLib::MP4::Item rate = tag->item("rate");
    const TagLib::StringList texts = rate.toStringList();
    out.rating = texts.isEmpty() ? stars_from_rating_text(std::to_string(rate.toInt()))
                                 : stars_from_rating_text(text_of(texts.front(), kMaxNameBytes));
  }
  if (!with_picture || !tag->contains("covr")) return;
  for (const TagLib::MP4::CoverArt& art : tag->item("covr").toCoverArtList()) {
    if (art.data().isEmpty()) continue;
    out.picture = bytes_of(art.data());
    break;
  }
}

void read_properties(const TagLib::AudioProperties& p, AudioFile& out) {
  out.duration = duration_seconds(p.lengthInMilliseconds());
  out.bitrate = clamp_u32(p.bitrate());
  out.sample_rate = clamp_u32(p.sampleRate());
}

std::uint16_t depth_of(int bits) { return static_cast<std::uint16_t>(bits > 0 && bits <= 0xFFFF ? bits : 0); }

// Reads an opened stream as `container`; the reason on failure.
std::expected<void, std::string> read_container(Container container, TagLib::IOStream* stream, bool with_picture,
                                                AudioFile& out) {
  const std::string unreadable = std::string("not a readable ") + container_name(container) + " file";
  constexpr auto kStyle = TagLib::AudioProperties::Average;
  std::unique_ptr<TagLib::File> owner;
  switch (container) {
    case Container::kMpeg: {
      auto file = std::make_unique<TagLib::MPEG::File>(stream, TagLib::ID3v2::FrameFactory::instance(), true, kStyle);
      if (!file->isValid()) return std::unexpected(unreadable);
      read_tags(*file, out);
      read_id3v2(file->ID3v2Tag(), with_picture, out);
      owner = std::move(file);
      break;
    }
    case Container::kMp4: {
      auto file = std::make_unique<TagLib::MP4::File>(stream, true, kStyle);
      if (!file->isValid()) return std::unexpected(unreadable);
      read_tags(*file, out);
      read_mp4(*file, with_picture, out);
      if (const auto* p = file->audioProperties(); p && p->codec() == TagLib::MP4::Properties::ALAC) {
        out.sample_depth = depth_of(p->bitsPerSample());
      }
      owner = std::move(file);
      break;
    }
    case Container::kFlac: {
      auto file = std::make_unique<TagLib::FLAC::File>(stream, TagLib::ID3v2::FrameFactory::instance(), true, kStyle);
      if (!file->isValid()) return std::unexpected(unreadable);
      read_tags(*file, out);
      if (with_picture) read_flac_pictures(*file, out);
      if (const auto* p = file->audioProperties()) out.sample_depth = depth_of(p->bitsPerSample());
      owner = std::move(file);
      break;
    }
    case Container::kWav: {
      auto file = std::make_unique<TagLib::RIFF::WAV::File>(stream, true, kStyle);
      if (!file->isValid()) return std::unexpected(unreadable);
      read_tags(*file, out);
      if (file->hasID3v2Tag()) read_id3v2(file->ID3v2Tag(), with_picture, out);
      if (file->hasInfoTag()) fill_from(*file->InfoTag(), out);
      if (const auto* p = file->audioProperties()) out.sample_depth = depth_of(p->bitsPerSample());
      owner = std::move(file);
      break;
    }
    case Container::kAiff: {
      auto file = std::make_unique<TagLib::RIFF::AIFF::File>(stream, true, kStyle);
      if (!file->isValid()) return std::unexpected(unreadable);
      read_tags(*file, out);
      if (file->hasID3v2Tag()) read_id3v2(file->tag(), with_picture, out);
      if (const auto* p = file->audioProperties()) out.sample_depth = depth_of(p->bitsPerSample());
      owner = std::move(file);
      break;
    }
  }
  const TagLib::AudioProperties* properties = owner->audioProperties();
  if (properties == nullptr || properties->sampleRate() <= 0)
    return std::unexpected(std::string("no audio stream found"));
  read_properties(*properties, out);
  return {};
}

// Closes a descriptor that TagLib did not take over.
struct FdGuard {
  int fd;
  ~FdGuard() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

void silence_taglib() {
  static std::once_flag once;
  std::call_once(once, [] {
    static SilentListener listener;
    TagLib::setDebugListener(&listener);
  });
}

std::expected<AudioFile, std::string> read_audio_file(const std::string& path, bool with_picture) {
  silence_taglib();
  const std::optional<std::uint16_t> file_type = vantrel_pdb::file_type_for_path(path);
  if (!file_type) return std::unexpected(std::string("not an audio file of the database's file types"));
  // Non-blocking, so that a FIFO in the folder cannot stop the scan.
  FdGuard guard{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
  if (guard.fd < 0) return std::unexpected(os_error_text(errno));
  struct stat st {};
  if (::fstat(guard.fd, &st) != 0) return std::unexpected(os_error_text(errno));
  if (!S_ISREG(st.st_mode)) return std::unexpected(std::string("not a regular file"));
  char magic[kMagicBytes];
  const ssize_t got = ::pread(guard.fd, magic, sizeof magic, 0);
  if (got < 0) return std::unexpected(os_error_text(errno));
  const auto container = container_of(std::string_view(magic, static_cast<std::size_t>(got)), *file_type);
  if (!container) return std::unexpected(std::string("not an audio file of the database's file types"));

  AudioFile out;
  out.file_size = static_cast<std::uint64_t>(st.st_size);
  try {
    // TagLib takes the descriptor over: it closes it with the stream.
    TagLib::FileStream stream(guard.fd, true);
    if (!stream.isOpen()) return std::unexpected(os_error_text(errno));
    guard.fd = -1;
    if (auto ok = read_container(*container, &stream, with_picture, out); !ok) return std::unexpected(ok.error());
  } catch (const std::bad_alloc&) {
    return std::unexpected(std::string("out of memory while reading its tags"));
  } catch (const std::exception& e) {
    return std::unexpected(std::string("cannot read its tags: ") + e.what());
  }
  if (out.title.empty()) {
    const std::size_t slash = path.rfind('/');
    out.title = title_from_file_name(slash == std::string::npos ? std::string_view(path)
                                                                : std::string_view(path).substr(slash + 1));
  }
  return out;
}

}  // namespace dovrel::scan
