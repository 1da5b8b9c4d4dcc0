// The completion token of the engine's awaited Asio operations.
#ifndef TALVORO_DOWNLOAD_AWAITABLE_H_
#define TALVORO_DOWNLOAD_AWAITABLE_H_

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>

namespace talvoro {

// `co_await op(..., kNoThrow)` gives a tuple of the error code and the
// results: the engine's errors are values, so nothing is thrown.
inline constexpr auto kNoThrow =
    asio::experimental::as_tuple(asio::use_awaitable);

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_AWAITABLE_H_
