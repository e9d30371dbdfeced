#include "scan/artwork_store.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

#include "scan/sha256.h"
#include "scan/text.h"
#include "vantrel_pdb/files.h"

namespace dovrel::scan {

namespace {

bool starts_with(std::span<const std::uint8_t> bytes, std::string_view magic, std::size_t at = 0) {
  if (bytes.size() < at + magic.size()) return false;
  return std::equal(magic.begin(), magic.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    [](char m, std::uint8_t b) { return static_cast<std::uint8_t>(m) == b; });
}

// True when the file at `path` holds exactly `bytes`.
bool holds(const std::string& path, std::span<const std::uint8_t> bytes) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_size) != bytes.size()) {
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<char> content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return content.size() == bytes.size() &&
         std::equal(content.begin(), content.end(), bytes.begin(),
                    [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

}  // namespace

std::optional<std::string_view> image_extension(std::span<const std::uint8_t> image) {
  if (starts_with(image, "\xFF\xD8\xFF")) return "jpg";
  if (starts_with(image, "\x89PNG\r\n\x1A\n")) return "png";
  if (starts_with(image, "GIF87a") || starts_with(image, "GIF89a")) return "gif";
  if (starts_with(image, "BM")) return "bmp";
  if (starts_with(image, "RIFF") && starts_with(image, "WEBP", 8)) return "webp";
  return std::nullopt;
}

std::optional<std::string> normal_artwork_folder(std::string_view folder) {
  if (folder.starts_with('/')) return std::nullopt;
  std::string out;
  while (!folder.empty()) {
    const std::size_t slash = folder.find('/');
    const std::string_view part = folder.substr(0, slash);
    folder.remove_prefix(slash == std::string_view::npos ? folder.size() : slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") return std::nullopt;
    for (char c : part) {
      if (c < 0x20 || c > 0x7E || c == '\\') return std::nullopt;
    }
    if (!out.empty()) out.push_back('/');
    out.append(part);
  }
  if (out.size() > kMaxArtworkFolderBytes) return std::nullopt;
  return out;
}

ArtworkStore::ArtworkStore(std::string root, std::string folder) : root_(std::move(root)), folder_(std::move(folder)) {}

std::size_t ArtworkStore::written() const {
  std::lock_guard lock(mutex_);
  return written_;
}

std::expected<void, std::string> ArtworkStore::make_folder() {
  // Each component in turn, as mkdir -p does; one that exists is fine.
  std::string path = root_;
  std::string_view rest = folder_;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    path.append("/").append(rest.substr(0, slash));
    rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
    if (::mkdir(path.c_str(), 0777) == 0) continue;
    int error = errno;
    struct stat st {};
    if (error == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    return std::unexpected("cannot make folder " + valid_utf8(path) + ": " + os_error_text(error));
  }
  return {};
}

std::expected<std::string, std::string> ArtworkStore::store(std::span<const std::uint8_t> image) {
  const std::optional<std::string_view> extension = image_extension(image);
  if (!extension) return std::string();
  const std::string name = hex_prefix(sha256(image), kArtworkNameDigits) + "." + std::string(*extension);
  std::string artwork_path = "/" + (folder_.empty() ? name : folder_ + "/" + name);
  {
    std::lock_guard lock(mutex_);
    if (claimed_.contains(name)) return artwork_path;
    if (!folder_made_) {
      if (auto ok = make_folder(); !ok) return std::unexpected(ok.error());
      folder_made_ = true;
    }
    claimed_.insert(name);
  }
  // This caller claimed the name; the others take the path at once, and
  // the scan waits for every writer before it reports.
  const std::string file = root_ + artwork_path;
  if (holds(file, image)) return artwork_path;
  // The tool's own temporary-file prefix, so that a crash leaves one kind of
  // leftover in the stick's folders.
  vantrel_pdb::WriteOptions options;
  options.temp_prefix = ".dovrel-";
  if (auto ok = vantrel_pdb::write_file(file, image, options); !ok) return std::unexpected(ok.error().message());
  std::lock_guard lock(mutex_);
  ++written_;
  return artwork_path;
}

}  // namespace dovrel::scan
