// side_by_side: two pieces of work at once, the second on a helper thread,
// for the library's decodes of large images on a machine of more than one
// core.
//
// Internal to the library.
#ifndef VANTREL_PDB_UTIL_SIDE_BY_SIDE_H_
#define VANTREL_PDB_UTIL_SIDE_BY_SIDE_H_

#include <cstdint>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>

namespace vantrel_pdb {

// From this image size up the library's decodes and checks of a whole image
// are split across two threads: below it a thread costs about what it saves.
inline constexpr std::uint64_t kSideBySideImageBytes = std::uint64_t{1} << 20;

// Runs first() on the caller's thread and second() on a helper thread at
// the same time, and returns once both have ended; on a machine of one core,
// or when no thread is to be had, runs first() then second() here. An
// exception of either (std::bad_alloc above all) is thrown here once both
// have ended, first()'s before second()'s: none escapes the helper thread,
// where it would end the process. The two must be safe to run at once.
template <class First, class Second>
void side_by_side(First&& first, Second&& second) {
  std::exception_ptr helper_failure;
  std::optional<std::thread> helper;
  if (std::thread::hardware_concurrency() > 1) {
    try {
      helper.emplace([&] {
        try {
          second();
        } catch (...) {
          helper_failure = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      // No thread to be had: this one does both.
    }
  }
  if (!helper) {
    first();
    second();
    return;
  }
  std::exception_ptr own_failure;
  try {
    first();
  } catch (...) {
    own_failure = std::current_exception();
  }
  helper->join();
  if (own_failure) std::rethrow_exception(own_failure);
  if (helper_failure) std::rethrow_exception(helper_failure);
}

}  // namespace vantrel_pdb

#endif  // VANTREL_PDB_UTIL_SIDE_BY_SIDE_H_
