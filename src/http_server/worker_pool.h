// The endpoint's workers: a few always ready, more made when every one is busy.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include <httplib.h>

namespace qelt {

// Each connection holds a worker for as long as it is kept alive or its request is
// still arriving, so a few browsers' idle connections need many workers at times.
// Under Wine every thread costs about 1 MiB of memory, so the workers beyond `ready`
// are made only when all others are busy, and end after `linger` without a job.
// A worker that has just answered is usually a moment from taking the next job, so
// a new one is made only when none has come back within `grace`: Wine keeps an
// ended thread's stacks until another thread ends, so every needless spare costs.
// After such a wait the workers are known to be held (idle browsers, slow clients),
// and further ones are made at once until a worker finds nothing to do.
// Waiting workers wake for nothing: an idle endpoint costs no CPU.
class worker_pool final : public httplib::TaskQueue {
 public:
  worker_pool(std::size_t ready, std::size_t most, std::chrono::milliseconds linger,
              std::chrono::milliseconds grace);
  ~worker_pool() override;
  worker_pool(const worker_pool&) = delete;
  worker_pool& operator=(const worker_pool&) = delete;

  // Jobs beyond `most` busy workers wait their turn.
  bool enqueue(std::function<void()> job) override;
  // Runs the jobs still waiting, then ends every worker.
  void shutdown() override;

  std::size_t workers() const;

 private:
  void work();
  void start_worker();
  void join_ended();

  const std::size_t ready_;
  const std::size_t most_;
  const std::chrono::milliseconds linger_;
  const std::chrono::milliseconds grace_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable taken_;
  std::deque<std::function<void()>> jobs_;
  std::list<std::thread> threads_;
  std::vector<std::thread::id> ended_;
  std::size_t running_ = 0;
  std::size_t waiting_ = 0;
  bool held_ = false;
  bool shutting_down_ = false;
};

}  // namespace qelt
