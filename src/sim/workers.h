// The worker pool every CPU simulation uses: one standard thread per hardware thread, work handed
// out in chunks through an atomic counter, joined before returning. An exception in any worker
// stops the others at their next chunk and is rethrown on the calling thread after the join.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace velm {

// Worker count: hardware concurrency (at least 1), unless VELM_NUM_THREADS sets it. Results of
// every simulation are independent of this number.
// More workers than this only cost memory (per-worker tallies, stacks): the cap on what
// VELM_NUM_THREADS may ask for.
constexpr unsigned kMaxWorkers = 256;

inline unsigned worker_count() {
  if (const char* env = std::getenv("VELM_NUM_THREADS")) {
    const long n = std::strtol(env, nullptr, 10);
    if (n > 0) return static_cast<unsigned>(std::min<long>(n, kMaxWorkers));
  }
  return std::min(kMaxWorkers, std::max(1u, std::thread::hardware_concurrency()));
}

// How often a run with a poll asks it whether to stop (Ctrl-C): the latency of an interrupt.
constexpr std::chrono::milliseconds kPollInterval{50};

// Runs body(worker_index, begin, end) over [0, total) in chunks of `chunk` items. Each worker
// owns worker_index's slot of any per-worker accumulator the caller keeps.
//
// With a `poll`, the calling thread traces nothing: it calls `poll` every kPollInterval while the
// workers run, so an interrupt is seen however long the run; when `poll` throws, the workers stop
// at their next chunk and `*stop` (when given) is set, for items long enough to watch it and end
// early. The exception is rethrown after the join.
template <class Body>
void parallel_chunks(unsigned workers, uint64_t total, uint64_t chunk, Body&& body,
                     const std::function<void()>& poll = {},
                     std::atomic<bool>* stop = nullptr) {
  if (total == 0) return;
  chunk = std::max<uint64_t>(1, chunk);
  std::atomic<uint64_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex mutex;  // guards `error` and `running`
  std::condition_variable finished;
  auto fail = [&](std::exception_ptr e) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!error) error = e;
    failed.store(true);
    if (stop) stop->store(true);
  };
  auto run = [&](unsigned w) {
    try {
      while (!failed.load(std::memory_order_relaxed)) {
        const uint64_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
        if (begin >= total) break;
        body(w, begin, std::min(total, begin + chunk));
      }
    } catch (...) {
      fail(std::current_exception());
    }
  };
  workers = std::max(1u, workers);
  const unsigned first_thread = poll ? 0u : 1u;  // without a poll the caller is worker 0
  unsigned running = 0;
  std::vector<std::thread> threads;
  threads.reserve(workers);
  try {
    for (unsigned w = first_thread; w < workers; ++w) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        ++running;  // before the thread exists, so its decrement can't come first
      }
      threads.emplace_back([&, w] {
        run(w);
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        finished.notify_one();
      });
    }
  } catch (const std::system_error& e) {
    // The system refused a thread (address space or thread limits): stop and join the workers
    // already running, then report it; a std::thread left unjoined would end the process.
    failed.store(true);
    for (auto& t : threads) t.join();
    throw std::runtime_error("could not start worker thread " + std::to_string(threads.size() + 1) +
                             " of " + std::to_string(workers) + " (" + e.what() +
                             "); set VELM_NUM_THREADS lower");
  }
  if (poll) {
    std::unique_lock<std::mutex> lock(mutex);
    while (running > 0) {
      if (finished.wait_for(lock, kPollInterval, [&] { return running == 0; })) break;
      if (failed.load()) continue;  // stopping already: wait for the workers
      lock.unlock();
      try {
        poll();
      } catch (...) {
        fail(std::current_exception());
      }
      lock.lock();
    }
  } else {
    run(0);
  }
  for (auto& t : threads) t.join();
  if (error) std::rethrow_exception(error);
}

// Per-worker copies of an array of n doubles (tallies, spectra), each starting on a cache line
// of its own: a worker that writes its copy at every step must not share a line with another
// worker's copy, or every write waits for the line to come back from the other core.
class PerWorker {
 public:
  PerWorker(unsigned workers, size_t n)
      : workers_(workers), n_(n), stride_((n + kLine - 1) / kLine * kLine),
        data_(workers * stride_ + kLine, 0.0) {
    const size_t misalignment = reinterpret_cast<uintptr_t>(data_.data()) % 64;
    base_ = data_.data() + (misalignment ? (64 - misalignment) / sizeof(double) : 0);
  }
  PerWorker(const PerWorker&) = delete;
  PerWorker& operator=(const PerWorker&) = delete;

  double* operator[](unsigned w) const { return base_ + w * stride_; }
  // The copies summed value by value, in worker order.
  std::vector<double> sum() const {
    std::vector<double> out(n_, 0.0);
    for (unsigned w = 0; w < workers_; ++w)
      for (size_t i = 0; i < n_; ++i) out[i] += (*this)[w][i];
    return out;
  }

 private:
  static constexpr size_t kLine = 64 / sizeof(double);  // doubles in a cache line
  unsigned workers_;
  size_t n_, stride_;
  std::vector<double> data_;
  double* base_;
};

// parallel_chunks over [0, total) in batches of `batch` items (a multiple of `chunk`, so chunks
// keep their alignment), calling `between()` on the calling thread after each batch: the place
// for progress reports. `poll` and `stop` as for parallel_chunks.
template <class Body, class Between>
void parallel_batches(unsigned workers, uint64_t total, uint64_t chunk, uint64_t batch,
                      Body&& body, Between&& between, const std::function<void()>& poll = {},
                      std::atomic<bool>* stop = nullptr) {
  chunk = std::max<uint64_t>(1, chunk);
  batch = std::max<uint64_t>(chunk, batch - batch % chunk);
  for (uint64_t first = 0; first < total; first += batch) {
    const uint64_t count = std::min(batch, total - first);
    parallel_chunks(
        workers, count, chunk,
        [&](unsigned w, uint64_t begin, uint64_t end) { body(w, first + begin, first + end); },
        poll, stop);
    between(first + count);
  }
}

}  // namespace velm
