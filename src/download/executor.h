// The process-wide asynchronous executor of the download engine.
//
// One io_context, run by one background worker thread that starts on the
// first call to IoContext() and lives until the process ends. Everything the
// engine does (connections, HTTP exchanges, the download itself) runs as
// coroutines on this thread; each name lookup runs on a thread of its own
// so that the loop is never held up by it.
#ifndef TALVORO_DOWNLOAD_EXECUTOR_H_
#define TALVORO_DOWNLOAD_EXECUTOR_H_

#include <asio.hpp>

namespace talvoro {

// Returns the shared io_context, starting its worker thread on first use.
// Thread-safe. The context is never destroyed (the worker thread is detached
// and ends with the process).
asio::io_context& IoContext();

// Returns the executor of IoContext().
inline asio::any_io_executor EngineExecutor() {
  return IoContext().get_executor();
}

// Starts `task` as a detached coroutine on the engine's executor. The caller
// gets no handle; an exception escaping the task ends the process (the
// engine reports failures as values and throws none).
void SpawnDetached(asio::awaitable<void> task);

}  // namespace talvoro

#endif  // TALVORO_DOWNLOAD_EXECUTOR_H_
