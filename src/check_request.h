// The requests of "check" and "salvage":
//   {"action": "check", "input": PATH, "limit": N}
//   {"action": "salvage", "input": PATH, "output": PATH, "limit": N}
// "limit" (optional, default 1000) bounds the findings listed. As for the
// first three actions, "input" and "output" may be null (absent) and other
// keys are skipped.
#ifndef DOVREL_CHECK_REQUEST_H_
#define DOVREL_CHECK_REQUEST_H_

#include "request_readers.h"

namespace dovrel {

request_json::Status read_check_request(request_json::dom::object object, const request_json::Where& root,
                                        Request& request);
request_json::Status read_salvage_request(request_json::dom::object object, const request_json::Where& root,
                                          Request& request);

}  // namespace dovrel

#endif  // DOVREL_CHECK_REQUEST_H_
