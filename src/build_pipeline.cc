#include "build_pipeline.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "build.h"
#include "request_one_pass.h"

namespace dovrel {

namespace {

// The reader prepares a batch itself once this many wait for the adder: one
// waits whenever the adder is busy, two when it falls behind.
constexpr std::size_t kBacklogToPrepare = 2;
// The reader waits once this many batches wait for the adder: a slow adder
// (fresh pages of the image can be slow to come) must not let the whole
// parsed request pile up in memory.
constexpr std::size_t kMostWaiting = 8;

// The batches on their way from the reading thread to the adding one.
class BatchQueue {
 public:
  using Batch = TrackAdder::Batch;

  // Waits while kMostWaiting batches wait already.
  void push(Batch&& batch) {
    {
      std::unique_lock lock(mutex_);
      room_.wait(lock, [this] { return abandoned_ || batches_.size() < kMostWaiting; });
      if (abandoned_) return;
      batches_.push_back(std::move(batch));
    }
    ready_.notify_one();
  }

  // No more batches will come.
  void close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    ready_.notify_one();
  }

  // The adder has stopped: later batches are dropped as they come.
  void abandon() {
    {
      std::lock_guard lock(mutex_);
      abandoned_ = true;
      batches_.clear();
    }
    room_.notify_all();
  }

  // The batches that wait for the adder.
  std::size_t waiting() {
    std::lock_guard lock(mutex_);
    return batches_.size();
  }

  // A batch the adder is done with, to be freed by the thread that made it.
  void give_back(Batch&& batch) {
    std::lock_guard lock(mutex_);
    done_.push_back(std::move(batch));
  }

  // The batches given back so far.
  std::vector<Batch> take_back() {
    std::lock_guard lock(mutex_);
    return std::exchange(done_, {});
  }

  // The next batch, or nothing once the queue is closed and empty.
  std::optional<Batch> pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return closed_ || !batches_.empty(); });
    if (batches_.empty()) return std::nullopt;
    auto batch = std::move(batches_.front());
    batches_.pop_front();
    lock.unlock();
    room_.notify_one();
    return batch;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<Batch> batches_;
  std::vector<Batch> done_;
  bool closed_ = false;
  bool abandoned_ = false;
};

Result<ParsedRequest> parsed_alone(std::vector<std::uint8_t> input) {
  auto request = parse_request_taking(std::move(input));
  if (!request) return std::unexpected(std::move(request.error()));
  return ParsedRequest{std::move(*request), std::nullopt};
}

// The build of `text` (followed by kRequestPadding readable bytes) made as
// it is read; nothing when the request's own reader must read it instead.
// `release` is called once the text is no longer needed, `text_read` (when
// given) every kTextReadStep bytes of tracks read.
std::optional<Result<ParsedRequest>> build_in_one_pass(std::string_view text, const std::function<void()>& release,
                                                       const TextRead& text_read) {
  const std::size_t size = text.size();
  // Text that is not UTF-8 needs no pass of its own: the parser's first
  // pass checks every byte before a track is read, and its failure gives
  // the text to the request's own reader, which gives the message.
  BatchQueue queue;
  std::optional<TrackAdder> adder(TrackAdder::for_text(size));
  std::exception_ptr adder_failure;
  std::optional<std::thread> adding;
  try {
    adding.emplace([&] {
      try {
        while (auto batch = queue.pop()) {
          adder->add(*batch);
          queue.give_back(std::move(*batch));
        }
      } catch (...) {
        adder_failure = std::current_exception();
        queue.abandon();
      }
    });
  } catch (const std::system_error&) {
    // No thread to be had: the request is parsed first and built after.
    return std::nullopt;
  }
  std::optional<Request> request;
  std::exception_ptr reader_failure;
  try {
    // A batch's tracks are prepared (their rows encoded) here while the
    // adder is busy with an earlier one, else by the adder, so that the two
    // threads share that work as their pace allows; what is made either way
    // is the same. The batches the adder is done with are freed here, where
    // they were made: memory freed on another thread than the one that
    // allocated it costs both threads a lock.
    bool first = true;
    std::size_t told = 0;
    const TrackBatchSink sink = [&](std::vector<Track>&& tracks, std::size_t text_bytes) {
      // The bytes of the tracks array read are fewer than those of the text
      // read, which starts before the array: what is told is read.
      if (text_read && text_bytes - told >= kTextReadStep) text_read(told = text_bytes);
      auto batch = TrackAdder::batch_of(std::move(tracks), text_bytes, std::exchange(first, false));
      if (queue.waiting() >= kBacklogToPrepare) TrackAdder::prepare(batch);
      queue.push(std::move(batch));
      queue.take_back();
    };
    request = read_build_in_one_pass(text, &sink);
  } catch (...) {
    reader_failure = std::current_exception();
  }
  queue.close();
  adding->join();
  if (reader_failure) std::rethrow_exception(reader_failure);
  if (adder_failure) std::rethrow_exception(adder_failure);
  if (!request) {
    // Not a build the one pass reads, or a fault in it: what was added goes,
    // and the request's own reader gives the request or its message.
    return std::nullopt;
  }
  release();
  auto library = std::move(*adder).finish(*request);
  // The playlists went to the library too; the rest of the request serves the action.
  std::vector<Playlist>().swap(request->playlists);
  return ParsedRequest{std::move(*request), std::move(library)};
}

bool worth_a_second_thread(std::size_t size, std::size_t min_text) {
  return size >= min_text && std::thread::hardware_concurrency() >= 2;
}

}  // namespace

Result<ParsedRequest> parse_request_building(std::vector<std::uint8_t> input, std::size_t min_text) {
  const std::size_t size = input.size();
  if (!worth_a_second_thread(size, min_text)) return parsed_alone(std::move(input));
  input.resize(size + kRequestPadding);
  const std::string_view text(reinterpret_cast<const char*>(input.data()), size);
  auto built = build_in_one_pass(text, [&input] { std::vector<std::uint8_t>().swap(input); }, {});
  if (built) return std::move(*built);
  input.resize(size);
  return parsed_alone(std::move(input));
}

Result<ParsedRequest> parse_request_building(std::string_view padded_text, std::size_t min_text,
                                             const TextRead& text_read) {
  if (worth_a_second_thread(padded_text.size(), min_text)) {
    const auto callers_text = [] {};  // the text is the caller's to let go of
    auto built = build_in_one_pass(padded_text, callers_text, text_read);
    if (built) return std::move(*built);
  }
  return parsed_alone(std::vector<std::uint8_t>(padded_text.begin(), padded_text.end()));
}

}  // namespace dovrel
