// dovrel: one request, one line out. The request is the JSON object on
// standard input, or the one that a command form (`dovrel ACTION [OPTIONS]
// [ARGS]`, see command_line.h) makes of the arguments; both run the same
// code. On success the report (or the request that "scan" makes) goes to
// standard output and the exit status is 0; on failure the error's message
// goes to standard error, nothing to standard output, and the exit status
// is 1.
//
// Without a command form the only arguments are -h/--help and -V/--version,
// which print to standard output and exit 0; any other argument, like an
// unknown action or option of a command form, is a usage error, exit status
// 2, so that a caller can tell a mistaken command line from a failed
// request.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "actions.h"
#include "build_pipeline.h"
#include "command_line.h"
#include "heap_pages.h"
#include "human_output.h"
#include "mapped_file.h"
#include "report_sink.h"
#include "request.h"
#include "vantrel_pdb/files.h"

namespace {

// Writes all of `text` to `fd`; returns errno on failure, 0 on success.
int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t put = ::write(fd, text.data(), text.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    text.remove_prefix(static_cast<std::size_t>(put));
  }
  return 0;
}

// Prints the message and a line feed on standard error, any line break in
// it turned into a space so that it stays one line. Allocates nothing, so it
// serves after an allocation failure too.
void print_error(std::string_view message, std::string_view detail = {}, std::string_view tail = {}) {
  char buffer[512];
  std::size_t used = 0;
  auto flush = [&] {
    write_all(STDERR_FILENO, std::string_view(buffer, used));
    used = 0;
  };
  for (std::string_view part : {message, detail, tail}) {
    for (char c : part) {
      if (used == sizeof buffer) flush();
      buffer[used++] = (c == '\n' || c == '\r') ? ' ' : c;
    }
  }
  if (used == sizeof buffer) flush();
  buffer[used++] = '\n';
  flush();
}

#ifndef DOVREL_VERSION
#define DOVREL_VERSION "unknown"
#endif

// Exit status of a command line the tool does not take; 1 is a failed request.
constexpr int kUsageErrorStatus = 2;

constexpr std::string_view kUsage =
    "Usage: dovrel < request.json\n"
    "       dovrel -h | --help\n"
    "       dovrel -V | --version\n"
    "       dovrel ACTION [OPTIONS] [ARGS]   (see 'dovrel help' and 'dovrel help ACTION')\n"
    "\n"
    "Reads one JSON request on standard input and performs its \"action\":\n"
    "  read   decode the database at \"input\" and print its report\n"
    "  build  make a new database at \"output\" from \"tracks\" and \"playlists\"\n"
    "  patch  keep \"keepTracks\" and \"keepPlaylists\" of \"input\", rewrite \"tempos\",\n"
    "         and write the result to \"output\"\n"
    "  edit   apply \"changes\" in order to \"input\" (all or nothing) and write the\n"
    "         result to \"output\"\n"
    "  scan   read the audio files under \"folders\" of \"root\" and print the build\n"
    "         request of them (with \"input\": the edit request of that database)\n"
    "  export write the library of \"input\" to \"output\" as \"format\": \"m3u8\"\n"
    "         (a folder of playlists), \"csv\" (tracks and playlists) or \"html\"\n"
    "         (one page; thumbnails from \"root\")\n"
    "  check  say everything that is wrong with the database at \"input\" (at most\n"
    "         \"limit\" findings listed); exits 0 whatever it finds\n"
    "  salvage  write to \"output\" a new database of what can still be read of\n"
    "         \"input\", and say what was kept and lost\n"
    "\"build\", \"patch\" and \"edit\" take \"report\": \"summary\" for a short report.\n"
    "On success one line of JSON (the report, the request of \"scan\", or the\n"
    "line of \"check\" or \"salvage\") goes to standard output and the exit status\n"
    "is 0; on failure one line of text goes to standard error and the exit status\n"
    "is 1. A usage error exits with status 2.\n"
    "\n"
    "Each action has a command form that makes its request of the arguments and\n"
    "runs it the same way, such as 'dovrel read FILE' or 'dovrel patch FILE\n"
    "--keep-tracks 1,2,3 -o OUT'; on a terminal its line is shown as a table or a\n"
    "summary, and --print-request prints the request instead. See dovrel(1).\n";

// Shown when standard input is a terminal: someone typed the bare command
// and would otherwise face a silent wait.
constexpr std::string_view kTerminalHint =
    "dovrel: reading a JSON request from standard input (end it with Ctrl-D; see dovrel --help)";

bool is_help(std::string_view arg) { return arg == "-h" || arg == "--help"; }
bool is_version(std::string_view arg) { return arg == "-V" || arg == "--version"; }

int run_command(int argc, char** argv);

// Handles the command-line arguments; returns the exit status when they
// settle the run, or -1 when the request is to be read.
int handle_arguments(int argc, char** argv) {
  if (argc <= 1) return -1;
  std::string_view arg = argv[1];
  if (!arg.starts_with('-')) return run_command(argc, argv);
  if (argc == 2 && is_help(arg)) return write_all(STDOUT_FILENO, kUsage) == 0 ? 0 : 1;
  if (argc == 2 && is_version(arg)) {
    return write_all(STDOUT_FILENO, "dovrel " DOVREL_VERSION "\n") == 0 ? 0 : 1;
  }
  // After a valid option the surplus argument is the one to name.
  std::string_view unexpected = (is_help(arg) || is_version(arg)) ? std::string_view(argv[2]) : arg;
  print_error("usage: dovrel < request.json; unexpected argument: ", unexpected,
              "; try 'dovrel --help' for more information");
  return kUsageErrorStatus;
}

// What a request's run came to: the line to print, and what the printing
// needs to know of the request.
struct RunOutcome {
  dovrel::Result<dovrel::OutputLine> line = std::unexpected(dovrel::Error(""));
  std::string action;
  std::optional<std::string> output;
  bool writes_output = false;
};

// Parses and runs the request in `input` (its text, then room for the
// padding), the one path of standard input and the command forms alike.
RunOutcome run_parsed(dovrel::Result<dovrel::ParsedRequest> parsed) {
  RunOutcome outcome;
  if (!parsed) {
    outcome.line = std::unexpected(std::move(parsed.error()));
    return outcome;
  }
  dovrel::Request* request = &parsed->request;
  // Huge heap pages for every action but "check" and "salvage": these hold
  // the image they read (salvage also the one it writes) with a small heap
  // beside it, and the hint's spare memory would take them past their
  // budget for little gain.
  if (request->action != "check" && request->action != "salvage") dovrel::use_huge_heap_pages();
  outcome.action = request->action;
  outcome.output = request->output;
  // A build, patch, edit, export or salvage that succeeds has replaced its output.
  outcome.writes_output = request->action == "build" || request->action == "patch" || request->action == "edit" ||
                          request->action == "export" || request->action == "salvage";
  outcome.line = dovrel::run_action(std::move(*request), std::move(parsed->built));
  return outcome;
}

// A request of kPipelinedText bytes or more is a large build's, whose
// library is made as the request is read: huge heap pages from the start.
void before_parsing(std::size_t text_size) {
  if (text_size >= dovrel::kPipelinedText) dovrel::use_huge_heap_pages();
}

RunOutcome run_request(std::vector<std::uint8_t> input) {
  // The request's text goes as soon as it is parsed; its memory serves the
  // action.
  before_parsing(input.size());
  return run_parsed(dovrel::parse_request_building(std::move(input)));
}

// The outcome of the run once it is printed, kept to the process's end
// instead of freed: a large library's image, records and indexes are many
// blocks, and freeing them one by one took a 100,000-track read 4 ms of its
// 55 just before the process's end gave all the memory back at once. Held
// here, so that a leak check sees it reachable.
RunOutcome* finished = nullptr;

// Prints the outcome's line on standard output (`shown`, when the line is
// rendered for people), or its failure on standard error; returns the exit
// status. The outcome is kept (`finished`).
int print_outcome(RunOutcome&& done, const std::string* shown = nullptr) {
  finished = new RunOutcome(std::move(done));
  const RunOutcome& outcome = *finished;
  if (!outcome.line) {
    print_error(outcome.line.error().message);
    return 1;
  }
  // The line goes out block by block as it is made: a large report is never
  // held whole (output_line.h).
  const dovrel::OutputLine::Sink to_stdout = [&outcome](std::string_view block) -> dovrel::Result<void> {
    if (int error_number = write_all(STDOUT_FILENO, block); error_number != 0) {
      return dovrel::fail(std::string(outcome.writes_output ? dovrel::kReportLostAfterOutput
                                                            : dovrel::kCannotWriteReport)
                              .append(vantrel_pdb::os_error_message(error_number)));
    }
    return {};
  };
  dovrel::Result<void> printed;
  try {
    printed = shown != nullptr ? to_stdout(*shown) : outcome.line->print(to_stdout);
  } catch (const std::bad_alloc&) {
    // Memory ran out as the report was made: after a write, the output is
    // in place all the same, and the message says so.
    if (outcome.writes_output) {
      print_error(dovrel::kReportLostAfterOutput, "out of memory");
    } else {
      print_error("out of memory");
    }
    return 1;
  }
  if (!printed) {
    print_error(printed.error().message);
    return 1;
  }
  return 0;
}

int run() {
  if (::isatty(STDIN_FILENO) == 1) print_error(kTerminalHint);
  // A large request in a regular file is parsed where the page cache holds
  // it, instead of in a copy as large, and unmapped before the action runs.
  // The pages the parser has read are let go as it goes: the request's
  // text, which is as large as the image, is not all in memory beside the
  // library made of it.
  if (auto mapped = dovrel::map_rest_of_descriptor(STDIN_FILENO, dovrel::kPipelinedText, dovrel::kRequestPadding)) {
    const vantrel_pdb::Bytes bytes = mapped->bytes();
    before_parsing(bytes.size());
    auto parsed = dovrel::parse_request_building(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), dovrel::kPipelinedText,
        [&mapped](std::size_t read) { mapped->release_resident_before(read); });
    mapped.reset();
    return print_outcome(run_parsed(std::move(parsed)));
  }
  auto input = vantrel_pdb::read_descriptor(STDIN_FILENO, dovrel::kRequestPadding);
  if (!input) {
    print_error(input.error().message());
    return 1;
  }
  return print_outcome(run_request(std::move(*input)));
}

std::vector<std::uint8_t> bytes_of(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() + dovrel::kRequestPadding);
  bytes.assign(text.begin(), text.end());
  return bytes;
}

// A command form: its request, made of the arguments, runs as standard
// input's would; on a terminal (or with --format table or tree) the line
// is shown for people.
int run_command(int argc, char** argv) {
  auto line = dovrel::parse_command_line(argc, argv);
  if (!line) {
    print_error(line.error().message);
    return kUsageErrorStatus;
  }
  if (line->kind == dovrel::CommandLine::Kind::kHelp) return write_all(STDOUT_FILENO, line->help) == 0 ? 0 : 1;
  if (line->file == "-" && ::isatty(STDIN_FILENO) == 1) print_error(kTerminalHint);
  auto text = dovrel::request_text(*line);
  if (!text) {
    print_error(text.error().message);
    return 1;
  }
  if (line->print_request) {
    text->push_back('\n');
    return write_all(STDOUT_FILENO, *text) == 0 ? 0 : 1;
  }
  // One copy of the request at a time: the text goes before the run.
  std::vector<std::uint8_t> request = bytes_of(*text);
  std::string().swap(*text);
  RunOutcome outcome = run_request(std::move(request));
  // scan --build: the request the scan printed runs next, as a pipe into
  // dovrel would run it.
  if (line->build && outcome.line) {
    auto scan_request = outcome.line->joined();
    if (!scan_request) {
      print_error(scan_request.error().message);
      return 1;
    }
    outcome.line = dovrel::OutputLine();
    std::vector<std::uint8_t> scanned = bytes_of(*scan_request);
    std::string().swap(*scan_request);
    outcome = run_request(std::move(scanned));
  }
  dovrel::OutputFormat format = line->format;
  if (format == dovrel::OutputFormat::kAuto)
    format = ::isatty(STDOUT_FILENO) == 1 ? dovrel::OutputFormat::kTable : dovrel::OutputFormat::kJson;
  if (format == dovrel::OutputFormat::kJson || !outcome.line) return print_outcome(std::move(outcome));
  // A line without a layout of its own is shown as it is.
  auto whole = outcome.line->joined();
  if (!whole) {
    print_error(whole.error().message);
    return 1;
  }
  auto shown = dovrel::render_for_people(outcome.action, *whole, format, dovrel::terminal_width(),
                                         outcome.output.value_or(""));
  return print_outcome(std::move(outcome), shown ? &*shown : nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  // A closed standard output must fail the write (EPIPE), not kill the run
  // before it can say so.
  std::signal(SIGPIPE, SIG_IGN);
  // Likewise a file-size limit must fail the output write (EFBIG), so that
  // the temporary file is removed and the old output stays as it was.
  std::signal(SIGXFSZ, SIG_IGN);
  // A stop by SIGTERM, SIGINT or SIGHUP removes a half-written output file.
  vantrel_pdb::install_temp_file_cleanup();
  try {
    if (int status = handle_arguments(argc, argv); status >= 0) return status;
    return run();
  } catch (const std::bad_alloc&) {
    print_error("out of memory");
  } catch (const std::exception& e) {
    print_error("internal error: ", e.what());
  } catch (...) {
    print_error("internal error");
  }
  return 1;
}
