// An answer held in memory as the ByteSource of GetResponse, for the fuzz
// targets and the unit tests, and a way to run an engine coroutine to its
// end on the calling thread.
#ifndef TALVORO_TESTS_FUZZ_MEMORY_SOURCE_H_
#define TALVORO_TESTS_FUZZ_MEMORY_SOURCE_H_

#include <algorithm>
#include <asio.hpp>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "download/http.h"
#include "fuzz_check.h"

namespace talvoro::testing {

// Hands out `data` in pieces: the sizes in `pieces` in turn, starting again
// after the last (all of it at once when `pieces` is empty), each cut to the
// caller's buffer and to what is left. After the last byte every read
// returns the end of the stream, or `end_error` when there is one.
class MemorySource : public ByteSource {
 public:
  MemorySource(std::string data, std::vector<size_t> pieces,
               std::optional<Error> end_error = std::nullopt)
      : data_(std::move(data)),
        pieces_(std::move(pieces)),
        end_error_(std::move(end_error)) {}

  asio::awaitable<Result<size_t>> ReadSome(asio::mutable_buffer out) override {
    // Reading into no room at all would look like the end of the stream.
    FUZZ_CHECK(out.size() > 0);
    if (at_ == data_.size()) {
      if (end_error_) co_return *end_error_;
      co_return size_t{0};
    }
    size_t n = data_.size() - at_;
    if (!pieces_.empty()) {
      n = std::min(n, std::max<size_t>(pieces_[next_piece_], 1));
      next_piece_ = (next_piece_ + 1) % pieces_.size();
    }
    n = std::min(n, out.size());
    std::memcpy(out.data(), data_.data() + at_, n);
    at_ += n;
    co_return n;
  }

 private:
  std::string data_;
  std::vector<size_t> pieces_;
  std::optional<Error> end_error_;
  size_t at_ = 0;
  size_t next_piece_ = 0;
};

// Runs `task` on an io_context of the calling thread until it is done and
// returns its value. `task` must not wait for anything but its ByteSource.
template <typename T>
T RunHere(asio::awaitable<T> task) {
  // One context for all runs of the thread, cheaper than one per run.
  thread_local asio::io_context context;
  context.restart();
  std::optional<T> value;
  asio::co_spawn(
      context,
      [](std::optional<T>* value,
         asio::awaitable<T> task) -> asio::awaitable<void> {
        value->emplace(co_await std::move(task));
      }(&value, std::move(task)),
      asio::detached);
  context.run();
  FUZZ_CHECK(value.has_value());
  return std::move(*value);
}

}  // namespace talvoro::testing

#endif  // TALVORO_TESTS_FUZZ_MEMORY_SOURCE_H_
