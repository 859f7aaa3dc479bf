// The worker pool every CPU simulation uses: one standard thread per hardware thread, work handed
// out in chunks through an atomic counter, joined before returning. An exception in any worker
// stops the others at their next chunk and is rethrown on the calling thread after the join.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace velm::cpu {

// Worker count: hardware concurrency (at least 1), unless VELM_NUM_THREADS sets it. Results of
// every simulation are independent of this number.
inline unsigned worker_count() {
  if (const char* env = std::getenv("VELM_NUM_THREADS")) {
    const long n = std::strtol(env, nullptr, 10);
    if (n > 0 && n < 4096) return static_cast<unsigned>(n);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

// Runs body(worker_index, begin, end) over [0, total) in chunks of `chunk` items. Each worker
// owns worker_index's slot of any per-worker accumulator the caller keeps.
template <class Body>
void parallel_chunks(unsigned workers, uint64_t total, uint64_t chunk, Body&& body) {
  if (total == 0) return;
  chunk = std::max<uint64_t>(1, chunk);
  std::atomic<uint64_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex error_mutex;
  auto run = [&](unsigned w) {
    try {
      while (!failed.load(std::memory_order_relaxed)) {
        const uint64_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
        if (begin >= total) break;
        body(w, begin, std::min(total, begin + chunk));
      }
    } catch (...) {
      std::lock_guard<std::mutex> lock(error_mutex);
      if (!error) error = std::current_exception();
      failed.store(true);
    }
  };
  workers = std::max(1u, workers);
  std::vector<std::thread> threads;
  threads.reserve(workers - 1);
  for (unsigned w = 1; w < workers; ++w) threads.emplace_back(run, w);
  run(0);
  for (auto& t : threads) t.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace velm::cpu
