#include "hook_pool.h"

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
      lock.unlock();
      task();
      task = nullptr;  // its captures go before the lock is taken again
      lock.lock();
    }
  }

  static constexpr std::chrono::seconds kIdleLife{30};
  static constexpr std::size_t kKeep = 4;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
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
