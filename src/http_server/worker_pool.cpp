#include "http_server/worker_pool.h"

#include <algorithm>
#include <utility>

namespace qelt {

worker_pool::worker_pool(std::size_t ready, std::size_t most, std::chrono::milliseconds linger,
                         std::chrono::milliseconds grace)
    : ready_(ready), most_(std::max<std::size_t>(1, std::max(ready, most))), linger_(linger), grace_(grace) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < ready_; ++i) start_worker();
}

worker_pool::~worker_pool() { shutdown(); }

bool worker_pool::enqueue(std::function<void()> job) {
  join_ended();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (shutting_down_) return false;
    jobs_.push_back(std::move(job));
    // Every waiting worker may already have a job of its own coming.
    const auto unserved = [this] { return jobs_.size() > waiting_ && !shutting_down_; };
    if (unserved() && running_ < most_ && (held_ || !taken_.wait_for(lock, grace_, [&] { return !unserved(); }))) {
      held_ = true;
      start_worker();
    }
  }
  wake_.notify_one();
  return true;
}

void worker_pool::shutdown() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    shutting_down_ = true;
  }
  wake_.notify_all();
  std::list<std::thread> threads;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    threads.swap(threads_);
    ended_.clear();
  }
  for (std::thread& thread : threads) thread.join();
}

std::size_t worker_pool::workers() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

// Called with the mutex held.
void worker_pool::start_worker() {
  ++running_;
  threads_.emplace_back(&worker_pool::work, this);
}

void worker_pool::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    bool lingered = false;
    ++waiting_;
    if (jobs_.empty()) held_ = false;
    while (jobs_.empty() && !shutting_down_ && !lingered) {
      if (running_ > ready_) {
        lingered = wake_.wait_for(lock, linger_) == std::cv_status::timeout && jobs_.empty();
      } else {
        wake_.wait(lock);
      }
    }
    --waiting_;
    if (jobs_.empty()) {
      if (shutting_down_ || running_ > ready_) break;
      continue;  // another spare worker ended first: this one stays ready
    }
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    taken_.notify_one();
    lock.unlock();
    job();
    lock.lock();
  }
  --running_;
  // Joined by the next enqueue or by shutdown; the thread touches nothing after this.
  if (!shutting_down_) ended_.push_back(std::this_thread::get_id());
}

void worker_pool::join_ended() {
  std::list<std::thread> ended;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const std::thread::id id : ended_) {
      const auto it = std::find_if(threads_.begin(), threads_.end(),
                                   [id](const std::thread& thread) { return thread.get_id() == id; });
      if (it != threads_.end()) ended.splice(ended.end(), threads_, it);
    }
    ended_.clear();
  }
  for (std::thread& thread : ended) thread.join();
}

}  // namespace qelt
