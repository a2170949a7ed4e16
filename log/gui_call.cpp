#include "gui_call.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <condition_variable>
#include <list>
#include <mutex>

namespace veltrox {
namespace {

enum class Stage { Waiting, Running, Done, Dropped };

struct Request {
  Stage stage = Stage::Waiting;
};

}  // namespace

struct GuiCallChannel::State {
  std::mutex mutex;
  std::condition_variable changed;
  bool closed = false;
  QObject* context = nullptr;  // cleared, under the mutex, when it is destroyed
  QThread* thread = nullptr;
  std::list<std::shared_ptr<Request>> waiting;
  QMetaObject::Connection onDestroyed;
  QMetaObject::Connection onQuit;
  QMetaObject::Connection onAppGone;

  void Close() {
    {
      std::lock_guard lock(mutex);
      closed = true;
      context = nullptr;
      for (auto& request : waiting) {
        if (request->stage == Stage::Waiting) request->stage = Stage::Dropped;
      }
      waiting.clear();
    }
    changed.notify_all();
  }

  void Finish(const std::shared_ptr<Request>& request, Stage stage) {
    {
      std::lock_guard lock(mutex);
      request->stage = stage;
      waiting.remove(request);
    }
    changed.notify_all();
  }
};

namespace {

// Travels inside the posted event. Qt destroys an event it will never deliver
// (its receiver died, or the application went away with it still queued);
// the ticket then lets the caller go.
struct Ticket {
  std::weak_ptr<GuiCallChannel::State> state;
  std::shared_ptr<Request> request;
  ~Ticket();
};

}  // namespace

Ticket::~Ticket() {
  if (auto s = state.lock()) {
    bool dropped = false;
    {
      std::lock_guard lock(s->mutex);
      if (request->stage == Stage::Waiting) {
        request->stage = Stage::Dropped;
        s->waiting.remove(request);
        dropped = true;
      }
    }
    if (dropped) s->changed.notify_all();
  } else if (request->stage == Stage::Waiting) {
    request->stage = Stage::Dropped;
  }
}

GuiCallChannel::GuiCallChannel(QObject* context) : state_(std::make_shared<State>()) {
  state_->context = context;
  state_->thread = context != nullptr ? context->thread() : nullptr;
  QCoreApplication* app = QCoreApplication::instance();
  if (context == nullptr || app == nullptr) {
    state_->closed = true;
    return;
  }
  std::weak_ptr<State> weak = state_;
  auto close = [weak] {
    if (auto s = weak.lock()) s->Close();
  };
  state_->onDestroyed = QObject::connect(context, &QObject::destroyed, close);
  state_->onQuit = QObject::connect(app, &QCoreApplication::aboutToQuit, close);
  state_->onAppGone = QObject::connect(app, &QObject::destroyed, close);
}

GuiCallChannel::~GuiCallChannel() {
  QObject::disconnect(state_->onDestroyed);
  QObject::disconnect(state_->onQuit);
  QObject::disconnect(state_->onAppGone);
  state_->Close();
}

bool GuiCallChannel::IsOpen() const {
  std::lock_guard lock(state_->mutex);
  return !state_->closed;
}

std::size_t GuiCallChannel::Waiting() const {
  std::lock_guard lock(state_->mutex);
  std::size_t n = 0;
  for (const auto& request : state_->waiting) n += request->stage == Stage::Waiting ? 1 : 0;
  return n;
}

void GuiCallChannel::Close() { state_->Close(); }

bool GuiCallChannel::Call(const std::function<void()>& work) {
  State& s = *state_;
  if (QThread::currentThread() == s.thread) {
    {
      std::lock_guard lock(s.mutex);
      if (s.closed) return false;
    }
    try {
      work();
    } catch (...) {
    }
    return true;
  }

  auto request = std::make_shared<Request>();
  auto ticket = std::make_shared<Ticket>();
  ticket->state = state_;
  ticket->request = request;
  std::weak_ptr<State> weak = state_;
  auto task = [ticket, weak, work] {
    auto s = weak.lock();
    if (!s) return;
    {
      std::lock_guard lock(s->mutex);
      if (ticket->request->stage != Stage::Waiting) return;
      ticket->request->stage = Stage::Running;
    }
    try {
      work();
    } catch (...) {
    }
    s->Finish(ticket->request, Stage::Done);
  };
  {
    std::lock_guard lock(s.mutex);
    if (s.closed || s.context == nullptr) return false;
    s.waiting.push_back(request);
    // Posted under the mutex: the context cannot be destroyed meanwhile, since
    // its destroyed signal has to take the mutex first.
    QMetaObject::invokeMethod(s.context, std::move(task), Qt::QueuedConnection);
  }
  ticket.reset();
  std::unique_lock lock(s.mutex);
  s.changed.wait(lock, [&] { return request->stage == Stage::Done || request->stage == Stage::Dropped; });
  return request->stage == Stage::Done;
}

}  // namespace veltrox
