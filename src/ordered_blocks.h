// A long list rendered as blocks handed out in order, by two threads at
// once where that is worth it, holding no more than a block per thread: the
// report of a large library goes to standard output so, and a large export
// to its file, never whole.
#ifndef DOVREL_ORDERED_BLOCKS_H_
#define DOVREL_ORDERED_BLOCKS_H_

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "error.h"
#include "json_writer.h"
#include "output_line.h"
#include "two_halves.h"

namespace dovrel {

// Items of one block.
inline constexpr std::size_t kItemsPerBlock = 1024;

// The text of a block: a JSON writer's (a report) or a string's (an export).
inline std::string_view block_text(const JsonWriter& block) { return block.str(); }
inline std::string_view block_text(const std::string& block) { return block; }

// Calls render(begin, end, block) for the blocks [0, n), [n, 2n), ... of
// [0, count) (n = `per_block`), each into `block`, a Block (cleared
// before, its memory kept), and hands each block to `sink` in order. From
// kWorthASecondThread items on a machine of more than one core, the even
// blocks are rendered here and the odd ones on a helper thread at the same
// time; each thread hands its block over when the one before it has gone,
// so at most one block per thread is held. The first failure (of render or
// of the sink) stops both threads and is returned; an exception of either
// (std::bad_alloc above all) is thrown here once both have ended.
template <class Block = JsonWriter, class Render>
Result<void> render_in_ordered_blocks(std::size_t count, std::size_t per_block, Render&& render,
                                      const OutputLine::Sink& sink) {
  const std::size_t blocks = (count + per_block - 1) / per_block;
  std::mutex mutex;
  std::condition_variable turn_changed;
  std::size_t turn = 0;  // the block to hand over next
  bool stopped = false;
  Result<void> failure;
  std::exception_ptr thrown[2];
  // Renders the blocks first, first + step, ...; thread `who` of two.
  auto work = [&](std::size_t first, std::size_t step, int who) {
    try {
      Block block;
      for (std::size_t b = first; b < blocks; b += step) {
        block.clear();
        const std::size_t begin = b * per_block;
        Result<void> made = render(begin, std::min(count, begin + per_block), block);
        std::unique_lock lock(mutex);
        turn_changed.wait(lock, [&] { return turn == b || stopped; });
        if (stopped) return;
        if (!made) {
          failure = std::move(made);
          stopped = true;
          turn_changed.notify_all();
          return;
        }
        // Only the thread whose turn it is hands a block over.
        lock.unlock();
        Result<void> handed = sink(block_text(block));
        lock.lock();
        if (!handed) {
          failure = std::move(handed);
          stopped = true;
        }
        ++turn;
        turn_changed.notify_all();
        if (stopped) return;
      }
    } catch (...) {
      thrown[who] = std::current_exception();
      std::lock_guard lock(mutex);
      stopped = true;
      turn_changed.notify_all();
    }
  };
  std::optional<std::thread> helper;
  if (count >= kWorthASecondThread && blocks > 1 && std::thread::hardware_concurrency() > 1) {
    try {
      helper.emplace(work, 1, 2, 1);
    } catch (const std::system_error&) {
      // No thread to be had: this one does it all.
    }
  }
  if (helper) {
    work(0, 2, 0);
    helper->join();
  } else {
    work(0, 1, 0);
  }
  for (const std::exception_ptr& e : thrown) {
    if (e) std::rethrow_exception(e);
  }
  return failure;
}

}  // namespace dovrel

#endif  // DOVREL_ORDERED_BLOCKS_H_
