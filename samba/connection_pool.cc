#include "samba/connection_pool.h"

#include <unistd.h>

#include <utility>

namespace zefa::host {

namespace {

void Worker(ConnectionPool* pool, size_t number) {
  uint8_t* buffer = pool->region.data + number * pool->buffer_bytes;
  for (;;) {
    int fd = -1;
    {
      std::unique_lock<std::mutex> guard(pool->lock);
      pool->wake.wait(guard, [pool] { return pool->stopping || !pool->waiting.empty(); });
      if (pool->waiting.empty()) return;  // stopping, nothing left
      fd = pool->waiting.front();
      pool->waiting.pop_front();
    }
    pool->serve(fd, buffer, pool->buffer_bytes);
  }
}

}  // namespace

bool StartConnectionPool(ConnectionPool& pool, int workers, size_t buffer_bytes,
                         ServeConnectionFunction serve, std::string& error) {
  const long page_size = sysconf(_SC_PAGESIZE);
  const size_t page = page_size > 0 ? static_cast<size_t>(page_size) : 4096;
  pool.buffer_bytes = (buffer_bytes + page - 1) / page * page;
  pool.serve = std::move(serve);
  pool.stopping = false;
  const size_t count = workers > 0 ? static_cast<size_t>(workers) : 1;
  if (!AllocateSecureBuffer(pool.region, count * pool.buffer_bytes)) {
    error = "no memory for the connection buffers";
    return false;
  }
  try {
    pool.workers.reserve(count);
    for (size_t i = 0; i < count; ++i) pool.workers.emplace_back(Worker, &pool, i);
  } catch (...) {
    error = "cannot start the connection threads";
    StopConnectionPool(pool);
    return false;
  }
  return true;
}

void HandOverConnection(ConnectionPool& pool, int fd) {
  {
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.waiting.push_back(fd);
  }
  pool.wake.notify_one();
}

void StopConnectionPool(ConnectionPool& pool) {
  {
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.stopping = true;
  }
  pool.wake.notify_all();
  for (std::thread& worker : pool.workers) worker.join();
  pool.workers.clear();
  FreeSecureBuffer(pool.region);
}

}  // namespace zefa::host
