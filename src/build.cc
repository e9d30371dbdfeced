#include "build.h"

namespace dovrel {

Result<std::vector<std::uint8_t>> build(const Request&) { return fail("build is not available yet"); }

}  // namespace dovrel
