// The "check" action: its request, its line, and the files it is given:
// every file the tool builds or patches checks clean; a damaged one gives
// findings and still succeeds; only a file that cannot be read fails.
#include "check_action.h"

#include <gtest/gtest.h>
#include <simdjson.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "actions.h"
#include "build.h"
#include "check_report.h"
#include "cli_runner_test_util.h"
#include "format/format.h"
#include "output_line_test_util.h"
#include "patch.h"
#include "request.h"
#include "scratch_dir_test_util.h"
#include "vantrel_pdb/library.h"

namespace dovrel {
namespace {

using Image = std::vector<std::uint8_t>;
namespace dom = simdjson::dom;
constexpr std::uint64_t kPage = vantrel_pdb::format::kPageSize;

std::string example_text(const std::string& name) {
  std::ifstream in(std::string(DOVREL_SOURCE_DIR) + "/examples/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Request request_of(const std::string& text) {
  auto request = parse_request(text);
  EXPECT_TRUE(request) << request.error().message;
  return request ? *request : Request{};
}

Image built(const std::string& text) {
  auto image = build(request_of(text));
  EXPECT_TRUE(image) << image.error().message;
  return image ? *image : Image{};
}

// A build whose tables span pages: 40 tracks of long names, artwork, a
// folder of three playlists.
std::string spanning_request() {
  std::ostringstream r;
  r << R"({"action":"build","tracks":[)";
  for (int i = 1; i <= 40; ++i) {
    const std::string n = std::to_string(i);
    r << (i > 1 ? "," : "") << R"({"id":)" << 500 + i << R"(,"title":"Title )" << n << std::string(60, 'x')
      << R"(","artist":"Artist )" << i % 7 << std::string(150, 'a') << R"(","album":"Album \u00e9 )" << i % 9
      << R"(","genre":"Genre )" << i % 4 << R"(","key":"K)" << i % 12 << R"(","audioPath":"/music/)" << n
      << R"(.flac","analysisPath":"/scans/)" << n << R"(.dat","artworkPath":")" << (i % 3 ? "/art/" + n + ".jpg" : "")
      << R"(","bpm":12)" << i % 10 << R"(.5,"duration":200,"sampleRate":44100,"fileSize":1000,"label":"L)" << i % 2
      << R"("})";
  }
  r << R"(],"playlists":[{"id":1,"name":"F","parentId":0,"isFolder":true,"tracks":[]})";
  for (int p = 2; p <= 4; ++p) {
    r << R"(,{"id":)" << p << R"(,"name":"List )" << p << R"(","parentId":1,"isFolder":false,"tracks":[)";
    for (int k = 0; k < 60; ++k) r << (k ? "," : "") << 501 + (k * p) % 40;
    r << "]}";
  }
  return r.str() + "]}";
}

// Every object of the value has its keys in ascending byte order.
void expect_sorted_keys(dom::element value) {
  if (value.is_array()) {
    for (dom::element item : dom::array(value)) expect_sorted_keys(item);
  } else if (value.is_object()) {
    std::string_view previous;
    bool first = true;
    for (dom::key_value_pair field : dom::object(value)) {
      EXPECT_TRUE(first || previous < field.key) << previous << " then " << field.key;
      previous = field.key;
      first = false;
      expect_sorted_keys(field.value);
    }
  }
}

class CheckAction : public ::testing::Test {
 protected:
  // Runs "check" of `image` (written to a file) and parses the line.
  dom::element check_line(const Image& image, const std::string& extra = "") {
    return check_path(scratch_.write("checked.pdb", image), extra);
  }
  // Runs "check" of the file at `input` and parses the line, valid until the next.
  dom::element check_path(const std::string& input, const std::string& extra = "") {
    auto line = joined(run_action(request_of(R"({"action":"check","input":")" + input + "\"" + extra + "}")));
    EXPECT_TRUE(line) << line.error().message;
    line_ = line ? *line : "";
    EXPECT_EQ(line_.find('\n'), line_.size() - 1);
    dom::element value;
    EXPECT_EQ(parser_.parse(line_).get(value), simdjson::SUCCESS) << line_;
    expect_sorted_keys(value);
    return value;
  }

  scratch::ScratchDir scratch_;
  dom::parser parser_;
  std::string line_;
};

TEST_F(CheckAction, EveryFileTheToolMakesChecksClean) {
  auto patch_request = request_of(example_text("patch.json"));
  std::vector<Image> images = {built(example_text("library.json")), built(spanning_request())};
  auto patched = patch(images[0], patch_request);
  ASSERT_TRUE(patched) << patched.error().message;
  images.push_back(*patched);
  Request keep_some = request_of(R"({"action":"patch","keepTracks":[501,502,540],"keepPlaylists":[1,3]})");
  auto trimmed = patch(images[1], keep_some);
  ASSERT_TRUE(trimmed) << trimmed.error().message;
  images.push_back(*trimmed);
  for (const Image& image : images) {
    dom::element line = check_line(image);
    EXPECT_TRUE(bool(line["ok"])) << line_;
    EXPECT_EQ(dom::array(line["findings"]).size(), 0u) << line_;
    EXPECT_EQ(std::uint64_t(line["counts"]["pages"]), image.size() / kPage);
    EXPECT_EQ(std::uint64_t(line["counts"]["errors"]), 0u);
    EXPECT_EQ(std::uint64_t(line["counts"]["warnings"]), 0u);
  }
}

TEST_F(CheckAction, APatchKeepingAPlaylistButNotItsFolderLeavesAnOrphan) {
  auto patched = patch(built(spanning_request()), request_of(R"({"action":"patch","keepPlaylists":[2,3,4]})"));
  ASSERT_TRUE(patched);
  dom::element line = check_line(*patched);
  EXPECT_TRUE(bool(line["ok"]));
  std::vector<std::uint64_t> orphans;
  for (dom::element finding : dom::array(line["findings"])) {
    EXPECT_EQ(std::string_view(finding["code"]), "orphan-playlist") << line_;
    EXPECT_EQ(std::string_view(finding["severity"]), "warning");
    EXPECT_EQ(std::string_view(finding["table"]), "playlistTree");
    orphans.push_back(std::uint64_t(finding["id"]));
  }
  EXPECT_EQ(orphans, (std::vector<std::uint64_t>{2, 3, 4}));
  // Salvage moves them to the top level.
  const std::string input = scratch_.write("orphans.pdb", *patched);
  ASSERT_TRUE(run_action(
      request_of(R"({"action":"salvage","input":")" + input + R"(","output":")" + scratch_.path("moved.pdb") + "\"}")));
  EXPECT_EQ(dom::array(check_path(scratch_.path("moved.pdb"))["findings"]).size(), 0u) << line_;
}

TEST_F(CheckAction, TheLineOfASoundFile) {
  const Image image = built(R"({"action":"build","tracks":[{"id":7,"title":"T","artist":"A","album":"B","genre":"G",)"
                            R"("key":"Am","audioPath":"/music/t.mp3","analysisPath":"","artworkPath":"","bpm":120,)"
                            R"("duration":1,"sampleRate":44100,"fileSize":1}],"playlists":[]})");
  check_line(image);
  const std::string none = R"({"absent":0,"present":0})";
  const std::string one = R"({"absent":0,"present":1})";
  EXPECT_EQ(line_, R"({"counts":{"errors":0,"pages":)" + std::to_string(image.size() / kPage) +
                       R"(,"rows":{"albums":)" + one + R"(,"artists":)" + one + R"(,"artwork":)" + none +
                       R"(,"colors":)" + none + R"(,"genres":)" + one + R"(,"historyEntries":)" + none +
                       R"(,"historyPlaylists":)" + none + R"(,"keys":)" + one + R"(,"kind10":)" + none +
                       R"(,"kind14":)" + none + R"(,"kind15":)" + none + R"(,"kind16":)" + none + R"(,"kind17":)" +
                       none + R"(,"kind18":)" + none + R"(,"kind19":)" + none + R"(,"kind9":)" + none +
                       R"(,"labels":)" + none + R"(,"playlistEntries":)" + none + R"(,"playlistTree":)" + none +
                       R"(,"tracks":)" + one +
                       R"(},"warnings":0},"findings":[],"ok":true})"
                       "\n");
}

TEST_F(CheckAction, DamageGivesFindingsAndStillSucceeds) {
  Image image = built(spanning_request());
  image.resize(image.size() - kPage / 2);  // cut mid-page
  image[5 * kPage + 4] ^= 0x01;            // a page's own index
  dom::element line = check_line(image);
  EXPECT_FALSE(bool(line["ok"]));
  std::vector<std::string> codes;
  for (dom::element finding : dom::array(line["findings"])) {
    codes.emplace_back(std::string_view(finding["code"]));
    EXPECT_EQ(std::string_view(finding["severity"]),
              vantrel_pdb::severity_name(vantrel_pdb::find_finding_kind(codes.back())->severity));
  }
  EXPECT_EQ(codes.front(), "file-length");
  EXPECT_NE(std::find(codes.begin(), codes.end(), "page-identity"), codes.end()) << line_;
}

TEST_F(CheckAction, LimitBoundsTheListNotTheCounts) {
  Image image = built(spanning_request());
  for (std::uint64_t p = 1; p < image.size() / kPage; ++p) image[p * kPage + 4] ^= 0x80;  // every page's index
  dom::element all = check_line(image);
  const std::uint64_t errors = std::uint64_t(all["counts"]["errors"]);
  EXPECT_GT(errors, 3u);
  dom::element three = check_line(image, R"(,"limit":3)");
  EXPECT_EQ(dom::array(three["findings"]).size(), 3u);
  EXPECT_EQ(std::uint64_t(three["counts"]["errors"]), errors);
  dom::element none = check_line(image, R"(,"limit":0)");
  EXPECT_EQ(dom::array(none["findings"]).size(), 0u);
  EXPECT_FALSE(bool(none["ok"]));
}

TEST_F(CheckAction, FailsOnlyWhenTheFileCannotBeRead) {
  auto run = [](const std::string& text) {
    auto line = run_action(request_of(text));
    return line ? std::string("ok") : line.error().message;
  };
  EXPECT_EQ(run(R"({"action":"check"})"), "Missing input");
  EXPECT_EQ(run(R"({"action":"check","input":null})"), "Missing input");
  EXPECT_EQ(run(R"({"action":"check","input":")" + scratch_.path("none.pdb") + "\"}"),
            "No such file or directory (os error 2)");
  EXPECT_EQ(run(R"({"action":"check","input":")" + scratch_.dir().string() + "\"}"), "Is a directory (os error 21)");
  EXPECT_EQ(run(R"({"action":"check","input":")" + scratch_.write("empty.pdb", {}) + "\"}"), "ok");
}

class SalvageAction : public CheckAction {
 protected:
  // Runs "salvage" of `input` into `output` and returns the line or the error.
  Result<std::string> salvage(const std::string& input, const std::string& output) {
    return joined(
        run_action(request_of(R"({"action":"salvage","input":")" + input + R"(","output":")" + output + "\"}")));
  }
  std::string read_line(const std::string& path) {
    auto line = joined(run_action(request_of(R"({"action":"read","input":")" + path + "\"}")));
    return line ? *line : line.error().message;
  }
};

TEST_F(SalvageAction, EveryFileTheToolMakesComesThroughLosslessly) {
  auto patched = patch(built(example_text("library.json")), request_of(example_text("patch.json")));
  ASSERT_TRUE(patched);
  auto trimmed = patch(built(spanning_request()),
                       request_of(R"({"action":"patch","keepTracks":[501,502,540],"keepPlaylists":[1,3]})"));
  ASSERT_TRUE(trimmed);
  for (const Image& image : {built(example_text("library.json")), built(spanning_request()), *patched, *trimmed}) {
    const std::string input = scratch_.write("in.pdb", image);
    const std::string output = scratch_.path("out.pdb");
    auto line = salvage(input, output);
    ASSERT_TRUE(line) << line.error().message;
    dom::parser parser;
    dom::element value;
    ASSERT_EQ(parser.parse(*line).get(value), simdjson::SUCCESS);
    expect_sorted_keys(value);
    EXPECT_TRUE(bool(value["check"]["ok"]));
    for (dom::key_value_pair table : dom::object(value["lost"])) EXPECT_EQ(std::uint64_t(table.value), 0u) << table.key;
    EXPECT_EQ(read_line(output), read_line(input));
    EXPECT_EQ(dom::array(check_path(output)["findings"]).size(), 0u) << line_;
    EXPECT_EQ(scratch::read_whole(input), image);  // the input as it was
  }
}

TEST_F(SalvageAction, ADamagedFileGivesACleanOne) {
  Image image = built(spanning_request());
  image.resize(image.size() - 3 * kPage);  // cut at a page boundary
  image[6 * kPage + 30] ^= 0xFF;           // a heap size
  const std::string input = scratch_.write("in.pdb", image);
  auto line = salvage(input, scratch_.path("out.pdb"));
  ASSERT_TRUE(line) << line.error().message;
  dom::parser parser;
  dom::element value;
  ASSERT_EQ(parser.parse(*line).get(value), simdjson::SUCCESS);
  EXPECT_FALSE(bool(value["check"]["ok"]));
  dom::element out = check_path(scratch_.path("out.pdb"));
  EXPECT_TRUE(bool(out["ok"])) << line_;
  EXPECT_EQ(dom::array(out["findings"]).size(), 0u) << line_;
  EXPECT_GT(std::uint64_t(value["kept"]["tracks"]), 0u);
  EXPECT_NE(read_line(scratch_.path("out.pdb")).find(R"("version":1})"), std::string::npos);
}

TEST_F(SalvageAction, NeverWritesOverItsInput) {
  const Image image = built(spanning_request());
  const std::string input = scratch_.write("in.pdb", image);
  std::filesystem::create_directory(scratch_.path("sub"));
  std::filesystem::create_symlink(input, scratch_.path("link.pdb"));
  std::filesystem::create_hard_link(input, scratch_.path("hard.pdb"));
  std::filesystem::create_symlink(scratch_.dir(), scratch_.path("dirlink"));
  for (const std::string& output :
       {input, scratch_.path("sub/../in.pdb"), scratch_.path("link.pdb"), scratch_.path("hard.pdb"),
        scratch_.path("dirlink/in.pdb"), scratch_.dir().string() + "//in.pdb"}) {
    auto line = salvage(input, output);
    ASSERT_FALSE(line) << output;
    EXPECT_EQ(line.error().message, kSalvageOutputIsInput) << output;
  }
  // Nor through a link named as the input.
  auto line = salvage(scratch_.path("link.pdb"), input);
  ASSERT_FALSE(line);
  EXPECT_EQ(line.error().message, kSalvageOutputIsInput);
  EXPECT_EQ(scratch::read_whole(input), image);
  // A file of its own, new or replaced, is fine.
  EXPECT_TRUE(salvage(input, scratch_.path("sub/new.pdb")));
  EXPECT_TRUE(salvage(input, scratch_.path("sub/new.pdb")));
}

TEST_F(SalvageAction, FailsWithoutInputOrOutput) {
  auto run = [](const std::string& text) {
    auto line = run_action(request_of(text));
    return line ? std::string("ok") : line.error().message;
  };
  EXPECT_EQ(run(R"({"action":"salvage","output":"x"})"), "Missing input");
  const std::string input = scratch_.write("in.pdb", built(spanning_request()));
  EXPECT_EQ(run(R"({"action":"salvage","input":")" + input + "\"}"), "Missing output");
  EXPECT_EQ(run(R"({"action":"salvage","input":")" + input + R"(","output":null})"), "Missing output");
  EXPECT_EQ(run(R"({"action":"salvage","input":")" + scratch_.path("none") + R"(","output":"x"})"),
            "No such file or directory (os error 2)");
  EXPECT_EQ(scratch_.list(), std::vector<std::string>{"in.pdb"});
}

struct RequestCase {
  const char* text;
  const char* message;  // "" when the request parses
};

class CheckRequest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(CheckRequest, ParsesOrNamesTheProblem) {
  auto request = parse_request(GetParam().text);
  if (*GetParam().message == '\0') {
    EXPECT_TRUE(request) << request.error().message;
  } else {
    ASSERT_FALSE(request);
    EXPECT_EQ(request.error().message, GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckRequest,
    ::testing::Values(RequestCase{R"({"action":"check","input":"a"})", ""},
                      RequestCase{R"({"action":"check","input":"a","limit":0})", ""},
                      RequestCase{R"({"action":"check","input":"a","limit":4294967295})", ""},
                      RequestCase{R"({"action":"check","input":"a","output":"b","tracks":5})", ""},
                      RequestCase{R"({"action":"salvage","input":"a","output":"b","limit":7})", ""},
                      RequestCase{R"({"action":"salvage","input":"a","output":null,"keepTracks":"x"})", ""},
                      RequestCase{R"({"action":"check","input":"a","limit":-1})",
                                  "limit: expected an unsigned 32-bit integer, got -1"},
                      RequestCase{R"({"action":"check","input":"a","limit":4294967296})",
                                  "limit: expected an unsigned 32-bit integer, got 4294967296"},
                      RequestCase{R"({"action":"check","input":"a","limit":"5"})",
                                  "limit: expected an unsigned 32-bit integer, got \"5\""},
                      RequestCase{R"({"action":"check","input":7})", "input: expected a string, got 7"},
                      RequestCase{R"({"action":"check","input":"a","input":"b"})", "duplicate field `input`"},
                      RequestCase{R"({"action":"salvage","output":[]})", "output: expected a string, got an array"},
                      RequestCase{R"({"action":"salvage","limit":1.5})",
                                  "limit: expected an unsigned 32-bit integer, got 1.5"}));

TEST(CheckRequestDefaults, LimitIsAThousand) {
  auto request = parse_request(R"({"action":"check","input":"a"})");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->check.limit, 1000u);
  EXPECT_EQ(request->input, "a");
}

std::string source_text(const std::string& path) {
  std::ifstream in(std::string(DOVREL_SOURCE_DIR) + "/" + path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(CheckDocs, EveryCodeIsDocumentedWithItsSeverity) {
  const std::string manual = source_text("docs/dovrel.1");
  const std::string readme = source_text("README.md");
  const std::string guide = source_text("docs/library.md");
  const std::string schema = source_text("docs/check.schema.json");
  for (const vantrel_pdb::FindingKind& kind : vantrel_pdb::finding_kinds()) {
    const std::string code(kind.code);
    const std::string severity(vantrel_pdb::severity_name(kind.severity));
    std::string troff;
    for (char c : code) troff += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(manual.find(".BR " + troff + " \" (" + severity + ")\""), std::string::npos) << code;
    const std::string row = "| `" + code + "` | " + severity + " | ";
    EXPECT_NE(readme.find(row), std::string::npos) << code;
    EXPECT_NE(guide.find(row), std::string::npos) << code;
    EXPECT_NE(schema.find("\"" + code + "\""), std::string::npos) << code;
  }
}

TEST(CheckCommandLine, SalvageWritesItsOutput) {
  scratch::ScratchDir scratch;
  Image image = built(spanning_request());
  image.resize(image.size() - 100);
  const std::string input = scratch.write("cut.pdb", image);
  auto run = cli_runner::run_dovrel(R"({"action":"salvage","input":")" + input + R"(","output":")" +
                                    scratch.path("new.pdb") + "\"}");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.out.starts_with(R"({"check":{"counts":)")) << run.out;
  EXPECT_EQ(scratch.list(), (std::vector<std::string>{"cut.pdb", "new.pdb"}));
  cli_runner::expect_failure(
      cli_runner::run_dovrel(R"({"action":"salvage","input":")" + input + R"(","output":")" + input + "\"}"),
      kSalvageOutputIsInput);
}

TEST(CheckCommandLine, ExitsZeroWhateverItFinds) {
  scratch::ScratchDir scratch;
  Image image = built(spanning_request());
  image.resize(image.size() - 100);
  const std::string input = scratch.write("cut.pdb", image);
  auto run = cli_runner::run_dovrel(R"({"action":"check","input":")" + input + "\"}");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_NE(run.out.find(R"("ok":false})"), std::string::npos) << run.out;
  cli_runner::expect_failure(cli_runner::run_dovrel(R"({"action":"check","input":")" + scratch.path("gone") + "\"}"),
                             "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace dovrel
