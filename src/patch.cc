#include "patch.h"

namespace dovrel {

Result<std::vector<std::uint8_t>> patch(std::vector<std::uint8_t>, const Request&) {
  return fail("patch is not available yet");
}

}  // namespace dovrel
