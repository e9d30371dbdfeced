#include "command_line.h"

#include <simdjson.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <system_error>
#include <utility>

#include "json_writer.h"
#include "vantrel_pdb/files.h"

namespace dovrel {

namespace {

// What an option's value becomes in the request, or what it tells the
// front end.
enum class Value {
  kString,        // a JSON string
  kUnsigned,      // an unsigned 32-bit integer
  kIdList,        // "1,2,3": an array of unsigned 32-bit integers ("" = [])
  kTempo,         // "ID=BPM", repeatable: one entry of the "tempos" object
  kStringList,    // repeatable: one more string of an array
  kConstant,      // a flag that sets the key to `constant`
  kOutputFormat,  // json, table or tree
  kJsonFormat,    // --json: the same as --format json
  kPrintRequest,
  kBuild,
  kHelp,
};

bool takes_value(Value v) {
  return v == Value::kString || v == Value::kUnsigned || v == Value::kIdList || v == Value::kTempo ||
         v == Value::kStringList || v == Value::kOutputFormat;
}

struct Option {
  std::string_view name;  // the long name, without "--"
  char letter;            // the short name, or 0
  std::string_view key;   // the request key it sets ("" for the front end's own)
  Value value;
  std::string_view arg;   // its value's name in the usage
  std::string_view text;  // its line in the usage
  std::string_view constant = {};
  bool required = false;
};

// A positional argument sets `key` to a string, or (no key) names the
// request file to splice.
struct Positional {
  std::string_view name;
  std::string_view key;
  std::string_view text;
};

struct Action {
  std::string_view name;
  std::string_view summary;
  std::vector<Positional> positionals;
  std::vector<Option> options;
  RequestFile file_kind = RequestFile::kNone;
  // Without -o (and without "output" in its request file) the output is
  // the input: an edit in place.
  bool in_place = false;
  std::string_view examples;
};

constexpr Option kSummaryOption{"summary",        0,  "report",
                                Value::kConstant, "", "print the short summary of the output (\"report\": \"summary\")",
                                "\"summary\""};
constexpr Option kLimitOption{"limit", 0, "limit", Value::kUnsigned, "N", "list at most N findings (\"limit\")"};

// The options every action takes after its own.
const std::vector<Option>& common_options(bool with_format) {
  static const std::vector<Option> with{
      {"format", 0, "", Value::kOutputFormat, "json|table|tree",
       "print the line as it is (json, the default when standard output is not a terminal) or for people"},
      {"json", 0, "", Value::kJsonFormat, "", "the same as --format json"},
      {"print-request", 0, "", Value::kPrintRequest, "", "print the request instead of running it"},
      {"help", 'h', "", Value::kHelp, "", "show this help"},
  };
  static const std::vector<Option> without(with.begin() + 1, with.end());
  return with_format ? with : without;
}

const std::vector<Action>& actions() {
  static const std::vector<Action> table{
      {"read",
       "Prints the report of the database FILE: a table of its tracks and its playlist tree on a terminal.",
       {{"FILE", "input", "the database (\"input\")"}},
       {},
       RequestFile::kNone,
       false,
       "dovrel read /media/stick/library.pdb\n"
       "dovrel read library.pdb --format tree\n"
       "dovrel read library.pdb | jq '.tracks | length'\n"},
      {"build",
       "Makes a new database from the tracks and playlists of REQUEST (a build request; - reads standard input).",
       {{"REQUEST", "", "a JSON request object; its keys but those set here are kept as written"}},
       {{"output", 'o', "output", Value::kString, "FILE", "write the database to FILE (\"output\")", {}, true},
        kSummaryOption},
       RequestFile::kObject,
       false,
       "dovrel build tracks.json -o /media/stick/library.pdb\n"
       "dovrel scan /media/stick -o library.pdb --format json | dovrel build - -o library.pdb\n"},
      {"patch",
       "Keeps the listed tracks and playlists of FILE, rewrites tempos, and writes the result (to FILE itself "
       "without -o).",
       {{"FILE", "input", "the database (\"input\")"}},
       {{"output", 'o', "output", Value::kString, "FILE", "write the result to FILE (\"output\"; default: FILE)"},
        {"keep-tracks", 0, "keepTracks", Value::kIdList, "IDS", "keep only these tracks, e.g. 1,2,3 (\"keepTracks\")"},
        {"keep-playlists", 0, "keepPlaylists", Value::kIdList, "IDS",
         "keep only these playlists and folders (\"keepPlaylists\")"},
        {"tempo", 0, "tempos", Value::kTempo, "ID=BPM",
         "set the tempo of track ID in beats per minute, e.g. 7=128.5 (\"tempos\", in hundredths: 12850; repeatable)"},
        kSummaryOption},
       RequestFile::kNone,
       true,
       "dovrel patch library.pdb --keep-tracks 1,2,3 --tempo 7=128.5 -o new.pdb\n"
       "dovrel patch library.pdb --keep-playlists 4 --summary\n"},
      {"edit",
       "Applies CHANGES (the \"changes\" array, or an edit request object) to FILE, all or nothing, and writes the "
       "result (to FILE itself without -o).",
       {{"FILE", "input", "the database (\"input\")"},
        {"CHANGES", "", "a JSON array of changes, or a request object; - reads standard input"}},
       {{"output", 'o', "output", Value::kString, "FILE", "write the result to FILE (\"output\"; default: FILE)"},
        kSummaryOption},
       RequestFile::kChangesOrObject,
       true,
       "dovrel edit library.pdb changes.json\n"
       "echo '[{\"op\":\"renamePlaylist\",\"id\":12,\"name\":\"Saturday\"}]' | dovrel edit library.pdb -\n"},
      {"check",
       "Says everything that is wrong with the database FILE; exits 0 whatever it finds.",
       {{"FILE", "input", "the database (\"input\")"}},
       {kLimitOption},
       RequestFile::kNone,
       false,
       "dovrel check /media/stick/library.pdb\n"
       "dovrel check library.pdb --limit 10 --format json\n"},
      {"salvage",
       "Writes to NEW (never FILE itself) a new database of what can still be read of FILE.",
       {{"FILE", "input", "the damaged database (\"input\")"}},
       {{"output", 'o', "output", Value::kString, "NEW", "write the new database to NEW (\"output\")", {}, true},
        kLimitOption},
       RequestFile::kNone,
       false,
       "dovrel salvage library.pdb -o rescued.pdb\n"},
      {"scan",
       "Reads the audio files under ROOT and prints the build request of them (with --input, the edit request "
       "that brings that database in line); with --build it runs that request too.",
       {{"ROOT", "root", "the stick's mount point (\"root\")"}},
       {{"output", 'o', "output", Value::kString, "FILE", "the database the request writes (\"output\")", {}, true},
        {"folder", 0, "folders", Value::kStringList, "DIR", "scan DIR under ROOT only (\"folders\"; repeatable)"},
        {"artwork-folder", 0, "artworkFolder", Value::kString, "DIR",
         "write the pictures to DIR under ROOT (\"artworkFolder\")"},
        {"input", 'i', "input", Value::kString, "FILE", "print the edit request that syncs FILE (\"input\")"},
        {"build", 0, "", Value::kBuild, "", "run the printed request at once and print its output instead"}},
       RequestFile::kNone,
       false,
       "dovrel scan /media/stick --folder music -o /media/stick/library.pdb --build\n"
       "dovrel scan /media/stick -o library.pdb -i library.pdb --artwork-folder art --build\n"},
      {"export",
       "Writes the library of FILE to OUT as m3u8 (a folder of playlists), csv or html (one page).",
       {{"FILE", "input", "the database (\"input\")"}},
       {{"format", 0, "format", Value::kString, "m3u8|csv|html", "the kind of files (\"format\")", {}, true},
        {"output", 'o', "output", Value::kString, "OUT", "write to OUT (\"output\")", {}, true},
        {"root", 0, "root", Value::kString, "DIR", "prefix of the audio and artwork paths (\"root\")"}},
       RequestFile::kNone,
       false,
       "dovrel export library.pdb --format html -o library.html --root /media/stick\n"
       "dovrel export library.pdb --format m3u8 -o lists\n"},
  };
  return table;
}

const Action* find_action(std::string_view name) {
  for (const Action& a : actions())
    if (a.name == name) return &a;
  return nullptr;
}

std::string hint(std::string_view action) {
  return action.empty() ? "; try 'dovrel help'" : "; try 'dovrel help " + std::string(action) + "'";
}

std::unexpected<Error> usage_error(std::string_view action, std::string_view message) {
  std::string line = action.empty() ? "dovrel: " : "dovrel " + std::string(action) + ": ";
  line += message;
  line += hint(action);
  return fail(std::move(line));
}

std::string option_label(const Option& o) {
  return o.letter != 0 ? "-" + std::string(1, o.letter) : "--" + std::string(o.name);
}

std::string json_string(std::string_view text) {
  JsonWriter w;
  w.string_value(text);
  return std::move(w).take();
}

std::optional<std::uint32_t> parse_u32(std::string_view text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "1,2,3" -> [1,2,3]; "" -> [].
std::optional<std::string> parse_id_list(std::string_view text) {
  JsonWriter w;
  w.begin_array();
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    auto id = parse_u32(text.substr(0, comma));
    if (!id) return std::nullopt;
    w.uint_value(*id);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
    if (text.empty()) return std::nullopt;  // a trailing comma
  }
  w.end_array();
  return std::move(w).take();
}

// A tempo in beats per minute, "128" or "128.5" (at most two decimals), as
// the request's "tempos" hold it: hundredths of a beat per minute.
std::optional<std::uint32_t> parse_bpm(std::string_view text) {
  const std::size_t dot = text.find('.');
  std::string_view whole = text.substr(0, dot);
  std::string_view fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  if (dot != std::string_view::npos && (fraction.empty() || fraction.size() > 2)) return std::nullopt;
  auto all_digits = [](std::string_view d) {
    return std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (whole.empty() || whole.size() > 8 || !all_digits(whole) || !all_digits(fraction)) return std::nullopt;
  std::uint64_t hundredths = 0;
  for (char c : whole) hundredths = hundredths * 10 + static_cast<std::uint64_t>(c - '0');
  hundredths *= 100;
  if (!fraction.empty()) hundredths += static_cast<std::uint64_t>(fraction[0] - '0') * 10;
  if (fraction.size() == 2) hundredths += static_cast<std::uint64_t>(fraction[1] - '0');
  return static_cast<std::uint32_t>(hundredths);  // at most 99999999.99
}

void append_usage_line(std::string& out, std::string_view left, std::string_view text) {
  constexpr std::size_t kColumn = 26;
  out += "  ";
  out += left;
  if (left.size() + 2 < kColumn) {
    out.append(kColumn - 2 - left.size(), ' ');
  } else {
    out += "\n";
    out.append(kColumn, ' ');
  }
  out += text;
  out += "\n";
}

std::string synopsis(const Action& a) {
  // Appended piece by piece: g++ 12 warns (-Wrestrict) of a false overlap
  // in the temporaries of a chain of string additions here.
  std::string line = "dovrel ";
  line.append(a.name);
  for (const Positional& p : a.positionals) line.append(" ").append(p.name);
  for (const Option& o : a.options) {
    if (!o.required) continue;
    line.append(" ").append(option_label(o)).append(" ").append(o.arg);
  }
  line += " [OPTIONS]";
  return line;
}

}  // namespace

bool is_command_action(std::string_view name) { return find_action(name) != nullptr; }

std::string command_usage() {
  std::string out = "Usage: dovrel ACTION [OPTIONS] [ARGS]   (one request made of the command line)\n";
  for (const Action& a : actions()) out += "       " + synopsis(a) + "\n";
  out +=
      "       dovrel help [ACTION]\n"
      "       dovrel < request.json              (the JSON request on standard input)\n"
      "\n"
      "Each form builds the JSON request of its action (--print-request shows it) and runs it\n"
      "as standard input would. See 'dovrel help ACTION', dovrel --help and dovrel(1).\n";
  return out;
}

std::string action_usage(std::string_view name) {
  const Action* a = find_action(name);
  if (a == nullptr) return command_usage();
  std::string out = "Usage: " + synopsis(*a) + "\n" + std::string(a->summary) + "\n";
  out += "The request: {\"action\":\"" + std::string(a->name) + "\",...}";
  if (a->in_place) out += "; without -o, \"output\" is FILE";
  out += "\n\nArguments:\n";
  for (const Positional& p : a->positionals) append_usage_line(out, p.name, p.text);
  out += "Options:\n";
  auto add = [&](const Option& o) {
    std::string left = o.letter != 0 ? "-" + std::string(1, o.letter) + ", --" : "--";
    left += o.name;
    if (!o.arg.empty()) left += " " + std::string(o.arg);
    append_usage_line(out, left, o.text);
  };
  for (const Option& o : a->options) add(o);
  for (const Option& o : common_options(name != "export")) add(o);
  out += "\nExamples:\n";
  std::string_view examples = a->examples;
  while (!examples.empty()) {
    const std::size_t end = examples.find('\n');
    out += "  " + std::string(examples.substr(0, end)) + "\n";
    examples.remove_prefix(end == std::string_view::npos ? examples.size() : end + 1);
  }
  return out;
}

Result<CommandLine> parse_command_line(int argc, const char* const* argv) {
  CommandLine line;
  if (argc < 2) return usage_error("", "no action given");
  std::string_view name = argv[1];
  if (name == "help") {
    if (argc > 3) return usage_error("", std::string("help: unexpected argument: ") + argv[3]);
    if (argc == 3 && !is_command_action(argv[2])) return usage_error("", std::string("unknown action: ") + argv[2]);
    line.kind = CommandLine::Kind::kHelp;
    line.help = argc == 3 ? action_usage(argv[2]) : command_usage();
    return line;
  }
  const Action* action = find_action(name);
  if (action == nullptr) return usage_error("", "unknown action: " + std::string(name));
  line.action = action->name;
  line.file_kind = action->file_kind;

  std::map<std::string, std::string, std::less<>> values;  // key -> JSON text
  std::map<std::string, std::string> tempos;               // id -> hundredths
  std::map<std::string, std::vector<std::string>, std::less<>> lists;
  std::vector<std::string_view> positionals;
  std::vector<const Option*> given;
  const auto& common = common_options(action->name != "export");

  auto find_option = [&](std::string_view long_name, char letter) -> const Option* {
    for (const auto* options : {&action->options, &common})
      for (const Option& o : *options)
        if (letter != 0 ? o.letter == letter : o.name == long_name) return &o;
    return nullptr;
  };

  bool options_done = false;
  for (int i = 2; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (!options_done && arg == "--") {
      options_done = true;
      continue;
    }
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      if (positionals.size() == action->positionals.size())
        return usage_error(name, "unexpected argument: " + std::string(arg));
      positionals.push_back(arg);
      continue;
    }
    const Option* option = nullptr;
    std::optional<std::string_view> inline_value;
    if (arg[1] == '-') {
      std::string_view long_name = arg.substr(2);
      if (const std::size_t eq = long_name.find('='); eq != std::string_view::npos) {
        inline_value = long_name.substr(eq + 1);
        long_name = long_name.substr(0, eq);
      }
      option = find_option(long_name, 0);
    } else {
      option = find_option({}, arg[1]);
      if (option != nullptr && arg.size() > 2) {
        if (!takes_value(option->value))
          option = nullptr;  // no bundled flags
        else
          inline_value = arg.substr(2);
      }
    }
    if (option == nullptr) {
      std::string shown(arg.substr(0, arg.find('=')));
      return usage_error(name, "unknown option: " + shown);
    }
    const std::string label = arg[1] == '-' ? "--" + std::string(option->name) : option_label(*option);
    std::string_view value;
    if (takes_value(option->value)) {
      if (inline_value) {
        value = *inline_value;
      } else {
        if (i + 1 == argc) return usage_error(name, label + " needs a value (" + std::string(option->arg) + ")");
        value = argv[++i];
      }
    } else if (inline_value) {
      return usage_error(name, label + " takes no value");
    }
    given.push_back(option);
    auto bad_value = [&](std::string_view expected) {
      return usage_error(name, label + ": expected " + std::string(expected) + ", got " + std::string(value));
    };
    switch (option->value) {
      case Value::kString: values[std::string(option->key)] = json_string(value); break;
      case Value::kUnsigned: {
        auto n = parse_u32(value);
        if (!n) return bad_value("an unsigned 32-bit integer");
        values[std::string(option->key)] = std::to_string(*n);
        break;
      }
      case Value::kIdList: {
        auto list = parse_id_list(value);
        if (!list) return bad_value("ids separated by commas");
        values[std::string(option->key)] = std::move(*list);
        break;
      }
      case Value::kTempo: {
        const std::size_t eq = value.find('=');
        auto id = eq == std::string_view::npos ? std::nullopt : parse_u32(value.substr(0, eq));
        auto bpm = eq == std::string_view::npos ? std::nullopt : parse_bpm(value.substr(eq + 1));
        if (!id || !bpm) return bad_value("ID=BPM (beats per minute, at most two decimals)");
        tempos[std::to_string(*id)] = std::to_string(*bpm);  // a later ID wins
        break;
      }
      case Value::kStringList: lists[std::string(option->key)].push_back(json_string(value)); break;
      case Value::kConstant: values[std::string(option->key)] = std::string(option->constant); break;
      case Value::kOutputFormat:
        if (value == "json")
          line.format = OutputFormat::kJson;
        else if (value == "table")
          line.format = OutputFormat::kTable;
        else if (value == "tree")
          line.format = OutputFormat::kTree;
        else
          return bad_value("json, table or tree");
        break;
      case Value::kJsonFormat: line.format = OutputFormat::kJson; break;
      case Value::kPrintRequest: line.print_request = true; break;
      case Value::kBuild: line.build = true; break;
      case Value::kHelp:
        line.kind = CommandLine::Kind::kHelp;
        line.help = action_usage(action->name);
        return line;
    }
  }
  if (positionals.size() < action->positionals.size())
    return usage_error(name, "missing " + std::string(action->positionals[positionals.size()].name));
  for (const Option& o : action->options) {
    if (o.required && std::find(given.begin(), given.end(), &o) == given.end())
      return usage_error(name, "missing " + option_label(o) + " " + std::string(o.arg));
  }
  for (std::size_t i = 0; i < positionals.size(); ++i) {
    const Positional& p = action->positionals[i];
    if (p.key.empty()) {
      line.file = std::string(positionals[i]);
    } else {
      values[std::string(p.key)] = json_string(positionals[i]);
    }
  }
  if (!tempos.empty()) {
    std::string text = "{";
    for (const auto& [id, bpm] : tempos) {
      if (text.size() > 1) text += ",";
      text += "\"" + id + "\":" + bpm;
    }
    values["tempos"] = text + "}";
  }
  for (const auto& [key, items] : lists) {
    std::string text = "[";
    for (const std::string& item : items) {
      if (text.size() > 1) text += ",";
      text += item;
    }
    values[key] = text + "]";
  }
  values["action"] = json_string(action->name);
  if (action->in_place && !values.contains("output") && action->file_kind == RequestFile::kNone)
    values["output"] = values["input"];
  for (auto& [key, value] : values) line.fields.push_back({key, key, std::move(value)});
  return line;
}

namespace {

namespace od = simdjson::ondemand;

std::unexpected<Error> file_error(const CommandLine& line, std::string_view message) {
  return fail((line.file == "-" ? std::string("standard input") : line.file) + ": " + std::string(message));
}

std::unexpected<Error> json_error(const CommandLine& line, simdjson::error_code code) {
  return file_error(line, std::string("invalid JSON: ") + simdjson::error_message(code));
}

// Raw JSON text may run on into the whitespace after the value.
std::string_view trim_space(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// The JSON text of a value, which the iteration then steps over.
simdjson::simdjson_result<std::string_view> raw_value(od::value value) {
  od::json_type type;
  if (auto error = value.type().get(type)) return error;
  if (type == od::json_type::object) {
    od::object object;
    if (auto error = value.get_object().get(object)) return error;
    std::string_view raw;
    if (auto error = object.raw_json().get(raw)) return error;
    return trim_space(raw);
  }
  if (type == od::json_type::array) {
    od::array array;
    if (auto error = value.get_array().get(array)) return error;
    std::string_view raw;
    if (auto error = array.raw_json().get(raw)) return error;
    return trim_space(raw);
  }
  std::string_view token = trim_space(value.raw_json_token());
  if (type == od::json_type::string) {
    // Consumes the value so that the object iteration goes on past it.
    std::string_view unused;
    if (auto error = value.get_string().get(unused)) return error;
  } else if (type == od::json_type::boolean) {
    bool unused = false;
    if (auto error = value.get_bool().get(unused)) return error;
  } else if (type == od::json_type::null) {
    bool is_null = false;
    if (auto error = value.is_null().get(is_null)) return error;
  }
  // A number is not converted (it may be beyond 64 bits): the token is its text.
  return token;
}

// The key as written, between its quotes: escapes kept.
std::string_view raw_key_text(od::raw_json_string key) {
  const char* start = key.raw();
  const char* end = start;
  while (*end != '"') end += (*end == '\\') ? 2 : 1;
  return std::string_view(start, static_cast<std::size_t>(end - start));
}

}  // namespace

Result<std::string> request_text(const CommandLine& line, std::string_view file_text) {
  std::vector<RequestField> fields = line.fields;
  auto sets = [&](std::string_view key) {
    return std::any_of(line.fields.begin(), line.fields.end(), [&](const RequestField& f) { return f.key == key; });
  };
  if (line.file_kind != RequestFile::kNone) {
    simdjson::padded_string padded(file_text);
    od::parser parser;
    od::document doc;
    if (auto error = parser.iterate(padded).get(doc)) return json_error(line, error);
    od::json_type type;
    if (auto error = doc.type().get(type)) return json_error(line, error);
    if (type == od::json_type::array && line.file_kind == RequestFile::kChangesOrObject) {
      od::array changes;
      std::string_view raw;
      if (auto error = doc.get_array().get(changes)) return json_error(line, error);
      if (auto error = changes.raw_json().get(raw)) return json_error(line, error);
      if (!sets("changes")) fields.push_back({"changes", "changes", std::string(trim_space(raw))});
    } else if (type == od::json_type::object) {
      od::object object;
      if (auto error = doc.get_object().get(object)) return json_error(line, error);
      for (auto field_result : object) {
        od::field field;
        if (auto error = std::move(field_result).get(field)) return json_error(line, error);
        const std::string raw_key(raw_key_text(field.key()));
        std::string_view key;
        if (auto error = field.unescaped_key().get(key)) return json_error(line, error);
        std::string_view value;
        if (auto error = raw_value(field.value()).get(value)) return json_error(line, error);
        if (!sets(key)) fields.push_back({std::string(key), raw_key, std::string(value)});
      }
    } else {
      return file_error(
          line, line.file_kind == RequestFile::kObject ? "expected a JSON object" : "expected a JSON array or object");
    }
    // Past the value the document must be over.
    if (doc.current_location().error() == simdjson::SUCCESS) return json_error(line, simdjson::TRAILING_CONTENT);
    // An edit in place unless the command line or the file names the output.
    const Action* action = find_action(line.action);
    const bool has_output =
        std::any_of(fields.begin(), fields.end(), [](const RequestField& f) { return f.key == "output"; });
    if (action != nullptr && action->in_place && !has_output) {
      for (const RequestField& f : line.fields)
        if (f.key == "input") fields.push_back({"output", "output", f.value});
    }
  }
  // Ascending byte order of the keys; a key the file gives twice stays twice,
  // so that the request fails as the file would.
  std::stable_sort(fields.begin(), fields.end(),
                   [](const RequestField& a, const RequestField& b) { return a.key < b.key; });
  JsonWriter w;
  w.begin_object();
  for (const RequestField& f : fields) w.raw_field(f.raw_key, f.value);
  w.end_object();
  return std::move(w).take();
}

Result<std::string> request_text(const CommandLine& line) {
  if (line.file_kind == RequestFile::kNone) return request_text(line, {});
  auto bytes = line.file == "-" ? vantrel_pdb::read_descriptor(STDIN_FILENO, 0) : vantrel_pdb::read_file(line.file);
  if (!bytes) return file_error(line, bytes.error().message());
  return request_text(line, std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

}  // namespace dovrel
