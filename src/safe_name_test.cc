#include "safe_name.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace dovrel {
namespace {

struct NameCase {
  std::string name;
  std::string extension;
  std::string safe;
};

class SafeName : public ::testing::TestWithParam<NameCase> {};

TEST_P(SafeName, IsAsTheTableSays) { EXPECT_EQ(safe_name(GetParam().name, GetParam().extension), GetParam().safe); }

const std::string k250(250, 'a');

INSTANTIATE_TEST_SUITE_P(
    Cases, SafeName,
    ::testing::Values(
        NameCase{"Warm-up", ".m3u8", "Warm-up.m3u8"},
        NameCase{"Tokyo \xe2\x9c\xa6 Night", "", "Tokyo \xe2\x9c\xa6 Night"},
        // Every reserved character, the control characters and DEL.
        NameCase{"a<b>c:d\"e/f\\g|h?i*j", ".m3u8", "a_b_c_d_e_f_g_h_i_j.m3u8"},
        NameCase{std::string("tab\there\nnul\0x\x7f", 15), "", "tab_here_nul_x_"},
        // Bytes that are not UTF-8, one "_" each; an overlong form and a surrogate too.
        NameCase{"caf\xe9 \xc0\xaf \xed\xa0\x80", "", "caf_ __ ___"},
        // Trailing dots and spaces go, leading ones stay.
        NameCase{"Best of...", ".m3u8", "Best of.m3u8"}, NameCase{" . a . ", "", " . a"}, NameCase{"...", "", "_"},
        NameCase{"..", ".m3u8", "_.m3u8"}, NameCase{"", ".m3u8", "_.m3u8"}, NameCase{"   ", "", "_"},
        // Device names, in any case, alone or before a dot.
        NameCase{"CON", ".m3u8", "CON_.m3u8"}, NameCase{"con", "", "con_"}, NameCase{"Aux.mix", "", "Aux_.mix"},
        NameCase{"nul  .x", "", "nul_  .x"}, NameCase{"COM1", "", "COM1_"}, NameCase{"lpt9", ".m3u8", "lpt9_.m3u8"},
        NameCase{"Prn...", "", "Prn_"},
        // Not device names.
        NameCase{"COM0", "", "COM0"}, NameCase{"COM10", "", "COM10"}, NameCase{"CONSOLE", "", "CONSOLE"},
        NameCase{"my con", "", "my con"}, NameCase{"LPT", "", "LPT"},
        // The length cap counts the extension, and never cuts a character:
        // 250 + 2 + 2 bytes of "é" do not fit with ".m3u8" before 255.
        NameCase{k250, ".m3u8", k250 + ".m3u8"}, NameCase{k250 + "b", ".m3u8", k250 + ".m3u8"},
        NameCase{std::string(248, 'a') + "\xc3\xa9\xc3\xa9", ".m3u8", std::string(248, 'a') + "\xc3\xa9.m3u8"},
        NameCase{std::string(249, 'a') + "\xf0\x9f\x8e\xa7", ".m3u8", std::string(249, 'a') + ".m3u8"},
        // A cut that leaves a trailing space or dot drops it too.
        NameCase{std::string(249, 'a') + " .x" + std::string(10, 'y'), ".m3u8", std::string(249, 'a') + ".m3u8"}));

TEST(FoldCase, CapitalisesTheLettersFatFolds) {
  EXPECT_EQ(fold_case("Warm-up"), "WARM-UP");
  EXPECT_EQ(fold_case("caf\xc3\xa9 \xc3\xbf"), "CAF\xc3\x89 \xc5\xb8");  // é -> É, ÿ -> Ÿ
  EXPECT_EQ(fold_case("\xc5\x82\xc3\xb3"
                      "d\xc5\xba"),
            "\xc5\x81\xc3\x93"
            "D\xc5\xb9");  // łódź -> ŁÓDŹ
  EXPECT_EQ(fold_case("\xce\xb5\xce\xbb\xce\xbb\xce\xac\xcf\x82"),
            "\xce\x95\xce\x9b\xce\x9b\xce\x86\xce\xa3");  // ελλάς -> ΕΛΛΆΣ
  EXPECT_EQ(fold_case("\xd0\xbd\xd0\xbe\xd1\x87\xd1\x8c \xd1\x91"),
            "\xd0\x9d\xd0\x9e\xd0\xa7\xd0\xac \xd0\x81");  // ночь ё -> НОЧЬ Ё
  EXPECT_EQ(fold_case("\xe6\x9d\xb1\xe4\xba\xac \xc3\xb7"), "\xe6\x9d\xb1\xe4\xba\xac \xc3\xb7");  // unchanged
  EXPECT_EQ(fold_case("\xff"), "\xff");
}

struct FolderCase {
  std::vector<std::pair<std::string, std::string>> added;  // name, extension
  std::vector<std::string> names;
};

// A stable test name: gtest would otherwise print the case's bytes, which
// hold heap addresses and so differ from run to run.
void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.added.size() << " names"; }

class Folder : public ::testing::TestWithParam<FolderCase> {};

TEST_P(Folder, NumbersNamesThatClash) {
  FolderNames folder;
  std::vector<std::string> got;
  for (const auto& [name, extension] : GetParam().added) got.push_back(folder.add(name, extension));
  EXPECT_EQ(got, GetParam().names);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Folder,
    ::testing::Values(FolderCase{{{"Mix", ".m3u8"}, {"Mix", ".m3u8"}, {"Mix", ".m3u8"}},
                                 {"Mix.m3u8", "Mix (2).m3u8", "Mix (3).m3u8"}},
                      // Case folded as FAT compares; a folder and a playlist of one name do not clash.
                      FolderCase{{{"Mix", ".m3u8"}, {"MIX", ".m3u8"}, {"mix", ""}},
                                 {"Mix.m3u8", "MIX (2).m3u8", "mix"}},
                      FolderCase{{{"\xc3\xa9t\xc3\xa9", ""}, {"\xc3\x89T\xc3\x89", ""}},
                                 {"\xc3\xa9t\xc3\xa9", "\xc3\x89T\xc3\x89 (2)"}},
                      // Names that become equal once made safe, and a number already taken.
                      FolderCase{{{"a/b", ".m3u8"}, {"a:b", ".m3u8"}, {"a_b (2)", ".m3u8"}},
                                 {"a_b.m3u8", "a_b (2).m3u8", "a_b (2) (2).m3u8"}},
                      FolderCase{{{"Mix.m3u8", ""}, {"Mix", ".m3u8"}}, {"Mix.m3u8", "Mix (2).m3u8"}},
                      // A long name makes room for its number.
                      FolderCase{{{std::string(300, 'x'), ".m3u8"}, {std::string(300, 'x'), ".m3u8"}},
                                 {std::string(250, 'x') + ".m3u8", std::string(246, 'x') + " (2).m3u8"}}),
    [](const ::testing::TestParamInfo<FolderCase>& param) { return std::to_string(param.index); });

}  // namespace
}  // namespace dovrel
