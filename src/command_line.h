// The command forms for people: `dovrel ACTION [OPTIONS] [ARGS]` turned into
// the JSON request that the action's standard-input form takes, so that both
// run the same code. Each action has a table of its positional arguments and
// options, and of the request key and value kind each one sets; the usage
// text of `dovrel help ACTION` is made from the same table.
//
// The request is compact JSON with its keys in ascending byte order. A
// request file (`build REQUEST.json`, `edit FILE CHANGES.json`; "-" reads
// standard input) is spliced, not re-serialised: each top-level field of
// the file is copied as it is written, numbers and escapes included, except
// the keys that the command line sets, which the command line's values
// replace.
#ifndef DOVREL_COMMAND_LINE_H_
#define DOVREL_COMMAND_LINE_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace dovrel {

// How the action's line is printed: as it is (json), or for people.
// kAuto: a table on a terminal, json otherwise.
enum class OutputFormat { kAuto, kJson, kTable, kTree };

// One top-level field of the request: its key as the parser sees it, the
// key as written (escapes kept) and the value's JSON text.
struct RequestField {
  std::string key;
  std::string raw_key;
  std::string value;
};

// How the request file of a command (its positional argument with no key
// of its own) is spliced into the request.
enum class RequestFile {
  kNone,
  kObject,           // build: a request object
  kChangesOrObject,  // edit: the "changes" array itself, or a request object
};

struct CommandLine {
  // kHelp: `help` is the text to print on standard output (exit 0).
  enum class Kind { kRun, kHelp };
  Kind kind = Kind::kRun;
  std::string help;

  std::string action;
  // The fields the command line sets, keys in ascending byte order.
  std::vector<RequestField> fields;
  // The request file to splice ("-": standard input), and how.
  RequestFile file_kind = RequestFile::kNone;
  std::string file;

  OutputFormat format = OutputFormat::kAuto;
  bool print_request = false;  // print the request instead of running it
  bool build = false;          // scan: run the printed request too
};

// True for the names of the actions the command forms take.
bool is_command_action(std::string_view name);

// Reads the arguments after the program name (argv[1] is the action, or
// "help"). A usage error (unknown action or option, a missing or surplus
// argument, a value of the wrong form) fails with one line that ends with a
// hint: "dovrel patch: --tempo: expected ID=BPM, got 7=x; try 'dovrel help
// patch'". Reads no file.
Result<CommandLine> parse_command_line(int argc, const char* const* argv);

// The request text of a parsed command line: its fields and, when it names
// a request file, that file's fields but those the command line sets. The
// file must hold one JSON object (or, for edit, an array: the "changes").
// Fails with the file's read error ("REQUEST.json: No such file or
// directory (os error 2)") or with "REQUEST.json: invalid JSON: ..." /
// "REQUEST.json: expected a JSON object".
Result<std::string> request_text(const CommandLine& line);

// As request_text, with the file's bytes given (tests; standard input).
Result<std::string> request_text(const CommandLine& line, std::string_view file_text);

// Usage of all actions (`dovrel help`), or of one (`dovrel help ACTION`).
std::string command_usage();
std::string action_usage(std::string_view action);

}  // namespace dovrel

#endif  // DOVREL_COMMAND_LINE_H_
