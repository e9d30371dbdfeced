#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "actions.h"
#include "cli_runner_test_util.h"
#include "files/metadata_calls_for_testing.h"
#include "format/blank_image.h"
#include "scratch_dir_test_util.h"
#include "vantrel_pdb/files.h"

namespace dovrel {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;
using scratch::read_whole;

const Bytes kOld = {'o', 'l', 'd', ' ', 'b', 'y', 't', 'e', 's', '\n'};
const Bytes kNew = {0, 1, 2, 0xFF, 0xFE, '\n', 0, 'n', 'e', 'w'};

std::string write_error(const std::string& path, const Bytes& bytes = kNew) {
  auto written = dovrel::write_output(path, bytes);
  return written ? "ok" : written.error().message;
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

bool is_symlink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Sets the umask for one scope.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(previous_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t previous_;
};

class WriteOutput : public ::testing::Test {
 protected:
  scratch::ScratchDir scratch_;
};

// ---------------------------------------------------------------------------
// Modes and owners.

class NewFileMode : public WriteOutput, public ::testing::WithParamInterface<mode_t> {};

TEST_P(NewFileMode, IsWhatAnOrdinaryCreateGives) {
  const mode_t mask = GetParam();
  std::string path = scratch_.path("new.pdb");
  {
    ScopedUmask scoped(mask);
    ASSERT_EQ(write_error(path), "ok");
  }
  EXPECT_EQ(mode_of(path), 0666 & ~mask);
  EXPECT_EQ(read_whole(path), kNew);
  EXPECT_EQ(scratch_.list(), Names{"new.pdb"});
}

INSTANTIATE_TEST_SUITE_P(Output, NewFileMode, ::testing::Values(0022, 0077, 0002, 0000, 0027, 0777));

// Writers in several threads at once (an m3u8 export): each file whole,
// each with the mode of a create, no temporary name left.
TEST_F(WriteOutput, ManyThreadsAtOnceGiveEachFileItsMode) {
  ScopedUmask scoped(0022);
  constexpr int kThreads = 16, kFilesEach = 12;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int f = 0; f < kFilesEach; ++f) {
        // Appended: g++ 12 misjudges literal + temporary string in optimised builds.
        const std::string name = std::string("f").append(std::to_string(t)).append("-").append(std::to_string(f));
        const std::vector<std::uint8_t> bytes(name.begin(), name.end());
        if (!vantrel_pdb::write_file(scratch_.path(name), bytes)) failures.fetch_add(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  const Names names = scratch_.list();
  EXPECT_EQ(names.size(), std::size_t{kThreads * kFilesEach});
  for (const std::string& name : names) {
    EXPECT_EQ(mode_of(scratch_.path(name)), 0644u) << name;
    EXPECT_EQ(read_whole(scratch_.path(name)), std::vector<std::uint8_t>(name.begin(), name.end()));
  }
}

class ExistingFileMode : public WriteOutput, public ::testing::WithParamInterface<mode_t> {};

TEST_P(ExistingFileMode, IsKept) {
  ScopedUmask scoped(0077);  // would give 0600 to a new file
  std::string path = scratch_.write("lib.pdb", kOld);
  ASSERT_EQ(::chmod(path.c_str(), GetParam()), 0);
  ASSERT_EQ(write_error(path), "ok");
  EXPECT_EQ(mode_of(path), GetParam());
  EXPECT_EQ(read_whole(path), kNew);
  EXPECT_EQ(scratch_.list(), Names{"lib.pdb"});
}

INSTANTIATE_TEST_SUITE_P(Output, ExistingFileMode, ::testing::Values(0640, 0600, 0644, 0604, 0444, 0755));

TEST_F(WriteOutput, ExistingFileKeepsItsOwnerWhenWeMayGiveIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
  std::string path = scratch_.write("lib.pdb", kOld);
  ASSERT_EQ(::chown(path.c_str(), 1234, 5678), 0);
  ASSERT_EQ(write_error(path), "ok");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 5678u);
}

// ---------------------------------------------------------------------------
// Content: exactly the bytes given, whatever the file held before.

TEST_F(WriteOutput, WritesExactlyTheBytes) {
  Bytes every_byte(4096 * 3 + 1);
  for (std::size_t i = 0; i < every_byte.size(); ++i) every_byte[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  Bytes large((1u << 18) + 3);
  std::uint32_t x = 12345;
  for (auto& b : large) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  std::string path = scratch_.path("lib.pdb");
  // Each content replaces the previous one whole, shorter or longer.
  for (const Bytes& content : {large, Bytes{}, every_byte, Bytes{0}, kNew, Bytes{}}) {
    ASSERT_EQ(write_error(path, content), "ok");
    EXPECT_EQ(read_whole(path), content);
    EXPECT_EQ(fs::file_size(path), content.size());
  }
  EXPECT_EQ(scratch_.list(), Names{"lib.pdb"});
}

TEST_F(WriteOutput, RelativePathIsInTheWorkingDirectory) {
  const fs::path previous = fs::current_path();
  fs::current_path(scratch_.dir());
  std::string result = write_error("lib.pdb");
  fs::current_path(previous);
  EXPECT_EQ(result, "ok");
  EXPECT_EQ(read_whole(scratch_.path("lib.pdb")), kNew);
  EXPECT_EQ(scratch_.list(), Names{"lib.pdb"});
}

TEST_F(WriteOutput, LongestFileNameIsWritten) {
  const std::string name(255, 'n');  // NAME_MAX: a temporary name must not be longer
  ASSERT_EQ(write_error(scratch_.path(name)), "ok");
  EXPECT_EQ(read_whole(scratch_.path(name)), kNew);
  EXPECT_EQ(scratch_.list(), Names{name});
}

TEST_F(WriteOutput, PathJustShortOfPathMaxIsWritten) {
  // Directories of 200-byte names, then a file name that brings the whole
  // path to 4,090 bytes: the system takes it, so the temporary file's name
  // must not push it over PATH_MAX.
  constexpr std::size_t kPathLength = 4090;
  fs::path dir = scratch_.dir();
  while (dir.string().size() + 1 + 201 + 10 < kPathLength) dir /= std::string(200, 'd');
  fs::create_directories(dir);
  const std::string path = (dir / std::string(kPathLength - dir.string().size() - 1, 'f')).string();
  ASSERT_EQ(path.size(), kPathLength);
  ASSERT_EQ(write_error(path), "ok");
  EXPECT_EQ(read_whole(path), kNew);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

// ---------------------------------------------------------------------------
// File systems without Unix modes and owners (FAT, exFAT) refuse fchmod and
// fchown; a refusal must not fail the write, any other error must.

int g_metadata_errno = 0;
int failing_fchmod(int, mode_t) {
  errno = g_metadata_errno;
  return -1;
}
int failing_fchown(int, uid_t, gid_t) {
  errno = g_metadata_errno;
  return -1;
}

struct MetadataCase {
  const char* name;
  int error_number;
  bool fail_chmod;  // else fchown fails (which only an existing file calls)
  std::string outcome;
};

void PrintTo(const MetadataCase& c, std::ostream* os) { *os << c.name; }

const MetadataCase kMetadataCases[] = {
    {"ChmodRefusedWithEperm", EPERM, true, "ok"},
    {"ChmodRefusedWithEnotsup", ENOTSUP, true, "ok"},
    {"ChmodNotImplemented", ENOSYS, true, "ok"},
    {"ChownRefusedWithEperm", EPERM, false, "ok"},
    {"ChownRefusedWithEopnotsupp", EOPNOTSUPP, false, "ok"},
    {"ChmodInputOutputError", EIO, true, "Input/output error (os error 5)"},
    {"ChownReadOnlyFileSystem", EROFS, false, "Read-only file system (os error 30)"},
};

class MetadataRefused : public WriteOutput, public ::testing::WithParamInterface<MetadataCase> {};

TEST_P(MetadataRefused, FailsOnlyForRealErrors) {
  const MetadataCase& c = GetParam();
  g_metadata_errno = c.error_number;
  vantrel_pdb::ScopedMetadataCallsForTesting seam(c.fail_chmod ? failing_fchmod : ::fchmod,
                                                  c.fail_chmod ? ::fchown : failing_fchown);
  for (bool existing : {false, true}) {
    std::string path = scratch_.path("lib.pdb");
    fs::remove(path);
    if (existing) scratch_.write("lib.pdb", kOld);
    const bool expect_ok = c.outcome == "ok" || (!existing && !c.fail_chmod);
    const std::string result = write_error(path);
    EXPECT_EQ(result, expect_ok ? "ok" : "cannot write output " + path + ": " + c.outcome) << existing;
    EXPECT_EQ(read_whole(path), expect_ok ? kNew : existing ? kOld : Bytes{}) << existing;
    EXPECT_EQ(scratch_.list(), existing || expect_ok ? Names{"lib.pdb"} : Names{}) << existing;
  }
}

INSTANTIATE_TEST_SUITE_P(Output, MetadataRefused, ::testing::ValuesIn(kMetadataCases),
                         [](const auto& test) { return std::string(test.param.name); });

// ---------------------------------------------------------------------------
// The directory's sync after the rename: the new file is in place, but exit
// 0 would promise it is on disk; a file system that syncs no directories
// (EINVAL, ENOTSUP) is no failure.

int g_sync_errno = 0;
int failing_fsync(int) {
  errno = g_sync_errno;
  return -1;
}

struct DirectorySyncCase {
  const char* name;
  int error_number;
  std::string outcome;
};

const DirectorySyncCase kDirectorySyncCases[] = {
    {"InputOutputError", EIO, "Input/output error (os error 5)"},
    {"NoSpace", ENOSPC, "No space left on device (os error 28)"},
    {"NotSupported", EINVAL, "ok"},
    {"NotSupportedAtAll", ENOTSUP, "ok"},
};

class DirectorySyncFails : public WriteOutput, public ::testing::WithParamInterface<DirectorySyncCase> {};

TEST_P(DirectorySyncFails, SaysTheFileIsReplacedButNotKnownToBeOnDisk) {
  const DirectorySyncCase& c = GetParam();
  g_sync_errno = c.error_number;
  vantrel_pdb::ScopedDirectorySyncForTesting seam(failing_fsync);
  for (bool existing : {false, true}) {
    std::string path = scratch_.path("lib.pdb");
    fs::remove(path);
    if (existing) scratch_.write("lib.pdb", kOld);
    EXPECT_EQ(write_error(path), c.outcome == "ok" ? "ok"
                                                   : "output written, but not known to be on disk: " + path +
                                                         ": syncing its directory failed: " + c.outcome);
    EXPECT_EQ(read_whole(path), kNew) << existing;
    EXPECT_EQ(scratch_.list(), Names{"lib.pdb"}) << existing;
  }
}

INSTANTIATE_TEST_SUITE_P(Output, DirectorySyncFails, ::testing::ValuesIn(kDirectorySyncCases),
                         [](const auto& test) { return std::string(test.param.name); });

// ---------------------------------------------------------------------------
// Symbolic links: the file at the end of the links is replaced, the links stay.

struct LinkCase {
  const char* name;
  // Creates the links in `links` (a directory beside target.pdb) and returns
  // the one to write through.
  std::function<std::string(const fs::path& links, const fs::path& target)> make;
};

void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.name; }

const LinkCase kLinkCases[] = {
    {"Relative",
     [](const fs::path& links, const fs::path&) {
       fs::create_symlink("../target.pdb", links / "rel");
       return (links / "rel").string();
     }},
    {"Absolute",
     [](const fs::path& links, const fs::path& target) {
       fs::create_symlink(target, links / "abs");
       return (links / "abs").string();
     }},
    {"ChainOfTwo",
     [](const fs::path& links, const fs::path& target) {
       fs::create_symlink("second", links / "first");
       fs::create_symlink(target, links / "second");
       return (links / "first").string();
     }},
    {"ChainThroughALinkedDirectory",
     [](const fs::path& links, const fs::path&) {
       fs::create_directory_symlink("..", links / "up");
       fs::create_symlink("up/target.pdb", links / "via");
       return (links / "via").string();
     }},
};

class WriteThroughLink : public WriteOutput, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(WriteThroughLink, ReplacesTheTargetAndKeepsTheLink) {
  std::string target = scratch_.write("target.pdb", kOld);
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  fs::create_directory(scratch_.dir() / "links");
  std::string link = GetParam().make(scratch_.dir() / "links", target);
  std::vector<std::pair<std::string, fs::path>> links_before;
  for (const auto& entry : fs::directory_iterator(scratch_.dir() / "links")) {
    links_before.emplace_back(entry.path().string(), fs::read_symlink(entry.path()));
  }

  ASSERT_EQ(write_error(link), "ok");
  EXPECT_EQ(read_whole(target), kNew);
  EXPECT_EQ(mode_of(target), 0640u);
  for (const auto& [path, points_to] : links_before) {
    EXPECT_TRUE(fs::is_symlink(path)) << path;
    EXPECT_EQ(fs::read_symlink(path), points_to) << path;
  }
  EXPECT_EQ(scratch_.list(), (Names{"links", "target.pdb"}));
  EXPECT_EQ(scratch_.list("links").size(), links_before.size());
}

INSTANTIATE_TEST_SUITE_P(Output, WriteThroughLink, ::testing::ValuesIn(kLinkCases),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(WriteOutput, DanglingLinkCreatesItsTarget) {
  ScopedUmask scoped(0022);
  fs::create_symlink("made.pdb", scratch_.dir() / "link");
  ASSERT_EQ(write_error(scratch_.path("link")), "ok");
  EXPECT_TRUE(is_symlink(scratch_.path("link")));
  EXPECT_EQ(fs::read_symlink(scratch_.dir() / "link"), "made.pdb");
  EXPECT_EQ(read_whole(scratch_.path("made.pdb")), kNew);
  EXPECT_EQ(mode_of(scratch_.path("made.pdb")), 0644u);
  EXPECT_EQ(scratch_.list(), (Names{"link", "made.pdb"}));
}

// ---------------------------------------------------------------------------
// Paths that cannot be written: one message naming the path, nothing changed,
// no temporary file left.

struct BadPathCase {
  const char* name;
  // Prepares the scratch directory and returns the output path to try.
  std::function<std::string(const scratch::ScratchDir&)> make;
  std::string reason;  // after "cannot write output PATH: "
};

void PrintTo(const BadPathCase& c, std::ostream* os) { *os << c.name; }

const BadPathCase kBadPaths[] = {
    {"Directory", [](const scratch::ScratchDir& s) { return s.dir().string(); }, "Is a directory (os error 21)"},
    {"DirectoryWithSlash",
     [](const scratch::ScratchDir& s) {
       fs::create_directory(s.dir() / "sub");
       return s.path("sub") + "/";
     },
     "Is a directory (os error 21)"},
    {"LinkToDirectory",
     [](const scratch::ScratchDir& s) {
       fs::create_directory(s.dir() / "sub");
       fs::create_directory_symlink("sub", s.dir() / "link");
       return s.path("link");
     },
     "Is a directory (os error 21)"},
    {"MissingDirectory", [](const scratch::ScratchDir& s) { return s.path("absent/lib.pdb"); },
     "No such file or directory (os error 2)"},
    {"DanglingLinkIntoMissingDirectory",
     [](const scratch::ScratchDir& s) {
       fs::create_symlink("absent/lib.pdb", s.dir() / "link");
       return s.path("link");
     },
     "No such file or directory (os error 2)"},
    {"FileAsDirectory",
     [](const scratch::ScratchDir& s) {
       s.write("file.pdb", kOld);
       return s.path("file.pdb/lib.pdb");
     },
     "Not a directory (os error 20)"},
    {"FileWithSlash",
     [](const scratch::ScratchDir& s) {
       s.write("file.pdb", kOld);
       return s.path("file.pdb") + "/";
     },
     "Not a directory (os error 20)"},
    {"LinkLoop",
     [](const scratch::ScratchDir& s) {
       fs::create_symlink("b", s.dir() / "a");
       fs::create_symlink("a", s.dir() / "b");
       return s.path("a");
     },
     "Too many levels of symbolic links (os error 40)"},
    {"Fifo",
     [](const scratch::ScratchDir& s) {
       EXPECT_EQ(::mkfifo(s.path("fifo").c_str(), 0644), 0);
       return s.path("fifo");
     },
     "not a regular file"},
    {"LinkToFifo",
     [](const scratch::ScratchDir& s) {
       EXPECT_EQ(::mkfifo(s.path("fifo").c_str(), 0644), 0);
       fs::create_symlink("fifo", s.dir() / "link");
       return s.path("link");
     },
     "not a regular file"},
    {"Empty", [](const scratch::ScratchDir&) { return std::string(); }, "No such file or directory (os error 2)"},
    // The kernel's links to open files name no path: /dev/stdout on a pipe.
    {"ProcLinkToAPipe",
     [](const scratch::ScratchDir&) {
       int ends[2];
       EXPECT_EQ(::pipe(ends), 0);  // left open: the link must stay valid for the test
       return "/proc/self/fd/" + std::to_string(ends[1]);
     },
     "not a regular file"},
    // It exists, but its directory takes no new files.
    {"ProcFile", [](const scratch::ScratchDir&) { return std::string("/proc/self/status"); },
     "/proc/self does not accept new files"},
};

class UnwritablePath : public WriteOutput, public ::testing::WithParamInterface<BadPathCase> {};

TEST_P(UnwritablePath, FailsAndChangesNothing) {
  const BadPathCase& c = GetParam();
  std::string path = c.make(scratch_);
  Names before = scratch_.list();
  EXPECT_EQ(write_error(path), "cannot write output " + path + ": " + c.reason);
  EXPECT_EQ(scratch_.list(), before);
  if (fs::exists(scratch_.dir() / "file.pdb")) {
    EXPECT_EQ(read_whole(scratch_.path("file.pdb")), kOld);
  }
  if (fs::exists(scratch_.dir() / "fifo")) {
    EXPECT_TRUE(fs::is_fifo(scratch_.dir() / "fifo"));
  }
  if (fs::is_directory(scratch_.dir() / "sub")) {
    EXPECT_TRUE(fs::is_empty(scratch_.dir() / "sub"));
  }
}

INSTANTIATE_TEST_SUITE_P(Output, UnwritablePath, ::testing::ValuesIn(kBadPaths),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(WriteOutput, NulInPathIsRefusedBeforeAnythingIsTouched) {
  std::string path = scratch_.path("lib.pdb");
  path.push_back('\0');
  path += ".bak";
  EXPECT_EQ(write_error(path), "file path contains a NUL byte");
  EXPECT_TRUE(scratch_.list().empty());
}

// ---------------------------------------------------------------------------
// The real tool, failing to write: exit 1, one line naming the output path,
// nothing on standard output, the previous file whole, no temporary file.

struct FailedWriteCase {
  const char* name;
  // Prepares the scratch directory (the input lib.pdb is already there) and
  // returns the output path to use.
  std::function<std::string(const scratch::ScratchDir&)> make;
  std::string reason;
  cli_runner::RunOptions options;
};

cli_runner::RunOptions size_limit(rlim_t bytes, bool default_signal = false) {
  cli_runner::RunOptions options;
  options.file_size_limit = bytes;
  options.default_file_size_signal = default_signal;
  return options;
}

cli_runner::RunOptions unprivileged() {
  cli_runner::RunOptions options;
  options.unprivileged = true;
  return options;
}

void PrintTo(const FailedWriteCase& c, std::ostream* os) { *os << c.name; }

const FailedWriteCase kFailedWrites[] = {
    // The limit cuts the write of the temporary file short with EFBIG; the
    // input, which is also the output, must survive it.
    {"WriteCutShort", [](const scratch::ScratchDir& s) { return s.path("lib.pdb"); }, "File too large (os error 27)",
     size_limit(65536)},
    {"NewFileCutShort", [](const scratch::ScratchDir& s) { return s.path("new.pdb"); }, "File too large (os error 27)",
     size_limit(4096)},
    // The tool ignores the signal itself, so the write fails instead of killing it.
    {"CutShortWithTheSignalAtItsDefault", [](const scratch::ScratchDir& s) { return s.path("lib.pdb"); },
     "File too large (os error 27)", size_limit(65536, true)},
    {"ReadOnlyDirectory",
     [](const scratch::ScratchDir& s) {
       fs::create_directory(s.dir() / "ro");
       s.write("ro/out.pdb", kOld);
       fs::permissions(s.dir() / "ro", fs::perms(0555));
       return s.path("ro/out.pdb");
     },
     "Permission denied (os error 13)", unprivileged()},
    {"FileAsDirectory",
     [](const scratch::ScratchDir& s) {
       s.write("file.pdb", kOld);
       return s.path("file.pdb/out.pdb");
     },
     "Not a directory (os error 20)",
     {}},
    {"OutputIsADirectory",
     [](const scratch::ScratchDir& s) {
       fs::create_directory(s.dir() / "sub");
       return s.path("sub");
     },
     "Is a directory (os error 21)",
     {}},
};

class FailedWrite : public WriteOutput, public ::testing::WithParamInterface<FailedWriteCase> {
 protected:
  // Every file under the scratch directory with its content.
  std::vector<std::pair<std::string, Bytes>> snapshot() const {
    std::vector<std::pair<std::string, Bytes>> files;
    for (const auto& entry : fs::recursive_directory_iterator(scratch_.dir())) {
      files.emplace_back(entry.path().string(), entry.is_regular_file() ? read_whole(entry.path().string()) : Bytes{});
    }
    std::sort(files.begin(), files.end());
    return files;
  }
};

TEST_P(FailedWrite, LeavesEverythingAsItWas) {
  const FailedWriteCase& c = GetParam();
  Bytes image = vantrel_pdb::make_blank_image();
  ASSERT_GT(image.size(), 65536u);
  std::string input = scratch_.write("lib.pdb", image);
  std::string output = c.make(scratch_);
  auto before = snapshot();
  const std::string where = R"(","output":")" + output + "\"}";
  for (const std::string& request : {R"({"action":"patch","keepTracks":[],"input":")" + input + where,
                                     R"({"action":"build","input":")" + input + where}) {
    cli_runner::expect_failure(cli_runner::run_dovrel(request, c.options),
                               "cannot write output " + output + ": " + c.reason);
    EXPECT_EQ(snapshot(), before) << request;
  }
  EXPECT_EQ(read_whole(input), image);
}

INSTANTIATE_TEST_SUITE_P(Output, FailedWrite, ::testing::ValuesIn(kFailedWrites),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace dovrel
