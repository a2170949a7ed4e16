#include "hook_pool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace veltrox::proxy {
namespace {

class HookPool {
 public:
  void Post(std::function<void()> task) {
    std::unique_lock lock(mutex_);
    tasks_.push_back(std::move(task));
    pending_.store(tasks_.size(), std::memory_order_release);
    if (spinning_ > 0 && spinning_ >= tasks_.size()) return;  // a spinning thread takes it without a wake-up
    if (idle_ > tasks_.size() - 1) {
      lock.unlock();
      wake_.notify_one();
      return;
    }
    ++threads_;
    lock.unlock();
    std::thread([this] { Work(); }).detach();
  }

 private:
  void Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (tasks_.empty()) {
        // Under load the next task comes within microseconds; waiting for it
        // briefly is far cheaper than sleeping and being woken.
        ++spinning_;
        ++idle_;
        lock.unlock();
        auto until = std::chrono::steady_clock::now() + kSpin;
        while (pending_.load(std::memory_order_acquire) == 0 && std::chrono::steady_clock::now() < until) {
          std::this_thread::yield();
        }
        lock.lock();
        --spinning_;
        --idle_;
      }
      while (tasks_.empty()) {
        ++idle_;
        bool woke = wake_.wait_for(lock, kIdleLife, [&] { return !tasks_.empty(); });
        --idle_;
        if (!woke && threads_ > kKeep) {
          --threads_;
          return;
        }
      }
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      pending_.store(tasks_.size(), std::memory_order_release);
      lock.unlock();
      task();
      task = nullptr;  // its captures go before the lock is taken again
      lock.lock();
    }
  }

  static constexpr std::chrono::seconds kIdleLife{30};
  static constexpr std::chrono::microseconds kSpin{50};
  static constexpr std::size_t kKeep = 4;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  std::atomic<std::size_t> pending_{0};  // tasks_.size(), readable without the lock
  std::size_t spinning_ = 0;
  std::size_t idle_ = 0;
  std::size_t threads_ = 0;
};

HookPool& ThePool() {
  static HookPool* pool = new HookPool;  // never destroyed: its threads are detached
  return *pool;
}

}  // namespace

void RunOnHookThread(std::function<void()> task) { ThePool().Post(std::move(task)); }

}  // namespace veltrox::proxy
