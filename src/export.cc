#include "export.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
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
#include "report_sink.h"
#include "target_lock.h"
#include "vantrel_pdb/files.h"
#include "vantrel_pdb/library.h"
#include "vantrel_pdb/os_error.h"

namespace dovrel {

namespace {

// Writers of an m3u8 export at once. The time of such an export goes to
// syncing each file and its folder (write_file), which the file system
// can do for many files together.
constexpr std::size_t kM3u8Writers = 16;

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Result<void> write_one(const std::string& path, std::string_view bytes,
                       TargetLock::Missing missing = TargetLock::Missing::kLockDirectory) {
  TargetLock lock(path, missing);
  if (auto written = vantrel_pdb::write_file(path, bytes_of(bytes)); !written) {
    return std::unexpected(Error(written.error()));
  }
  return {};
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
  const auto work = [&] {
    for (std::size_t i; !failed.load() && (i = next.fetch_add(1)) < paths.size();) {
      if (auto ok = write_one(paths[i], plan.files[i].bytes, TargetLock::Missing::kHeldByCaller); !ok) {
        errors[i] = std::move(ok.error());
        failed.store(true);
      }
    }
  };
  std::vector<std::thread> writers;
  try {
    for (std::size_t w = 1; w < std::min(kM3u8Writers, paths.size()); ++w) writers.emplace_back(work);
  } catch (const std::system_error&) {
    // Fewer threads than hoped: those there are, and this one, do it all.
  }
  work();
  for (std::thread& writer : writers) writer.join();
  for (auto& error : errors) {
    if (error) return std::unexpected(std::move(*error));
  }
  return paths;
}

Result<std::vector<std::string>> write_csv(std::span<const vantrel_pdb::TrackInfo> tracks,
                                           std::span<const vantrel_pdb::PlaylistInfo> playlists,
                                           const std::string& output) {
  std::vector<std::string> paths = {output, playlists_csv_path(output)};
  if (auto ok = write_one(paths[0], tracks_csv(tracks)); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = write_one(paths[1], playlists_csv(playlists)); !ok) return std::unexpected(std::move(ok.error()));
  return paths;
}

Result<std::vector<std::string>> write_html(std::span<const vantrel_pdb::TrackInfo> tracks,
                                            std::span<const vantrel_pdb::PlaylistInfo> playlists,
                                            const std::optional<std::string>& root, const std::string& output) {
  const bool rooted = root && !root->empty();
  const ArtworkUris artwork = rooted ? load_artwork(tracks, *root) : ArtworkUris{};
  if (auto ok = write_one(output, html_page(tracks, playlists, artwork, rooted)); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  return std::vector<std::string>{output};
}

}  // namespace

Result<std::string> run_export(const Request& request) {
  if (!request.input) return fail(kMissingInput);
  if (!request.output) return fail(kMissingOutput);
  auto image = read_database_file(*request.input);
  if (!image) return std::unexpected(std::move(image.error()));
  auto library = vantrel_pdb::Library::open(std::move(*image));
  if (!library) return std::unexpected(Error(library.error()));
  auto tracks = library->tracks();
  if (!tracks) return std::unexpected(Error(tracks.error()));
  auto playlists = library->playlists();
  if (!playlists) return std::unexpected(Error(playlists.error()));
  // The line must still be printable once files are replaced.
  if (auto ok = check_report_sink(); !ok) return std::unexpected(std::move(ok.error()));

  const ExportArgs& args = request.export_args;
  Result<std::vector<std::string>> files = fail("internal error: no export format");
  switch (args.format) {
    case ExportFormat::kM3u8: files = write_m3u8(export_m3u8(*tracks, *playlists, args.root), *request.output); break;
    case ExportFormat::kCsv: files = write_csv(*tracks, *playlists, *request.output); break;
    case ExportFormat::kHtml: files = write_html(*tracks, *playlists, args.root, *request.output); break;
  }
  if (!files) return std::unexpected(std::move(files.error()));
  return files_line(*files);
}

}  // namespace dovrel
