#include "export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "actions.h"
#include "database_file.h"
#include "export_artwork.h"
#include "export_csv.h"
#include "export_html.h"
#include "export_m3u8.h"
#include "json_writer.h"
#include "lock_wait.h"
#include "mapped_file.h"
#include "ordered_blocks.h"
#include "report_sink.h"
#include "target_lock.h"
#include "text_store.h"
#include "two_halves.h"
#include "vantrel_pdb/files.h"
#include "vantrel_pdb/library.h"

namespace dovrel {

namespace {

// Writers of an m3u8 export at once. The time of such an export goes to
// syncing each file and its folder (write_file), which the file system
// can do for many files together.
constexpr std::size_t kM3u8Writers = 16;

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The input's pages, let go of every kReleaseEvery tracks read when the
// input is a mapped file (MappedFile::release_resident): an export reads
// each track's row once or twice, in table order, and keeps what it makes
// of it, so that the rows behind it need not stay in memory beside that.
class InputPages {
 public:
  static constexpr std::size_t kReleaseEvery = 8192;

  explicit InputPages(const MappedFile* mapped) : mapped_(mapped) {}
  // Track `i` has been read.
  void read(std::size_t i) const {
    if (mapped_ != nullptr && (i + 1) % kReleaseEvery == 0) mapped_->release_resident();
  }

 private:
  const MappedFile* mapped_;  // null: the input was read into memory
};

// Runs write() under the lock of the file `path` and returns what it returns.
template <class Write>
Result<void> under_lock(const std::string& path, TargetLock::Missing missing, Write&& write) {
  auto wait = lock_wait();
  if (!wait) return std::unexpected(std::move(wait.error()));
  const TargetLock lock(path, missing, *wait);
  if (lock.failure()) return std::unexpected(Error(*lock.failure()));
  return write();
}

// Writes the file `path` as `parts`, one after another, under its lock.
Result<void> write_one(const std::string& path, std::span<const std::string_view> parts,
                       TargetLock::Missing missing = TargetLock::Missing::kLockDirectory) {
  return under_lock(path, missing, [&] {
    std::vector<vantrel_pdb::Bytes> bytes;
    bytes.reserve(parts.size());
    for (std::string_view part : parts) bytes.push_back(bytes_of(part));
    return write_output(path, std::span<const vantrel_pdb::Bytes>(bytes), {});
  });
}

Result<void> write_one(const std::string& path, std::initializer_list<std::string_view> parts) {
  return write_one(path, std::span<const std::string_view>(parts.begin(), parts.size()));
}

using vantrel_pdb::PutBlock;

// Writes the file `path` under its lock as `produce` makes it, handing its
// bytes to the PutBlock in order, so that a large file is never held whole.
// A failure of `produce` leaves the file as it was and is returned.
Result<void> write_one_produced(const std::string& path, const std::function<Result<void>(const PutBlock&)>& produce) {
  return under_lock(path, TargetLock::Missing::kLockDirectory, [&] {
    // The library's writer takes the library's error: the message is all a
    // failure of ours carries, and it comes back as it went.
    return write_output(path, [&](const PutBlock& put) -> std::expected<void, vantrel_pdb::PdbError> {
      if (auto made = produce(put); !made) {
        return std::unexpected(vantrel_pdb::PdbError(vantrel_pdb::pdb_error::File{std::move(made.error().message)}));
      }
      return {};
    });
  });
}

// Writes the file `path` as `head`, then the blocks that render makes of
// [0, count) (render_in_ordered_blocks), then `tail`, each block going to
// the file in its turn.
template <class Render>
Result<void> write_rendered(const std::string& path, std::string_view head, std::size_t count, const Render& render,
                            std::string_view tail) {
  return write_one_produced(path, [&](const PutBlock& put) -> Result<void> {
    const OutputLine::Sink sink = [&put](std::string_view block) -> Result<void> {
      if (auto ok = put(bytes_of(block)); !ok) return std::unexpected(Error(ok.error()));
      return {};
    };
    if (auto ok = sink(head); !ok) return ok;
    if (auto ok = render_in_ordered_blocks<std::string>(count, kItemsPerBlock, render, sink); !ok) return ok;
    return sink(tail);
  });
}

// True when `path` is a regular file that holds exactly `parts`, one after
// another, synced to disk. A new export of a library leaves such a file as
// it is, so that only the playlists that changed are written again: fewer
// writes to the stick, and the others keep their times for tools that copy
// by date.
bool holds_exactly(const std::string& path, std::span<const std::string_view> parts) {
  std::size_t size = 0;
  for (std::string_view part : parts) size += part.size();
  // Not blocking: a FIFO in the file's place must not stall the export.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool same = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) == size;
  if (same) {
    auto held = vantrel_pdb::read_descriptor(fd);
    same = held && held->size() == size;
    std::string_view rest = same ? std::string_view(reinterpret_cast<const char*>(held->data()), held->size()) : "";
    for (std::size_t i = 0; same && i < parts.size(); ++i) {
      same = rest.starts_with(parts[i]);
      rest.remove_prefix(parts[i].size());
    }
    same = same && ::fsync(fd) == 0;
  }
  ::close(fd);
  return same;
}

std::string files_line(const std::vector<std::string>& files) {
  JsonWriter out;
  out.begin_object();
  out.key("files");
  out.begin_array();
  for (const std::string& file : files) out.string_value(file);
  out.end_array();
  out.end_object();
  out.raw("\n");
  return std::move(out).take();
}

std::unexpected<Error> cannot_create(const std::string& folder, int error_number) {
  return fail("cannot create folder " + folder + ": " + vantrel_pdb::os_error_message(error_number));
}

// Makes `folder` unless it is a folder already; its parent must exist.
Result<void> make_folder(const std::string& folder) {
  if (::mkdir(folder.c_str(), 0777) == 0) return {};
  const int error_number = errno;
  struct stat info;
  if (error_number == EEXIST && ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return {};
  return cannot_create(folder, error_number == EEXIST ? ENOTDIR : error_number);
}

// The output folder, its missing parents too.
Result<void> make_output_folder(const std::string& folder) {
  if (folder.find('\0') != std::string::npos) return fail("cannot create folder: path contains a NUL byte");
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  struct stat info;
  if (::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return {};
  return cannot_create(folder, error ? error.value() : ENOTDIR);
}

Result<std::vector<std::string>> write_m3u8(const M3u8Export& plan, std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (auto ok = make_output_folder(folder); !ok) return std::unexpected(std::move(ok.error()));
  const std::string prefix = folder == "/" ? folder : folder + "/";
  std::vector<std::string> folders = {folder};
  for (const std::string& sub : plan.folders) {
    folders.push_back(prefix + sub);
    if (auto ok = make_folder(folders.back()); !ok) return std::unexpected(std::move(ok.error()));
  }
  std::vector<std::string> paths;
  paths.reserve(plan.files.size());
  for (const ExportFile& file : plan.files) paths.push_back(prefix + file.path);
  if (paths.empty()) return paths;

  // New files in these folders wait for this run, and it for others.
  const std::vector<DirectoryLock> locks = DirectoryLock::lock_all(folders);
  std::vector<std::optional<Error>> errors(paths.size());
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  // An exception of a writer (std::bad_alloc above all) is thrown on this
  // thread once all have ended: on a writer's it would end the process.
  std::mutex exception_mutex;
  std::exception_ptr exception;
  const auto work = [&] {
    try {
      std::vector<std::string_view> parts;
      for (std::size_t i; !failed.load() && (i = next.fetch_add(1)) < paths.size();) {
        plan.parts_of(plan.files[i], parts);
        if (holds_exactly(paths[i], parts)) continue;
        if (auto ok = write_one(paths[i], parts, TargetLock::Missing::kHeldByCaller); !ok) {
          errors[i] = std::move(ok.error());
          failed.store(true);
        }
      }
    } catch (...) {
      std::lock_guard lock(exception_mutex);
      if (!exception) exception = std::current_exception();
      failed.store(true);
    }
  };
  std::vector<std::thread> writers;
  try {
    writers.reserve(kM3u8Writers);
    for (std::size_t w = 1; w < std::min(kM3u8Writers, paths.size()); ++w) writers.emplace_back(work);
  } catch (const std::system_error&) {
    // Fewer threads than hoped: those there are, and this one, do it all.
  }
  work();
  for (std::thread& writer : writers) writer.join();
  if (exception) std::rethrow_exception(exception);
  for (auto& error : errors) {
    if (error) return std::unexpected(std::move(*error));
  }
  return paths;
}

// Calls use(half, index, track) for each track of `table` where its row
// lies, in table order within each half: a large table in two halves at
// once (half 0 and 1), a small one as half 0. An export writes each track
// once, reading from its row only what it shows, and makes no record per
// track. A half stops at its first failure; the first half's is returned
// before the second's.
template <class Use>
Result<void> for_each_row_in_halves(const vantrel_pdb::TrackRows& table, const InputPages& pages, Use&& use) {
  Result<void> results[2];
  in_two_halves(table.size(), [&](std::size_t begin, std::size_t end) {
    const std::size_t half = begin == 0 ? 0 : 1;
    for (std::size_t i = begin; i < end; ++i) {
      auto track = table.at(i);
      if (!track) {
        results[half] = std::unexpected(Error(track.error()));
        return;
      }
      if (auto ok = use(half, i, *track); !ok) {
        results[half] = std::unexpected(Error(ok.error()));
        return;
      }
      pages.read(i);
    }
  });
  for (auto& result : results) {
    if (!result) return result;
  }
  return {};
}

// Room for the text of half the tracks of an image of `image_bytes`: at
// most as many bytes of text as the image holds, and about as much again in
// fields and escapes. Reserved pages that are never written cost nothing.
std::size_t half_text_guess(std::size_t image_bytes) { return image_bytes; }

// The render of render_in_ordered_blocks for the tracks of `table`: each
// track of [begin, end) read where its row lies and written by
// write(block, i, track, scratch), `scratch` a string kept for the block.
template <class Write>
auto track_blocks(const vantrel_pdb::TrackRows& table, const InputPages& pages, Write write) {
  return [&table, &pages, write](std::size_t begin, std::size_t end, std::string& block) -> Result<void> {
    std::string scratch;
    for (std::size_t i = begin; i < end; ++i) {
      auto track = table.at(i);
      if (!track) return std::unexpected(Error(track.error()));
      if (auto ok = write(block, i, *track, scratch); !ok) return std::unexpected(Error(ok.error()));
      pages.read(i);
    }
    return {};
  };
}

Result<std::vector<std::string>> write_csv(const vantrel_pdb::TrackRows& table, const InputPages& pages,
                                           std::span<const vantrel_pdb::PlaylistInfo> playlists,
                                           const std::string& output) {
  const std::string header = tracks_csv_header();
  const auto render = track_blocks(
      table, pages, [](std::string& block, std::size_t, const vantrel_pdb::TrackView& track, std::string& scratch) {
        return append_track_record(block, track, scratch);
      });
  std::vector<std::string> paths = {output, playlists_csv_path(output)};
  if (auto ok = write_rendered(paths[0], header, table.size(), render, {}); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  if (auto ok = write_one(paths[1], {playlists_csv(playlists)}); !ok) return std::unexpected(std::move(ok.error()));
  return paths;
}

Result<std::vector<std::string>> write_html(const vantrel_pdb::TrackRows& table, const InputPages& pages,
                                            std::span<const vantrel_pdb::PlaylistInfo> playlists,
                                            const std::optional<std::string>& root, const std::string& output) {
  // The head (the summary, the thumbnails) needs every track's facts, so
  // they are read first; the rows, most of the page, are then made block by
  // block as the file is written.
  std::vector<TrackFacts> facts(table.size());
  TextStore paths[2];
  std::string scratch[2];
  auto read =
      for_each_row_in_halves(table, pages, [&](std::size_t half, std::size_t i, const vantrel_pdb::TrackView& track) {
        return read_track_facts(track, facts[i], paths[half], scratch[half]);
      });
  if (!read) return std::unexpected(std::move(read.error()));
  // The rows, each after a comma but the first of all.
  const auto render = track_blocks(
      table, pages, [](std::string& block, std::size_t i, const vantrel_pdb::TrackView& track, std::string& text) {
        if (i > 0) block.push_back(',');
        return append_track_row(block, track, text);
      });
  std::string first_rows;
  if (auto ok = render(0, std::min(kFirstRows, table.size()), first_rows); !ok) return std::unexpected(ok.error());
  const bool rooted = root && !root->empty();
  const ArtworkUris artwork = rooted ? load_artwork(facts, *root) : ArtworkUris{};
  const std::string head = html_page_head(first_rows, facts, playlists, artwork, rooted);
  const std::string tail = html_page_tail();
  if (auto ok = write_rendered(output, head, table.size(), render, tail); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  return std::vector<std::string>{output};
}

// The ids that some playlist holds, as a map by id, or none (every id)
// when a map of their largest would take more than a few bytes per track.
// A library's playlists often hold a small part of it, and only their
// tracks need an entry.
std::vector<bool> listed_ids(std::span<const vantrel_pdb::PlaylistInfo> playlists, std::size_t tracks) {
  std::uint64_t largest = 0;
  for (const auto& playlist : playlists) {
    for (std::uint32_t id : playlist.tracks) largest = std::max<std::uint64_t>(largest, id);
  }
  if (largest > 64 * std::uint64_t{tracks} + 65536) return {};
  std::vector<bool> listed(largest + 1, false);
  for (const auto& playlist : playlists) {
    for (std::uint32_t id : playlist.tracks) listed[id] = true;
  }
  return listed;
}

Result<std::vector<std::string>> write_m3u8_from(const vantrel_pdb::TrackRows& table, const InputPages& pages,
                                                 std::span<const vantrel_pdb::PlaylistInfo> playlists,
                                                 const std::optional<std::string>& root, std::size_t image_bytes,
                                                 const std::string& output) {
  const std::vector<bool> listed = listed_ids(playlists, table.size());
  // Each half of the tracks appends its entries to a block of its own.
  M3u8Entries entries;
  entries.blocks.resize(2);
  for (std::string& block : entries.blocks) block.reserve(half_text_guess(image_bytes));
  entries.ids.resize(table.size());
  entries.ends.resize(table.size());
  // Where the second block starts: its half's first track, which only
  // that half's thread sets.
  std::size_t second_start = table.size();
  M3u8Scratch scratch[2];
  auto read =
      for_each_row_in_halves(table, pages, [&](std::size_t half, std::size_t i, const vantrel_pdb::TrackView& track) {
        std::string& block = entries.blocks[half];
        const std::uint32_t id = track.id();
        entries.ids[i] = id;
        if (half == 1) second_start = std::min(second_start, i);
        // A track that no playlist holds has an empty entry, never written.
        std::expected<void, vantrel_pdb::PdbError> ok;
        if (listed.empty() || (id < listed.size() && listed[id]))
          ok = append_m3u8_entry(block, track, root, scratch[half]);
        entries.ends[i] = block.size();
        return ok;
      });
  if (!read) return std::unexpected(std::move(read.error()));
  entries.block_starts = {0, second_start};
  return write_m3u8(export_m3u8(std::move(entries), playlists), output);
}

}  // namespace

Result<std::string> run_export(const Request& request) {
  if (!request.input) return fail(kMissingInput);
  if (!request.output) return fail(kMissingOutput);
  // The input is only read: a regular file is mapped, the page cache's
  // pages serving as the image, as "read" does.
  auto mapped = map_database_file(*request.input);
  if (!mapped) return std::unexpected(std::move(mapped.error()));
  std::vector<std::uint8_t> copy;
  vantrel_pdb::Bytes input;
  if (*mapped) {
    input = (*mapped)->bytes();
  } else {
    auto image = read_database_file(*request.input);
    if (!image) return std::unexpected(std::move(image.error()));
    copy = std::move(*image);
    input = copy;
  }
  auto library = vantrel_pdb::Library::open_borrowed(input);
  if (!library) return std::unexpected(Error(library.error()));
  // The open's check read every page; the exports read the rows again.
  if (*mapped) (*mapped)->release_resident();
  auto table = library->track_rows();
  if (!table) return std::unexpected(Error(table.error()));
  auto playlists = library->playlists();
  if (!playlists) return std::unexpected(Error(playlists.error()));
  auto image_view = library->bytes();
  if (!image_view) return std::unexpected(Error(image_view.error()));
  const std::size_t image_bytes = image_view->size();
  // The line must still be printable once files are replaced.
  if (auto ok = check_report_sink(); !ok) return std::unexpected(std::move(ok.error()));

  const ExportArgs& args = request.export_args;
  const vantrel_pdb::TrackRows& tracks = *table;
  const InputPages pages(*mapped ? &**mapped : nullptr);
  Result<std::vector<std::string>> files = fail("internal error: no export format");
  switch (args.format) {
    case ExportFormat::kM3u8:
      files = write_m3u8_from(tracks, pages, *playlists, args.root, image_bytes, *request.output);
      break;
    case ExportFormat::kCsv: files = write_csv(tracks, pages, *playlists, *request.output); break;
    case ExportFormat::kHtml: files = write_html(tracks, pages, *playlists, args.root, *request.output); break;
  }
  if (!files) return std::unexpected(std::move(files.error()));
  return files_line(*files);
}

}  // namespace dovrel
