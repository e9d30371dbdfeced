// Runs the built dovrel binary as its driver would: request on standard
// input, then the exact standard output, standard error and exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "cli_runner_test_util.h"
#include "format/format.h"
#include "scratch_dir_test_util.h"
#include "testing/image_builder.h"

namespace dovrel {
namespace {

namespace t = vantrel_pdb::testing;
namespace kind = vantrel_pdb::table_kind;

using cli_runner::expect_failure;
using cli_runner::Outcome;
using cli_runner::run_dovrel;

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::path(::testing::TempDir()) /
           ("dovrel_cli_" + std::string(info->name()) + "_" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write_file(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  static std::string read_request(const std::string& input) { return R"({"action":"read","input":")" + input + "\"}"; }

  std::filesystem::path dir_;
};

std::vector<std::uint8_t> blank_like_image() {
  t::ImageBuilder b;
  for (std::uint32_t k = 0; k < 20; ++k) b.add_table(k);
  return b.finish();
}

TEST_F(CommandLine, ReadsBlankImage) {
  Outcome run = run_dovrel(read_request(write_file("blank.pdb", blank_like_image())));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "{\"playlists\":[],\"tracks\":[],\"version\":1}\n");
}

TEST_F(CommandLine, ReadsTracksAndPlaylists) {
  t::ImageBuilder b;
  std::size_t table[20];
  for (std::uint32_t k = 0; k < 20; ++k) table[k] = b.add_table(k);
  b.add_row(table[kind::artists], t::artist_row(1, "Art\xc3\xadst"));
  b.add_row(table[kind::genres], t::id_name_row(1, "House"));
  t::TrackRowFields row_spec;
  row_spec.id = 42;
  row_spec.artist_id = 1;
  row_spec.genre_id = 1;
  row_spec.tempo = 12400;
  row_spec.duration = 200;
  b.add_row(table[kind::tracks], t::track_row(row_spec.title("One").path("/music/one.mp3")));
  b.add_row(table[kind::playlist_tree], t::tree_row(0, 0, 3, false, "Warm up"));
  b.add_row(table[kind::playlist_entries], t::entry_row(2, 42, 3));
  b.add_row(table[kind::playlist_entries], t::entry_row(1, 41, 3));
  Outcome run = run_dovrel(read_request(write_file("lib.pdb", b.finish())));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            R"({"playlists":[{"id":3,"isFolder":false,"name":"Warm up","parentId":0,"tracks":[41,42]}],)"
            R"("tracks":[{"album":"","analysisPath":"","artist":"Art)"
            "\xc3\xad"
            R"(st","artworkPath":"",)"
            R"("audioPath":"/music/one.mp3","bitrate":0,"bpm":124.0,"comment":"","duration":200,"fileSize":0,)"
            R"("genre":"House","id":42,"key":"","rating":0,"sampleDepth":16,"sampleRate":44100,"title":"One"}],)"
            R"("version":1})"
            "\n");
}

TEST_F(CommandLine, RequestFailures) {
  expect_failure(run_dovrel(""), "invalid JSON: Empty: no JSON found");
  expect_failure(run_dovrel(" \n"), "invalid JSON: Empty: no JSON found");
  expect_failure(run_dovrel("{\"action\":\"read\",\"input\":\"\xff\"}"), "stream did not contain valid UTF-8");
  expect_failure(run_dovrel(R"({"action":"read"})"), "Missing input");
  expect_failure(run_dovrel(R"({"action":"read","input":null})"), "Missing input");
  expect_failure(run_dovrel(R"({"action":"patch"})"), "Missing input");
  expect_failure(run_dovrel(R"({"action":""})"), "Unknown action");
  expect_failure(run_dovrel(R"({"input":"x","action":"x"})"), "Unknown action");
  expect_failure(run_dovrel(R"({"tracks":[]})"), "missing field `action`");
  expect_failure(run_dovrel(R"({"action":"read","action":"read"})"), "duplicate field `action`");
  expect_failure(run_dovrel(R"({"action":"read"} [])"),
                 "invalid JSON: The JSON document has an improper structure: missing or superfluous commas, "
                 "braces, missing keys, etc.");
}

TEST_F(CommandLine, UnknownActionDoesNotOpenTheInput) {
  // The input names a directory, which any attempt to read would report.
  expect_failure(run_dovrel(R"({"action":"Read","input":")" + dir_.string() + "\"}"), "Unknown action");
  expect_failure(run_dovrel(R"({"action":"Read","input":")" + path("absent.pdb") + "\"}"), "Unknown action");
}

TEST_F(CommandLine, FileErrorsGiveTheSystemText) {
  expect_failure(run_dovrel(read_request(path("absent.pdb"))), "No such file or directory (os error 2)");
  expect_failure(run_dovrel(read_request(dir_.string())), "Is a directory (os error 21)");
  expect_failure(run_dovrel(read_request(path("absent/deeper.pdb"))), "No such file or directory (os error 2)");
  // A NUL inside the path is refused rather than silently cutting the path.
  write_file("x", blank_like_image());
  expect_failure(run_dovrel(R"({"action":"read","input":")" + path("x") + R"(\u0000.pdb"})"),
                 "file path contains a NUL byte");
}

TEST_F(CommandLine, ImageErrorsAreReported) {
  expect_failure(run_dovrel(read_request(write_file("empty.pdb", {}))), "Invalid PDB page size/length");
  auto image = blank_like_image();
  t::put_u32(image, vantrel_pdb::format::kDirectoryOffset + vantrel_pdb::format::kEntryFirstPageOffset, 0);
  expect_failure(run_dovrel(read_request(write_file("chain.pdb", image))), "Invalid PDB page chain");
}

// A huge file of zeros is refused for its header after one page is read,
// not after all of it is in memory. The file is sparse: it takes no disk.
TEST_F(CommandLine, HugeFileOfZerosIsRefusedBeforeItIsRead) {
  constexpr std::uintmax_t kHugeSize = std::uintmax_t{512} << 20;
  constexpr long kMemoryAllowanceKib = 64 << 10;
  const std::string file = write_file("zeros.pdb", {});
  std::filesystem::resize_file(file, kHugeSize);
  for (const std::string& request : {read_request(file), R"({"action":"patch","input":")" + file + "\"}"}) {
    const long limit_kib = cli_runner::current_rss_kib() + kMemoryAllowanceKib;
    Outcome run = run_dovrel(request);
    expect_failure(run, "Invalid PDB page size/length");
    EXPECT_LT(run.peak_rss_kib, limit_kib) << request;
  }
}

// A device is judged by its first page like a file: /dev/zero is refused at
// once instead of being read without end.
TEST_F(CommandLine, DeviceThatHoldsNoDatabaseIsRefusedAtOnce) {
  constexpr long kMemoryAllowanceKib = 64 << 10;
  for (const std::string& request :
       {read_request("/dev/zero"), std::string(R"({"action":"patch","input":"/dev/zero"})")}) {
    const long limit_kib = cli_runner::current_rss_kib() + kMemoryAllowanceKib;
    Outcome run = run_dovrel(request);
    expect_failure(run, "character device that holds no database (Invalid PDB page size/length)");
    EXPECT_LT(run.peak_rss_kib, limit_kib) << request;
  }
}

// A FIFO is read as a file would be, and no further than its header
// reaches: a database followed by endless zeros is refused.
TEST_F(CommandLine, FifoIsReadUpToWhatItsHeaderReaches) {
  std::signal(SIGPIPE, SIG_IGN);  // the endless writer meets a closed FIFO
  const std::vector<std::uint8_t> image = blank_like_image();
  const Outcome expected = run_dovrel(read_request(write_file("plain.pdb", image)));
  ASSERT_EQ(expected.status, 0) << expected.err;
  for (bool endless : {false, true}) {
    const std::string fifo = path(endless ? "endless" : "fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
      const int fd = ::open(fifo.c_str(), O_WRONLY);
      if (fd < 0) return;
      const std::vector<std::uint8_t> zeros(1 << 16, 0);
      bool open = ::write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size());
      while (endless && open) open = ::write(fd, zeros.data(), zeros.size()) > 0;
      ::close(fd);
    });
    Outcome run = run_dovrel(read_request(fifo));
    writer.join();
    if (endless) {
      // The blank image reaches page 40, the empty candidate of its last table.
      expect_failure(run, "not a regular file, and it goes on past the 41 pages that its header reaches");
    } else {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(run.out, expected.out);
    }
  }
}

TEST_F(CommandLine, FailedBuildOrPatchWritesNoOutput) {
  // Without "output" neither action may write anything, whatever stops it.
  std::string input = write_file("in.pdb", blank_like_image());
  for (const std::string& request :
       {std::string(R"({"action":"build"})"), R"({"action":"patch","input":")" + input + "\"}"}) {
    Outcome run = run_dovrel(request);
    EXPECT_EQ(run.status, 1) << request;
    EXPECT_EQ(run.out, "") << request;
    ASSERT_FALSE(run.err.empty()) << request;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()), 1);
}

std::string build_request(const std::string& output, int count);

// Far more than a pipe buffer, through a pipe and from a regular file (which
// is mapped, not read): the same outcome, a build's file and report too.
TEST_F(CommandLine, LargeRequestIsReadWhole) {
  const std::string request = R"({"padding":")" + std::string(1 << 20, 'x') + R"(","action":"read"})";
  expect_failure(run_dovrel(request), "Missing input");
  const std::string in_file = write_file("request.json", std::vector<std::uint8_t>(request.begin(), request.end()));
  cli_runner::RunOptions from_file_options;
  from_file_options.stdin_path = in_file;
  expect_failure(run_dovrel("", from_file_options), "Missing input");

  const std::string build = build_request(path("piped.pdb"), 5000);
  ASSERT_GT(build.size(), std::size_t{1} << 20);
  const Outcome piped = run_dovrel(build);
  ASSERT_EQ(piped.status, 0) << piped.err;
  std::string from_file = build;
  from_file.replace(from_file.find("piped.pdb"), 9, "filed.pdb");
  from_file_options.stdin_path = write_file("build.json", std::vector<std::uint8_t>(from_file.begin(), from_file.end()));
  const Outcome filed = run_dovrel("", from_file_options);
  ASSERT_EQ(filed.status, 0) << filed.err;
  EXPECT_EQ(filed.out, piped.out);
  const auto piped_image = scratch::read_whole(path("piped.pdb"));
  EXPECT_FALSE(piped_image.empty());
  EXPECT_EQ(scratch::read_whole(path("filed.pdb")), piped_image);
}

// A build request of `count` tracks (ids 1 to count, 90 bpm) writing `output`.
std::string build_request(const std::string& output, int count) {
  std::string tracks;
  for (int id = 1; id <= count; ++id) {
    if (id > 1) tracks += ",";
    tracks += R"({"id":)" + std::to_string(id) +
              R"(,"title":"Track","artist":"Someone","album":"Album","genre":"Genre","key":"Am",)"
              R"("audioPath":"/music/t.mp3","analysisPath":"/music/t.dat","artworkPath":"","bpm":90,)"
              R"("duration":200,"sampleRate":44100,"fileSize":1000})";
  }
  return R"({"action":"build","output":")" + output + R"(","tracks":[)" + tracks + "]}";
}

// Exit 1 means that the earlier output is untouched: a report that cannot
// be printed is found out before the rename when it can be (no reader);
// when it is only found out afterwards (a full disk) the message says that
// the output was written.
TEST_F(CommandLine, ReportThatCannotBePrinted) {
  const std::vector<std::uint8_t> kOld = {'o', 'l', 'd'};
  struct Case {
    const char* name;
    cli_runner::RunOptions options;
    std::string message;
    bool replaced;
  };
  cli_runner::RunOptions reader_gone;
  reader_gone.stdout_reader_gone = true;
  cli_runner::RunOptions full;
  full.stdout_path = "/dev/full";
  for (const Case& c :
       {Case{"ReaderGone", reader_gone, "cannot write the report: Broken pipe (os error 32)", false},
        Case{"DiskFull", full,
             "output written, but the report could not be printed: No space left on device (os error 28)", true}}) {
    const std::string output = write_file("out.pdb", kOld);
    expect_failure(run_dovrel(build_request(output, 2), c.options), c.message);
    EXPECT_EQ(std::filesystem::file_size(output), c.replaced ? 167936u : kOld.size()) << c.name;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()), 1)
        << c.name;
  }
  // "read" writes no file: its message stays as it was.
  expect_failure(run_dovrel(read_request(write_file("blank.pdb", blank_like_image())), full),
                 "cannot write the report: No space left on device (os error 28)");
}

// Concurrent in-place patches of one file, each retuning its own track,
// take turns on the file's lock: every change survives.
TEST_F(CommandLine, ConcurrentInPlacePatchesAllApply) {
  constexpr std::size_t kPatches = 8;
  constexpr int kTracks = 400;  // enough work per patch for the runs to overlap
  const std::string file = path("lib.pdb");
  ASSERT_EQ(run_dovrel(build_request(file, kTracks)).status, 0);
  std::vector<Outcome> runs(kPatches);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < kPatches; ++i) {
    threads.emplace_back([&, i] {
      // Track i + 1 goes to 120 + i bpm.
      runs[i] = run_dovrel(R"({"action":"patch","input":")" + file + R"(","output":")" + file + R"(","tempos":{")" +
                           std::to_string(i + 1) + R"(":)" + std::to_string(12000 + 100 * i) + "}}");
    });
  }
  for (auto& t : threads) t.join();
  Outcome read = run_dovrel(read_request(file));
  ASSERT_EQ(read.status, 0) << read.err;
  for (std::size_t i = 0; i < kPatches; ++i) {
    const std::string bpm = "\"bpm\":" + std::to_string(120 + i) + ".0,";
    EXPECT_EQ(runs[i].status, 0) << runs[i].err;
    EXPECT_NE(runs[i].out.find(bpm), std::string::npos) << i;
    EXPECT_NE(read.out.find(bpm), std::string::npos) << "the change of patch " << i << " was lost";
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()), 1);
}

// A wait for the lock says once, after a second, for whom it waits, and
// DOVREL_LOCK_TIMEOUT bounds it: exit 1, the file untouched.
TEST_F(CommandLine, LockWaitIsToldAndBounded) {
  const std::string target = write_file("lib.pdb", blank_like_image());
  const int holder = ::open(target.c_str(), O_RDONLY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  const std::string in_place = R"({"action":"patch","input":")" + target + R"(","output":")" + target +
                               R"(","report":"summary","tempos":{"1":12000}})";
  ::setenv("DOVREL_LOCK_TIMEOUT", "1.2", 1);
  const Outcome run = run_dovrel(in_place);
  ::setenv("DOVREL_LOCK_TIMEOUT", "soon", 1);
  const Outcome refused = run_dovrel(in_place);
  ::unsetenv("DOVREL_LOCK_TIMEOUT");
  ::close(holder);
  const std::string holder_name = "process " + std::to_string(::getpid()) + " (dovrel_tests)";
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "dovrel: waiting for the lock of " + target + ", held by " + holder_name +
                         "\ngave up waiting for the lock of " + target + " after 1.2 s, held by " + holder_name + "\n");
  expect_failure(refused, "DOVREL_LOCK_TIMEOUT: expected a number of seconds, got \"soon\"");
  std::ifstream file(target, std::ios::binary);
  EXPECT_EQ(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {}), blank_like_image());
}

// A new file waits for no other file's run: a build beside a patch whose
// input (a FIFO) is slow to come is done first.
TEST_F(CommandLine, NewFileDoesNotWaitForAnotherFilesInput) {
  const std::string fifo = path("input");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  Outcome slow;
  std::thread patch([&] {
    slow = run_dovrel(R"({"action":"patch","input":")" + fifo + R"(","output":")" + path("patched.pdb") +
                      R"(","report":"summary"})");
  });
  ::setenv("DOVREL_LOCK_TIMEOUT", "10", 1);
  const Outcome build = run_dovrel(build_request(path("built.pdb"), 2));
  ::unsetenv("DOVREL_LOCK_TIMEOUT");
  EXPECT_EQ(build.status, 0) << build.err;
  EXPECT_EQ(build.err, "");
  std::ofstream(fifo, std::ios::binary) << std::string(reinterpret_cast<const char*>(blank_like_image().data()),
                                                       blank_like_image().size());
  patch.join();
  EXPECT_EQ(slow.status, 0) << slow.err;
  EXPECT_TRUE(std::filesystem::exists(path("patched.pdb")));
}

// -h/--help and -V/--version answer on standard output; any other option
// is a usage error (status 2, one line that points to --help); without
// arguments the request is read as before.
TEST(CommandLineArguments, HelpVersionAndUsageErrors) {
  for (const char* flag : {"--help", "-h"}) {
    cli_runner::RunOptions help;
    help.arguments = {flag};
    Outcome h = run_dovrel("", help);
    EXPECT_EQ(h.status, 0) << flag;
    EXPECT_EQ(h.err, "") << flag;
    EXPECT_TRUE(h.out.starts_with("Usage: dovrel < request.json\n")) << h.out;
  }
  for (const char* flag : {"--version", "-V"}) {
    cli_runner::RunOptions version;
    version.arguments = {flag};
    Outcome v = run_dovrel("", version);
    EXPECT_EQ(v.status, 0) << flag;
    EXPECT_TRUE(v.out.starts_with("dovrel ")) << v.out;
    EXPECT_EQ(v.out.find('\n'), v.out.size() - 1);
  }

  struct Case {
    std::vector<std::string> args;
    std::string named;  // the argument the message names
  };
  for (const Case& c : {Case{{"-x"}, "-x"}, Case{{"--help", "extra"}, "extra"}, Case{{"-V", "-h"}, "-h"},
                        Case{{"-h", "read"}, "read"}, Case{{"--version=1"}, "--version=1"}, Case{{"-hV"}, "-hV"}}) {
    cli_runner::RunOptions bad;
    bad.arguments = c.args;
    Outcome b = run_dovrel(R"({"action":"read"})", bad);
    EXPECT_EQ(b.status, 2) << c.named;
    EXPECT_EQ(b.out, "");
    EXPECT_EQ(b.err, "usage: dovrel < request.json; unexpected argument: " + c.named +
                         "; try 'dovrel --help' for more information\n");
  }
  // A first argument that is no option names a command form's action.
  cli_runner::RunOptions unknown;
  unknown.arguments = {"frob"};
  Outcome u = run_dovrel(R"({"action":"read"})", unknown);
  EXPECT_EQ(u.status, 2);
  EXPECT_EQ(u.out, "");
  EXPECT_EQ(u.err, "dovrel: unknown action: frob; try 'dovrel help'\n");
  expect_failure(run_dovrel(R"({"action":"read"})"), "Missing input");
}

// A request typed at a terminal is read as from a pipe, after one line on
// standard error that says what the tool waits for.
TEST(CommandLineArguments, TerminalInputGetsAHint) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  cli_runner::RunOptions typed;
  typed.stdin_path = ::ptsname(master);
  // The line and an end-of-file (Ctrl-D) wait in the terminal's queue.
  const std::string keys = "{\"action\":\"read\"}\n\x04";
  ASSERT_EQ(::write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  Outcome run = run_dovrel("", typed);
  ::close(master);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "dovrel: reading a JSON request from standard input (end it with Ctrl-D; see dovrel --help)\n"
            "Missing input\n");
}

}  // namespace
}  // namespace dovrel
