// The artwork files of a scan: each distinct embedded picture written once
// under root/FOLDER, named after its content, so that the tracks that share
// an image share its file and a later scan finds the file it wrote before.
#ifndef DOVREL_SCAN_ARTWORK_STORE_H_
#define DOVREL_SCAN_ARTWORK_STORE_H_

#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>

namespace dovrel::scan {

// Hexadecimal digits of the content's SHA-256 in an artwork file's name.
inline constexpr std::size_t kArtworkNameDigits = 16;
// The longest artworkFolder: "/" + FOLDER + "/" + 16 digits + "." + an
// extension of up to 4 letters stays within the 126 bytes of an artwork path.
inline constexpr std::size_t kMaxArtworkFolderBytes = 126 - 1 - 1 - kArtworkNameDigits - 1 - 4;

// The extension of an image by its first bytes: "jpg", "png", "gif", "bmp"
// or "webp"; nullopt for any other content.
std::optional<std::string_view> image_extension(std::span<const std::uint8_t> image);

// `folder` made a path relative to the root without empty or "."
// components ("art", "covers/small"), or nullopt when it is absolute, climbs
// with "..", holds a byte outside printable ASCII (0x20 to 0x7E) or a
// backslash, or is longer than kMaxArtworkFolderBytes.
std::optional<std::string> normal_artwork_folder(std::string_view folder);

class ArtworkStore {
 public:
  // `folder` as normal_artwork_folder returns it.
  ArtworkStore(std::string root, std::string folder);

  // The artwork path ("/FOLDER/NAME.EXT") of `image`, whose file is written
  // under root/FOLDER unless a file of that name holds the same bytes
  // already; "" for content that is no known image (nothing is written).
  // The folder is made when the first image comes. Fails with the writer's
  // message ("cannot write output PATH: ..."), or "cannot make folder PATH:
  // ...". Safe to call from several threads: each distinct image is
  // written once, by the first caller.
  std::expected<std::string, std::string> store(std::span<const std::uint8_t> image);

  // The number of files written (not counting those found in place).
  std::size_t written() const;

 private:
  std::expected<void, std::string> make_folder();

  std::string root_;
  std::string folder_;
  mutable std::mutex mutex_;
  bool folder_made_ = false;
  std::unordered_set<std::string> claimed_;  // names of the files written or found, once claimed
  std::size_t written_ = 0;
};

}  // namespace dovrel::scan

#endif  // DOVREL_SCAN_ARTWORK_STORE_H_
