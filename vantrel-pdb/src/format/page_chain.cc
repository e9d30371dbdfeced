#include "format/page_chain.h"

#include <string>

#include "format/errors.h"

namespace vantrel_pdb::format {

std::expected<void, PdbError> PageChain::status() const {
  switch (state_) {
    case State::kBroken:
      return std::unexpected(errors::damaged("page chain of table kind " + std::to_string(entry_.kind) +
                                             " leaves the image or never reaches its last page"));
    case State::kPageSizeTooSmall:
      return std::unexpected(errors::damaged("page size " + std::to_string(page_size_) + " is too small"));
    case State::kWalking:
    case State::kDone: break;
  }
  return {};
}

}  // namespace vantrel_pdb::format
