// File and folder names made from playlist names, safe on FAT32, exFAT and
// NTFS as well as on Unix file systems: what a music stick is formatted
// with, and what the computer that reads it expects.
#ifndef DOVREL_SAFE_NAME_H_
#define DOVREL_SAFE_NAME_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>

namespace dovrel {

// The longest name made, in bytes, extension and number included. FAT's
// long names hold 255 UTF-16 units and ext4's 255 bytes; 255 bytes of UTF-8
// never take more than 255 UTF-16 units.
inline constexpr std::size_t kMaxNameBytes = 255;

// `name` made into one path component, `extension` (such as ".m3u8", or
// "") appended, in at most kMaxNameBytes bytes:
// - the characters FAT and NTFS refuse (< > : " / \ | ? *, the control
//   characters U+0000 to U+001F and DEL) and bytes that are not UTF-8
//   become "_";
// - trailing dots and spaces, which Windows drops, are removed;
// - a name that is then empty becomes "_";
// - a device name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, in any
//   case, alone or before a dot, as in "con.mix") gets "_" after it;
// - the name is cut to fit, never inside a UTF-8 character.
// `extension` must itself be safe and shorter than kMaxNameBytes - 8.
std::string safe_name(std::string_view name, std::string_view extension);

// `name` in capitals as FAT compares names: ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic letters; other characters as they are.
std::string fold_case(std::string_view name);

// The names given out in one folder, so that no two are equal once case
// is folded, as FAT (and NTFS, exFAT, macOS by default) compare them.
class FolderNames {
 public:
  // safe_name(name, extension), or when that is taken, the first free name
  // of "NAME (2)EXT", "NAME (3)EXT", ... (NAME cut shorter as needed). The
  // same sequence of calls gives the same names.
  std::string add(std::string_view name, std::string_view extension);

 private:
  std::unordered_set<std::string> taken_;  // folded
};

}  // namespace dovrel

#endif  // DOVREL_SAFE_NAME_H_
