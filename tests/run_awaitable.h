// Runs one Asio coroutine to completion on a fresh io_context on the calling thread and returns
// its result (or rethrows its exception), for tests of awaitable operations.
#pragma once

#include <utility>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

namespace torvo::test {

template <class T>
T runAwaitable(asio::awaitable<T> operation) {
  asio::io_context io;
  auto result = asio::co_spawn(io, std::move(operation), asio::use_future);
  io.run();
  return result.get();
}

}  // namespace torvo::test
