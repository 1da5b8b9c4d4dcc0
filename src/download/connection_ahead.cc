#include "download/connection_ahead.h"

#include <utility>

#include "download/awaitable.h"
#include "download/executor.h"

namespace talvoro {

ConnectionAhead::ConnectionAhead(ParsedUrl url)
    : url_(std::move(url)), wake_(EngineExecutor()) {
  wake_.expires_at(asio::steady_timer::time_point::max());
}

std::shared_ptr<ConnectionAhead> ConnectionAhead::Open(ParsedUrl url,
                                                       ConnectOptions options,
                                                       bool with_next) {
  std::shared_ptr<ConnectionAhead> ahead(new ConnectionAhead(url));
  options.ahead = nullptr;
  SpawnDetached(Run(ahead, options));
  if (with_next) ahead->next_ = Open(std::move(url), std::move(options));
  return ahead;
}

std::shared_ptr<ConnectionAhead> ConnectionAhead::TakeNext(
    const ParsedUrl& url) {
  if (!next_ || !next_->OpenedFor(url)) return nullptr;
  return std::move(next_);
}

asio::awaitable<void> ConnectionAhead::Run(
    std::shared_ptr<ConnectionAhead> self, ConnectOptions options) {
  Result<SecureStream> stream =
      co_await OpenSecureStream(self->url_, std::move(options));
  self->opened_.emplace(std::move(stream));
  self->wake_.cancel();
}

asio::awaitable<std::optional<Result<SecureStream>>> ConnectionAhead::Take(
    const ParsedUrl& url) {
  if (taken_ || !OpenedFor(url)) co_return std::nullopt;
  taken_ = true;
  while (!opened_) co_await wake_.async_wait(kNoThrow);
  co_return std::move(opened_);
}

bool ConnectionAhead::OpenedFor(const ParsedUrl& url) const {
  return url.host == url_.host && url.port == url_.port &&
         url.path == url_.path;
}

}  // namespace talvoro
