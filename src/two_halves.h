// Work on a large list done in two halves at once: the second half by a
// helper thread, the first by the caller, with results as one pass in order
// would give them. The machine the tool runs on has at least two cores as
// a rule; below kWorthASecondThread items a thread costs more than it saves.
#ifndef DOVREL_TWO_HALVES_H_
#define DOVREL_TWO_HALVES_H_

#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

namespace dovrel {

inline constexpr std::size_t kWorthASecondThread = 20000;

// Calls work(begin, end) for [0, count) either once or, for a large count on
// a machine of more than one core, as [0, half) here and [half, count) on a
// helper thread at the same time. `work` must be safe to run so. An
// exception of either half (std::bad_alloc above all) is thrown here, on the
// caller's thread, once both halves have ended: none escapes the helper,
// where it would end the process.
template <class Work>
void in_two_halves(std::size_t count, Work&& work) {
  if (count >= kWorthASecondThread && std::thread::hardware_concurrency() > 1) {
    const std::size_t half = count / 2;
    std::exception_ptr helper_failure;
    std::optional<std::thread> helper;
    try {
      helper.emplace([&] {
        try {
          work(half, count);
        } catch (...) {
          helper_failure = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      // No thread to be had: this one does it all.
    }
    if (helper) {
      std::exception_ptr own_failure;
      try {
        work(std::size_t{0}, half);
      } catch (...) {
        own_failure = std::current_exception();
      }
      helper->join();
      if (own_failure) std::rethrow_exception(own_failure);
      if (helper_failure) std::rethrow_exception(helper_failure);
      return;
    }
  }
  work(std::size_t{0}, count);
}

}  // namespace dovrel

#endif  // DOVREL_TWO_HALVES_H_
