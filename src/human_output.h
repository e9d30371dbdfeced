// The action's line shown for people on a terminal: it is parsed back (it
// is the JSON that --format json prints) and laid out to fit the width.
//   read:   a table of the tracks (id, artist, title, bpm, key, duration
//           m:ss), then the playlist tree with each playlist's entry count
//   tree:   the playlist tree only (--format tree, any report)
//   check:  one finding per line, then a line with the verdict
//   others: a short summary (what was written where, counts)
#ifndef DOVREL_HUMAN_OUTPUT_H_
#define DOVREL_HUMAN_OUTPUT_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "command_line.h"
#include "error.h"

namespace dovrel {

// The columns of the terminal on standard output: its window size, else
// $COLUMNS, else 80.
std::size_t terminal_width();

// Lays out `line`, the action's JSON line, as `format` (kTable or kTree)
// says, every line at most `width` columns wide where it is a table or the
// tree. `output` names the file the action wrote ("" when none). Fails
// only when the line is not the JSON object the action prints.
Result<std::string> render_for_people(std::string_view action, std::string_view line, OutputFormat format,
                                      std::size_t width, std::string_view output);

}  // namespace dovrel

#endif  // DOVREL_HUMAN_OUTPUT_H_
