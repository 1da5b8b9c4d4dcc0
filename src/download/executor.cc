#include "download/executor.h"

#include <exception>
#include <thread>

namespace talvoro {

namespace {

struct Engine {
  asio::io_context context{1};
  asio::executor_work_guard<asio::io_context::executor_type> work =
      asio::make_work_guard(context);

  Engine() {
    std::thread([this] { context.run(); }).detach();
  }
};

}  // namespace

asio::io_context& IoContext() {
  // Leaked on purpose: the worker thread may still be running handlers while
  // static destructors run at exit.
  static Engine* engine = new Engine;
  return engine->context;
}

void SpawnDetached(asio::awaitable<void> task) {
  asio::co_spawn(IoContext(), std::move(task), [](std::exception_ptr e) {
    if (e) std::rethrow_exception(e);
  });
}

}  // namespace talvoro
