#include "build_pipeline.h"

#include <simdjson.h>

#include <condition_variable>
#include <deque>
#include <exception>
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

// The batches on their way from the reading thread to the adding one.
class BatchQueue {
 public:
  using Batch = TrackAdder::Batch;

  void push(Batch&& batch) {
    {
      std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    batches_.clear();
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
    return batch;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
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

}  // namespace

Result<ParsedRequest> parse_request_building(std::vector<std::uint8_t> input, std::size_t min_text) {
  const std::size_t size = input.size();
  if (size < min_text || std::thread::hardware_concurrency() < 2) return parsed_alone(std::move(input));
  input.resize(size + kRequestPadding);
  const std::string_view text(reinterpret_cast<const char*>(input.data()), size);
  // The request's own reader gives the message for text that is not UTF-8.
  if (!simdjson::validate_utf8(text.data(), text.size())) {
    input.resize(size);
    return parsed_alone(std::move(input));
  }

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
    input.resize(size);
    return parsed_alone(std::move(input));
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
    const TrackBatchSink sink = [&queue, &first](std::vector<Track>&& tracks, std::size_t text_bytes) {
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
    adder.reset();
    input.resize(size);
    return parsed_alone(std::move(input));
  }
  std::vector<std::uint8_t>().swap(input);
  auto library = std::move(*adder).finish(*request);
  // The playlists went to the library too; the rest of the request serves the action.
  std::vector<Playlist>().swap(request->playlists);
  return ParsedRequest{std::move(*request), std::move(library)};
}

}  // namespace dovrel
