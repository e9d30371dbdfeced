#include "scan/scanner.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "scan/artwork_store.h"
#include "scan/playlist_file.h"
#include "scan/tag_mapping.h"
#include "scan/text.h"
#include "vantrel_pdb/files.h"

namespace dovrel::scan {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(100);
// Longest piece of a playlist entry quoted back in a reason.
constexpr std::size_t kQuotedEntryBytes = 200;

std::string folder_of(std::string_view relative) {
  const std::size_t slash = relative.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(relative.substr(0, slash));
}

std::string name_of(std::string_view relative) {
  const std::size_t slash = relative.rfind('/');
  return std::string(slash == std::string_view::npos ? relative : relative.substr(slash + 1));
}

// The audio files, read by `threads` workers that each take the next file
// not yet taken. Each outcome lands in its file's slot, so the order of the
// result is the order of the paths whatever the timing.
class Reader {
 public:
  Reader(const ScanOptions& options, const std::vector<std::string>& paths)
      : options_(options), paths_(paths), outcomes_(paths.size()) {
    if (options.artwork_folder) artwork_.emplace(options.root, *options.artwork_folder);
  }

  std::expected<void, std::string> run() {
    const unsigned threads = std::max(1u, std::min<unsigned>(options_.threads, static_cast<unsigned>(paths_.size())));
    show(0);
    std::vector<std::thread> workers;
    if (!paths_.empty()) {
      workers.reserve(threads);
      try {
        for (unsigned i = 0; i < threads; ++i) workers.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        // Fewer threads than asked for: those there are do it all.
      }
      if (workers.empty()) work();
    }
    report_progress_until_done();
    for (std::thread& t : workers) t.join();
    // An exception of a worker (std::bad_alloc above all) is the caller's,
    // thrown on its thread: on a worker's it would end the process.
    if (exception_) std::rethrow_exception(exception_);
    if (failure_) return std::unexpected(*failure_);
    return {};
  }

  // The outcome of file i: the track, or the reason it was skipped.
  std::expected<ScannedTrack, std::string>& outcome(std::size_t i) { return *outcomes_[i]; }

 private:
  void work() {
    for (;;) {
      if (stop_.load(std::memory_order_relaxed)) break;
      const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
      if (i >= paths_.size()) break;
      last_started_.store(i, std::memory_order_relaxed);
      try {
        outcomes_[i] = read_one(paths_[i]);
      } catch (...) {
        std::lock_guard lock(mutex_);
        if (!exception_) exception_ = std::current_exception();
        stop_.store(true, std::memory_order_relaxed);
        break;
      }
      finish_one();
    }
    // Wakes the progress loop, which ends when every file is done or the
    // scan has failed.
    std::lock_guard lock(mutex_);
    wake_.notify_all();
  }

  std::expected<ScannedTrack, std::string> read_one(const std::string& relative) {
    auto file = read_audio_file(options_.root + "/" + relative, artwork_.has_value());
    if (!file) return std::unexpected(std::move(file.error()));
    ScannedTrack track;
    track.audio_path = "/" + relative;
    if (!file->picture.empty()) {
      auto stored = artwork_->store(file->picture);
      if (!stored) {
        fail(std::move(stored.error()));
      } else {
        track.artwork_path = std::move(*stored);
      }
      std::vector<std::uint8_t>().swap(file->picture);
    }
    track.file = std::move(*file);
    return track;
  }

  void fail(std::string message) {
    std::lock_guard lock(mutex_);
    if (!failure_) failure_ = std::move(message);
    stop_.store(true, std::memory_order_relaxed);
  }

  void finish_one() {
    const std::size_t done = done_.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (done == paths_.size()) {
      std::lock_guard lock(mutex_);
      wake_.notify_all();
    }
  }

  bool finished() const {
    return done_.load(std::memory_order_acquire) == paths_.size() || stop_.load(std::memory_order_relaxed);
  }

  void show(std::size_t done) {
    if (!options_.progress) return;
    Progress progress;
    progress.total = paths_.size();
    progress.done = done;
    if (!paths_.empty()) progress.folder = stick_path(folder_of(paths_[last_started_.load()]));
    options_.progress(progress);
  }

  // Shows where the reading stands every kProgressInterval, and a last
  // time when it is over.
  void report_progress_until_done() {
    std::unique_lock lock(mutex_);
    for (;;) {
      const bool over = wake_.wait_for(lock, kProgressInterval, [this] { return finished(); });
      lock.unlock();
      show(over ? paths_.size() : done_.load(std::memory_order_acquire));
      lock.lock();
      if (over) break;
    }
  }

  const ScanOptions& options_;
  const std::vector<std::string>& paths_;
  std::vector<std::optional<std::expected<ScannedTrack, std::string>>> outcomes_;
  std::optional<ArtworkStore> artwork_;
  std::atomic<std::size_t> next_{0};
  std::atomic<std::size_t> done_{0};
  std::atomic<std::size_t> last_started_{0};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<std::string> failure_;
  std::exception_ptr exception_;
};

// The playlist tree: a folder for each folder that holds playlist files or
// such folders, made when first needed, under its parent folder's.
class PlaylistTree {
 public:
  PlaylistTree(const ScanOptions& options, const std::unordered_map<std::string, std::size_t>& tracks,
               ScanResult& result)
      : options_(options), root_(root_paths(options.root)), tracks_(tracks), result_(result) {}

  void add(const std::string& relative) {
    const std::string folder = folder_of(relative);
    const std::string stick = stick_path(relative);
    auto text = read_text(relative);
    if (!text) {
      result_.skipped.push_back({stick, std::move(text.error())});
      return;
    }
    ScannedPlaylist playlist;
    playlist.parent_id = folder_id(folder);
    playlist.id = ++last_id_;
    playlist.name = title_from_file_name(name_of(relative));
    const bool latin1 = !relative.ends_with('8');  // .m3u rather than .m3u8
    for (const PlaylistEntry& entry : playlist_entries(*text, latin1)) {
      auto index = track_of(entry.text, folder);
      if (index) {
        playlist.tracks.push_back(*index);
      } else {
        result_.skipped.push_back({stick, "line " + std::to_string(entry.line) + ": " +
                                              clip_utf8(valid_utf8(entry.text), kQuotedEntryBytes) + ": " +
                                              index.error()});
      }
    }
    result_.playlists.push_back(std::move(playlist));
  }

 private:
  std::expected<std::string, std::string> read_text(const std::string& relative) const {
    const std::string path = options_.root + "/" + relative;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::unexpected(os_error_text(errno));
    if (static_cast<std::uint64_t>(st.st_size) > kMaxPlaylistFileBytes) {
      return std::unexpected("larger than " + std::to_string(kMaxPlaylistFileBytes >> 20) + " MiB");
    }
    auto bytes = vantrel_pdb::read_file(path);
    if (!bytes) return std::unexpected(bytes.error().message());
    return std::string(bytes->begin(), bytes->end());
  }

  // The index of the track that an entry names, or why there is none.
  std::expected<std::size_t, std::string> track_of(std::string_view entry, const std::string& folder) const {
    auto relative = resolve_entry(entry, folder, root_);
    if (!relative) return std::unexpected(std::move(relative.error()));
    if (auto it = tracks_.find(*relative); it != tracks_.end()) return it->second;
    struct stat st {};
    if (::stat((options_.root + "/" + *relative).c_str(), &st) != 0) return std::unexpected(os_error_text(errno));
    return std::unexpected(std::string("not a scanned track"));
  }

  // The id of the playlist folder for the folder at `relative`, made with
  // its parents when new; 0 for the root.
  std::uint32_t folder_id(const std::string& relative) {
    if (relative.empty()) return 0;
    if (auto it = folders_.find(relative); it != folders_.end()) return it->second;
    const std::uint32_t parent = folder_id(folder_of(relative));
    ScannedPlaylist folder;
    folder.id = ++last_id_;
    folder.parent_id = parent;
    folder.name = clip_utf8(valid_utf8(name_of(relative)), kMaxNameBytes);
    folder.is_folder = true;
    folders_.emplace(relative, folder.id);
    result_.playlists.push_back(std::move(folder));
    return folders_[relative];
  }

  const ScanOptions& options_;
  RootPaths root_;
  const std::unordered_map<std::string, std::size_t>& tracks_;
  ScanResult& result_;
  std::map<std::string, std::uint32_t> folders_;
  std::uint32_t last_id_ = 0;
};

}  // namespace

std::expected<ScanResult, std::string> scan_folders(const ScanOptions& options) {
  auto found = find_files(options.root, options.folders);
  if (!found) return std::unexpected(std::move(found.error()));
  ScanResult result;
  result.skipped = std::move(found->skipped);

  Reader reader(options, found->audio);
  if (auto ok = reader.run(); !ok) return std::unexpected(std::move(ok.error()));
  std::unordered_map<std::string, std::size_t> track_index;
  result.tracks.reserve(found->audio.size());
  for (std::size_t i = 0; i < found->audio.size(); ++i) {
    auto& outcome = reader.outcome(i);
    if (!outcome) {
      result.skipped.push_back({stick_path(found->audio[i]), std::move(outcome.error())});
      continue;
    }
    track_index.emplace(found->audio[i], result.tracks.size());
    result.tracks.push_back(std::move(*outcome));
  }

  PlaylistTree tree(options, track_index, result);
  for (const std::string& playlist : found->playlists) tree.add(playlist);

  std::stable_sort(result.skipped.begin(), result.skipped.end(),
                   [](const Skipped& a, const Skipped& b) { return a.path < b.path; });
  return result;
}

}  // namespace dovrel::scan
