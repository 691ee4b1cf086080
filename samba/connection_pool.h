// zefa-host's connection workers: a fixed number of threads started once,
// each with a payload buffer of its own. All buffers lie in one region that
// is mapped, locked and left out of core dumps once, at start, so serving a
// connection maps and locks nothing. A new connection waits in a queue for
// the next free worker.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "samba/secure_buffer.h"

namespace zefa::host {

// Serves one connection with the worker's buffer (wiped by the serve
// function after each request) and closes it.
using ServeConnectionFunction = std::function<void(int fd, uint8_t* buffer, size_t capacity)>;

struct ConnectionPool {
  std::mutex lock;  // guards waiting and stopping
  std::condition_variable wake;
  std::deque<int> waiting;  // connections handed over, not yet taken by a worker
  bool stopping = false;
  std::vector<std::thread> workers;
  SecureBuffer region;      // worker i's buffer: region.data + i * buffer_bytes
  size_t buffer_bytes = 0;  // at least the requested size, whole pages
  ServeConnectionFunction serve;
};

// Maps and locks the buffers of `workers` workers (`buffer_bytes` each) and
// starts them. False with `error` set when the memory could not be mapped or
// a thread could not start (the started ones are stopped again). A failed
// lock is no failure: pool.region.locked tells.
bool StartConnectionPool(ConnectionPool& pool, int workers, size_t buffer_bytes,
                         ServeConnectionFunction serve, std::string& error);

// Queues a connection for the next free worker.
void HandOverConnection(ConnectionPool& pool, int fd);

// Lets the workers finish the queued connections and end, waits for them,
// then wipes and frees the buffers.
void StopConnectionPool(ConnectionPool& pool);

}  // namespace zefa::host
