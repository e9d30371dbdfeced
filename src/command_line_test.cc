// The command forms: each command line and the request it must make, the
// usage errors, and the binary run both ways (command form and JSON on
// standard input) to the same output.
#include "command_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli_runner_test_util.h"
#include "scan/testing/audio_fixtures.h"

namespace dovrel {
namespace {

Result<CommandLine> parse(std::vector<std::string> args) {
  std::vector<const char*> argv{"dovrel"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

struct RequestCase {
  std::vector<std::string> args;
  std::string file;  // the request file's text, for the forms that take one
  std::string request;
};

void PrintTo(const RequestCase& c, std::ostream* os) {
  for (const std::string& a : c.args) *os << a << ' ';
}

class CommandRequest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(CommandRequest, MakesTheRequest) {
  const RequestCase& c = GetParam();
  auto line = parse(c.args);
  ASSERT_TRUE(line) << line.error().message;
  EXPECT_EQ(line->kind, CommandLine::Kind::kRun);
  auto text = request_text(*line, c.file);
  ASSERT_TRUE(text) << text.error().message;
  EXPECT_EQ(*text, c.request);
}

INSTANTIATE_TEST_SUITE_P(
    EveryAction, CommandRequest,
    ::testing::Values(
        RequestCase{{"read", "stick/library.pdb"}, "", R"({"action":"read","input":"stick/library.pdb"})"},
        // Text is escaped as JSON needs; the output format is no key.
        RequestCase{{"read", "--format", "tree", "--", "-odd \"name\"\\.pdb"},
                    "",
                    R"({"action":"read","input":"-odd \"name\"\\.pdb"})"},
        RequestCase{{"read", "--json", "caf\xc3\xa9.pdb"}, "", "{\"action\":\"read\",\"input\":\"caf\xc3\xa9.pdb\"}"},
        // The file's fields are kept as written (numbers, escapes, order of
        // keys but for the sort), the command line's replace the file's.
        RequestCase{
            {"build", "req.json", "-o", "new.pdb"},
            " {\"tracks\" : [ {\"bpm\":128.50} ],\n \"playlists\":[], \"output\":\"old.pdb\", "
            "\"z\\u0061\":1e400, \"action\":\"patch\"}\n",
            R"({"action":"build","output":"new.pdb","playlists":[],"tracks":[ {"bpm":128.50} ],"z\u0061":1e400})"},
        RequestCase{{"build", "-", "--output=new.pdb", "--summary"},
                    R"({"report":"full","tracks":[]})",
                    R"({"action":"build","output":"new.pdb","report":"summary","tracks":[]})"},
        RequestCase{
            {"patch", "a.pdb", "--keep-tracks", "3,1,3", "--tempo", "7=128.5", "--tempo", "10=90", "--tempo",
             "7=125.07", "--tempo", "4=0.5", "-o", "b.pdb"},
            "",
            R"({"action":"patch","input":"a.pdb","keepTracks":[3,1,3],"output":"b.pdb","tempos":{"10":9000,"4":50,"7":12507}})"},
        // Without -o a patch writes its input in place; "" keeps nothing.
        RequestCase{
            {"patch", "a.pdb", "--keep-playlists=", "--keep-tracks", "007", "--summary"},
            "",
            R"({"action":"patch","input":"a.pdb","keepPlaylists":[],"keepTracks":[7],"output":"a.pdb","report":"summary"})"},
        RequestCase{
            {"edit", "a.pdb", "changes.json"},
            "[{\"op\":\"renamePlaylist\",\"id\":12,\"name\":\"Sat\"}]\n",
            R"({"action":"edit","changes":[{"op":"renamePlaylist","id":12,"name":"Sat"}],"input":"a.pdb","output":"a.pdb"})"},
        RequestCase{{"edit", "a.pdb", "req.json", "-o", "b.pdb"},
                    R"({"input":"x.pdb","changes":[],"output":"c.pdb","report":"summary"})",
                    R"({"action":"edit","changes":[],"input":"a.pdb","output":"b.pdb","report":"summary"})"},
        // A request object's "output" stands when -o does not replace it.
        RequestCase{{"edit", "a.pdb", "req.json"},
                    R"({"changes":[],"output":"c.pdb"})",
                    R"({"action":"edit","changes":[],"input":"a.pdb","output":"c.pdb"})"},
        RequestCase{{"check", "a.pdb", "--limit", "10"}, "", R"({"action":"check","input":"a.pdb","limit":10})"},
        RequestCase{{"salvage", "a.pdb", "-o", "new.pdb", "--limit=0"},
                    "",
                    R"({"action":"salvage","input":"a.pdb","limit":0,"output":"new.pdb"})"},
        RequestCase{{"scan", "/media/stick", "-o", "/media/stick/library.pdb"},
                    "",
                    R"({"action":"scan","output":"/media/stick/library.pdb","root":"/media/stick"})"},
        RequestCase{
            {"scan", "/m", "--folder", "music", "--folder", "sets", "--artwork-folder", "art", "-i", "/m/l.pdb",
             "-o/m/l.pdb", "--build"},
            "",
            R"({"action":"scan","artworkFolder":"art","folders":["music","sets"],"input":"/m/l.pdb","output":"/m/l.pdb","root":"/m"})"},
        // For export --format is the kind of files it writes.
        RequestCase{{"export", "a.pdb", "--format", "html", "-o", "a.html", "--root", "/media/stick"},
                    "",
                    R"({"action":"export","format":"html","input":"a.pdb","output":"a.html","root":"/media/stick"})"}));

TEST(CommandLineFlags, FormatPrintRequestAndBuild) {
  auto line = parse({"read", "a.pdb", "--format", "table", "--print-request"});
  ASSERT_TRUE(line);
  EXPECT_EQ(line->format, OutputFormat::kTable);
  EXPECT_TRUE(line->print_request);
  EXPECT_FALSE(line->build);
  line = parse({"scan", "/m", "-o", "l.pdb", "--build", "--json"});
  ASSERT_TRUE(line);
  EXPECT_EQ(line->format, OutputFormat::kJson);
  EXPECT_TRUE(line->build);
  line = parse({"export", "a.pdb", "--format", "csv", "-o", "a.csv"});
  ASSERT_TRUE(line);
  EXPECT_EQ(line->format, OutputFormat::kAuto);
}

TEST(CommandLineHelp, EveryFormHasItsUsage) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"help", "patch"}, {"patch", "--help"}, {"patch", "a.pdb", "-h", "--frob"}}) {
    auto line = parse(args);
    ASSERT_TRUE(line) << line.error().message;
    EXPECT_EQ(line->kind, CommandLine::Kind::kHelp);
    EXPECT_TRUE(line->help.starts_with("Usage: dovrel patch FILE [OPTIONS]\n")) << line->help;
    EXPECT_NE(line->help.find("--keep-tracks IDS"), std::string::npos);
  }
  auto all = parse({"help"});
  ASSERT_TRUE(all);
  for (const char* action : {"read", "build", "patch", "edit", "check", "salvage", "scan", "export"}) {
    EXPECT_NE(all->help.find(std::string("dovrel ") + action + " "), std::string::npos) << action;
    EXPECT_TRUE(action_usage(action).starts_with(std::string("Usage: dovrel ") + action)) << action;
  }
}

struct UsageCase {
  std::vector<std::string> args;
  std::string message;
};

class CommandUsageError : public ::testing::TestWithParam<UsageCase> {};

TEST_P(CommandUsageError, NamesTheFaultAndTheHelp) {
  auto line = parse(GetParam().args);
  ASSERT_FALSE(line);
  EXPECT_EQ(line.error().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandUsageError,
    ::testing::Values(
        UsageCase{{"frob"}, "dovrel: unknown action: frob; try 'dovrel help'"},
        UsageCase{{"help", "frob"}, "dovrel: unknown action: frob; try 'dovrel help'"},
        UsageCase{{"read"}, "dovrel read: missing FILE; try 'dovrel help read'"},
        UsageCase{{"read", "a", "b"}, "dovrel read: unexpected argument: b; try 'dovrel help read'"},
        UsageCase{{"read", "a", "--frob=1"}, "dovrel read: unknown option: --frob; try 'dovrel help read'"},
        UsageCase{{"read", "a", "--limit", "1"}, "dovrel read: unknown option: --limit; try 'dovrel help read'"},
        UsageCase{{"read", "a", "--format", "html"},
                  "dovrel read: --format: expected json, table or tree, got html; try 'dovrel help read'"},
        UsageCase{{"read", "a", "--json=1"}, "dovrel read: --json takes no value; try 'dovrel help read'"},
        UsageCase{{"patch", "a", "--tempo", "7=x"},
                  "dovrel patch: --tempo: expected ID=BPM (beats per minute, at "
                  "most two decimals), got 7=x; try 'dovrel help patch'"},
        UsageCase{{"patch", "a", "--tempo", "=1"},
                  "dovrel patch: --tempo: expected ID=BPM (beats per minute, at "
                  "most two decimals), got =1; try 'dovrel help patch'"},
        UsageCase{{"patch", "a", "--tempo", "7=1.255"},
                  "dovrel patch: --tempo: expected ID=BPM (beats per minute, "
                  "at most two decimals), got 7=1.255; try 'dovrel help patch'"},
        UsageCase{{"patch", "a", "--tempo", "7=-1"},
                  "dovrel patch: --tempo: expected ID=BPM (beats per minute, at "
                  "most two decimals), got 7=-1; try 'dovrel help patch'"},
        UsageCase{{"patch", "a", "--tempo", "7=1e2"},
                  "dovrel patch: --tempo: expected ID=BPM (beats per minute, at "
                  "most two decimals), got 7=1e2; try 'dovrel help patch'"},
        UsageCase{{"patch", "a", "--keep-tracks", "1,,2"},
                  "dovrel patch: --keep-tracks: expected ids separated by commas, got 1,,2; try 'dovrel help patch'"},
        UsageCase{{"patch", "a", "--keep-tracks", "1,2,"},
                  "dovrel patch: --keep-tracks: expected ids separated by commas, got 1,2,; try 'dovrel help patch'"},
        UsageCase{{"patch", "a", "--keep-tracks", "4294967296"},
                  "dovrel patch: --keep-tracks: expected ids separated by commas, got 4294967296; try 'dovrel help "
                  "patch'"},
        UsageCase{{"patch", "a", "-o"}, "dovrel patch: -o needs a value (FILE); try 'dovrel help patch'"},
        UsageCase{{"check", "a", "--limit", "-1"},
                  "dovrel check: --limit: expected an unsigned 32-bit integer, got -1; try 'dovrel help check'"},
        UsageCase{{"salvage", "a"}, "dovrel salvage: missing -o NEW; try 'dovrel help salvage'"},
        UsageCase{{"build", "-o", "x"}, "dovrel build: missing REQUEST; try 'dovrel help build'"},
        UsageCase{{"edit", "a"}, "dovrel edit: missing CHANGES; try 'dovrel help edit'"},
        UsageCase{{"scan", "/m"}, "dovrel scan: missing -o FILE; try 'dovrel help scan'"},
        UsageCase{{"export", "a", "-o", "x"},
                  "dovrel export: missing --format m3u8|csv|html; try 'dovrel help export'"},
        UsageCase{{"export", "a", "--format", "csv", "-o", "x", "--json", "--format", "json", "--tree"},
                  "dovrel export: unknown option: --tree; try 'dovrel help export'"}));

TEST(CommandRequestFile, RefusesWhatIsNotOneObject) {
  auto build = parse({"build", "req.json", "-o", "x"});
  ASSERT_TRUE(build);
  for (std::string text : {"[]", "7", "", "{\"a\":1} {}", "{\"a\":"}) {
    auto made = request_text(*build, text);
    ASSERT_FALSE(made) << text;
    EXPECT_TRUE(made.error().message.starts_with("req.json: ")) << made.error().message;
  }
  EXPECT_EQ(request_text(*build, "[]").error().message, "req.json: expected a JSON object");
  auto edit = parse({"edit", "a.pdb", "-"});
  ASSERT_TRUE(edit);
  EXPECT_EQ(request_text(*edit, "\"x\"").error().message, "standard input: expected a JSON array or object");
  auto missing = parse({"build", "/nonexistent/req.json", "-o", "x"});
  ASSERT_TRUE(missing);
  EXPECT_EQ(request_text(*missing).error().message, "/nonexistent/req.json: No such file or directory (os error 2)");
}

// The binary both ways: the command form prints (and writes) exactly what
// its JSON request on standard input does, failures and exit statuses too.
class CommandForms : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::path(::testing::TempDir()) / ("dovrel_forms_" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  void write(const std::string& name, const std::string& text) const { std::ofstream(path(name)) << text; }
  std::string contents(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  static cli_runner::Outcome run(std::vector<std::string> args, const std::string& input = "") {
    cli_runner::RunOptions options;
    options.arguments = std::move(args);
    return cli_runner::run_dovrel(input, options);
  }

  std::filesystem::path dir_;
};

constexpr const char* kLibrary =
    R"({"tracks":[{"id":1,"title":"Night Drive","artist":"Kaori","album":"A","genre":"House","key":"Am",)"
    R"("audioPath":"/music/a.mp3","analysisPath":"","artworkPath":"","bpm":124.0,"duration":301,"sampleRate":44100,)"
    R"("fileSize":7340032},{"id":2,"title":"Dawn","artist":"Mo","album":"B","genre":"Techno","key":"Cm",)"
    R"("audioPath":"/music/b.flac","analysisPath":"","artworkPath":"","bpm":130.5,"duration":61,"sampleRate":48000,)"
    R"("fileSize":1000}],"playlists":[{"id":1,"name":"Gigs","parentId":0,"isFolder":true,"tracks":[]},)"
    R"({"id":2,"name":"Warm-up","parentId":1,"isFolder":false,"tracks":[2,1]}]})";

TEST_F(CommandForms, PrintTheJsonPathsOutput) {
  write("library.json", kLibrary);
  write("changes.json", R"([{"op":"setTrack","id":1,"rating":4}])");
  cli_runner::Outcome built = run({"build", path("library.json"), "-o", path("library.pdb")});
  ASSERT_EQ(built.status, 0) << built.err;
  const std::string library = contents("library.pdb");

  struct Form {
    std::vector<std::string> args;
    std::string output;  // the file it writes, compared too ("" = none)
  };
  const std::string in = path("library.pdb");
  const std::vector<Form> forms{
      {{"read", in}, ""},
      {{"read", path("missing.pdb")}, ""},
      {{"check", in, "--limit", "1"}, ""},
      {{"build", path("library.json"), "-o", path("out.pdb"), "--summary"}, "out.pdb"},
      {{"patch", in, "--keep-tracks", "2", "--tempo", "2=128.5", "-o", path("out.pdb")}, "out.pdb"},
      {{"patch", in, "--tempo", "9=128", "-o", path("out.pdb")}, "out.pdb"},
      {{"edit", in, path("changes.json"), "-o", path("out.pdb")}, "out.pdb"},
      {{"salvage", in, "-o", path("out.pdb")}, "out.pdb"},
      {{"export", in, "--format", "csv", "-o", path("out.csv")}, "out.csv"},
      {{"export", path("missing.pdb"), "--format", "csv", "-o", path("out.csv")}, ""},
  };
  for (const Form& form : forms) {
    SCOPED_TRACE(form.args[0] + " " + form.args.back());
    std::vector<std::string> printing = form.args;
    printing.push_back("--print-request");
    cli_runner::Outcome request = run(printing);
    ASSERT_EQ(request.status, 0) << request.err;
    ASSERT_TRUE(request.out.ends_with("\n"));

    std::filesystem::remove(path("out.pdb"));
    std::filesystem::remove(path("out.csv"));
    cli_runner::Outcome by_json = run({}, request.out);
    const std::string json_output = form.output.empty() ? "" : contents(form.output);
    std::filesystem::remove(path("out.pdb"));
    std::filesystem::remove(path("out.csv"));
    cli_runner::Outcome by_form = run(form.args);
    EXPECT_EQ(by_form.status, by_json.status);
    EXPECT_EQ(by_form.out, by_json.out);
    EXPECT_EQ(by_form.err, by_json.err);
    if (!form.output.empty()) {
      EXPECT_TRUE(contents(form.output) == json_output) << form.output << " differs";
    }
  }
  EXPECT_TRUE(contents("library.pdb") == library) << "the input changed";
}

TEST_F(CommandForms, PatchWithoutOutputWritesInPlace) {
  write("library.json", kLibrary);
  ASSERT_EQ(run({"build", path("library.json"), "-o", path("a.pdb")}).status, 0);
  ASSERT_EQ(run({"build", path("library.json"), "-o", path("b.pdb")}).status, 0);
  cli_runner::Outcome in_place = run({"patch", path("a.pdb"), "--tempo", "1=99.5", "--summary"});
  ASSERT_EQ(in_place.status, 0) << in_place.err;
  cli_runner::Outcome by_json = run({}, R"({"action":"patch","input":")" + path("b.pdb") + R"(","output":")" +
                                            path("b.pdb") + R"(","tempos":{"1":9950},"report":"summary"})");
  EXPECT_EQ(in_place.out, by_json.out);
  EXPECT_TRUE(contents("a.pdb") == contents("b.pdb"));
}

// scan --build is the scan's request piped into dovrel: the same line, the
// same database.
TEST_F(CommandForms, ScanBuildRunsTheScansRequest) {
  namespace audio = dovrel::scan::testing;
  std::filesystem::create_directories(path("stick/music"));
  ASSERT_TRUE(audio::write_bytes(path("stick/music/a.wav"), audio::wav_bytes({})));
  audio::Tags tags;
  tags.title = "\xE5\xA4\x9C";
  tags.artist = "Kaori";
  ASSERT_TRUE(audio::tag_file(path("stick/music/a.wav"), tags));
  const std::vector<std::string> form{"scan", path("stick"), "--folder", "music", "-o", path("stick/l.pdb")};
  cli_runner::Outcome scanned = run(form);
  ASSERT_EQ(scanned.status, 0) << scanned.err;
  cli_runner::Outcome piped = run({}, scanned.out);
  ASSERT_EQ(piped.status, 0) << piped.err;
  const std::string piped_file = contents("stick/l.pdb");
  std::filesystem::remove(path("stick/l.pdb"));
  std::vector<std::string> building = form;
  building.push_back("--build");
  cli_runner::Outcome built = run(building);
  EXPECT_EQ(built.status, 0) << built.err;
  EXPECT_EQ(built.out, piped.out);
  EXPECT_TRUE(contents("stick/l.pdb") == piped_file);
  EXPECT_NE(built.out.find("\"title\":\"\xE5\xA4\x9C\""), std::string::npos) << built.out;
}

TEST_F(CommandForms, RequestFromStandardInputAndUsageErrors) {
  cli_runner::Outcome built = run({"build", "-", "-o", path("s.pdb"), "--summary"}, kLibrary);
  ASSERT_EQ(built.status, 0) << built.err;
  EXPECT_EQ(built.out, "{\"artwork\":0,\"entries\":2,\"folders\":1,\"outputBytes\":" +
                           std::to_string(std::filesystem::file_size(path("s.pdb"))) +
                           ",\"playlists\":1,\"tracks\":2}\n");
  cli_runner::Outcome bad = run({"patch", path("s.pdb"), "--keep-tracks", "1,,2"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err,
            "dovrel patch: --keep-tracks: expected ids separated by commas, got 1,,2; try 'dovrel help patch'\n");
  cli_runner::Outcome unreadable = run({"build", path("none.json"), "-o", path("t.pdb")});
  EXPECT_EQ(unreadable.status, 1);
  EXPECT_EQ(unreadable.err, path("none.json") + ": No such file or directory (os error 2)\n");
  cli_runner::Outcome help = run({"help", "read"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: dovrel read FILE [OPTIONS]\n")) << help.out;
}

}  // namespace
}  // namespace dovrel
