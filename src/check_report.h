// The line that "check" prints, and its object inside the line of
// "salvage":
//
//   {"counts":{"errors":1,"pages":41,"rows":{"albums":{"absent":0,"present":3},...},"warnings":0},
//    "findings":[{"code":"page-identity","message":"...","offset":8196,"page":2,"severity":"error",
//                 "table":"tracks"}],
//    "ok":false}
//
// Keys stand in ascending byte order; a finding carries "page", "table",
// "row", "offset" and "id" only where they apply. "rows" has one member per
// table of the directory, named as vantrel_pdb::table_name names it.
#ifndef DOVREL_CHECK_REPORT_H_
#define DOVREL_CHECK_REPORT_H_

#include "json_writer.h"
#include "vantrel_pdb/reading.h"

namespace dovrel {

// Writes the object of `findings` as the next value of `out`.
void write_check_object(const vantrel_pdb::Findings& findings, JsonWriter& out);

}  // namespace dovrel

#endif  // DOVREL_CHECK_REPORT_H_
