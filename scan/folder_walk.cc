#include "scan/folder_walk.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "scan/playlist_file.h"
#include "scan/tag_mapping.h"
#include "scan/text.h"
#include "vantrel_pdb/library.h"

namespace dovrel::scan {

namespace {

struct DirId {
  dev_t device;
  ino_t inode;
  friend bool operator==(const DirId&, const DirId&) = default;
};

std::string join(std::string_view parent, std::string_view name) {
  if (parent.empty()) return std::string(name);
  std::string out(parent);
  out.push_back('/');
  out.append(name);
  return out;
}

class Walker {
 public:
  explicit Walker(const std::string& root) : root_(root) {}

  FoundFiles& found() { return found_; }

  std::string full(std::string_view relative) const {
    if (relative.empty()) return root_;
    return root_ + "/" + std::string(relative);
  }

  // Lists the folder at `relative`, whose identity is `id`, and walks what
  // it holds. Returns the errno of a folder that cannot be listed.
  int walk(const std::string& relative, DirId id) {
    std::vector<std::string> names;
    if (int error = list(full(relative), names); error != 0) return error;
    // Names in byte order; the whole list is sorted again at the end.
    std::sort(names.begin(), names.end());
    ancestors_.push_back({id, relative});
    for (const std::string& name : names) visit(join(relative, name), name);
    ancestors_.pop_back();
    return 0;
  }

 private:
  // A folder on the walk's current path.
  struct Ancestor {
    DirId id;
    std::string path;
  };

  static int list(const std::string& path, std::vector<std::string>& names) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return errno;
    int error = 0;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir);
      if (entry == nullptr) {
        error = errno;
        break;
      }
      std::string_view name = entry->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(dir);
    return error;
  }

  void skip(std::string_view relative, std::string reason) {
    found_.skipped.push_back({stick_path(relative), std::move(reason)});
  }

  void visit(const std::string& relative, std::string_view name) {
    struct stat st {};
    if (::stat(full(relative).c_str(), &st) != 0) {
      skip(relative, os_error_text(errno));
      return;
    }
    if (S_ISDIR(st.st_mode)) {
      const DirId id{st.st_dev, st.st_ino};
      auto loop = std::find_if(ancestors_.begin(), ancestors_.end(), [&](const Ancestor& a) { return a.id == id; });
      if (loop != ancestors_.end()) {
        skip(relative, "symbolic link loop back to " + stick_path(loop->path));
        return;
      }
      if (int error = walk(relative, id); error != 0) skip(relative, os_error_text(error));
      return;
    }
    if (!S_ISREG(st.st_mode)) return;
    if (is_playlist_name(name)) {
      found_.playlists.push_back(relative);
    } else if (vantrel_pdb::file_type_for_path(stick_path(relative))) {
      // The table is applied to the path a track is built with.
      if (!is_valid_utf8(relative)) {
        skip(relative, "its path is not valid UTF-8");
      } else if (relative.size() + 1 > kMaxAudioPathBytes) {
        skip(relative, "its path is longer than " + std::to_string(kMaxAudioPathBytes) + " bytes");
      } else {
        found_.audio.push_back(relative);
      }
    }
  }

  std::string root_;
  std::vector<Ancestor> ancestors_;
  FoundFiles found_;
};

void sort_unique(std::vector<std::string>& paths) {
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
}

}  // namespace

bool is_playlist_name(std::string_view name) {
  auto ends_with = [&](std::string_view suffix) {
    if (name.size() < suffix.size()) return false;
    std::string_view tail = name.substr(name.size() - suffix.size());
    return std::equal(tail.begin(), tail.end(), suffix.begin(), [](char a, char b) {
      return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
    });
  };
  return ends_with(".m3u") || ends_with(".m3u8");
}

std::string stick_path(std::string_view relative) {
  std::string path(1, '/');
  path.append(valid_utf8(relative));
  return path;
}

std::expected<FoundFiles, std::string> find_files(const std::string& root, const std::vector<std::string>& folders) {
  Walker walker(root);
  for (const std::string& asked : folders) {
    const std::optional<std::string> folder = asked.starts_with('/') ? std::nullopt : normalise(asked);
    if (!folder) return std::unexpected("cannot scan " + valid_utf8(asked) + ": not a folder inside the root");
    const std::string path = walker.full(*folder);
    struct stat st {};
    int error = ::stat(path.c_str(), &st) != 0 ? errno : 0;
    if (error == 0 && !S_ISDIR(st.st_mode)) error = ENOTDIR;
    if (error == 0) error = walker.walk(*folder, {st.st_dev, st.st_ino});
    if (error != 0) return std::unexpected("cannot scan " + valid_utf8(path) + ": " + os_error_text(error));
  }
  FoundFiles found = std::move(walker.found());
  sort_unique(found.audio);
  sort_unique(found.playlists);
  return found;
}

}  // namespace dovrel::scan
