#pragma once

#include <cstddef>
#include <functional>
#include <memory>

class QObject;

// The one way other threads reach widgets: a request runs on the GUI thread
// while its caller waits. A request made on the GUI thread itself runs at
// once, so that thread never waits on itself.
//
// It never hangs. Once the channel is closed - by Close(), by its context
// object being destroyed, or by the application's event loop quitting or the
// application object going away - requests still waiting return at once
// without running, and later ones are refused. The GUI thread must not itself
// wait on a thread that may be making a request, or the two wait on each other.

namespace veltrox {

class GuiCallChannel {
 public:
  // Serves requests on the thread of `context` (the GUI thread). Make it on
  // that thread, while a QCoreApplication exists.
  explicit GuiCallChannel(QObject* context);
  ~GuiCallChannel();  // closes
  GuiCallChannel(const GuiCallChannel&) = delete;
  GuiCallChannel& operator=(const GuiCallChannel&) = delete;

  // Runs `work` on the context's thread and returns true once it has run.
  // Returns false without running it when the channel is closed or closes
  // before the GUI thread gets to it. Requests from one thread run in the
  // order made; requests of different threads in no fixed order. An exception
  // from `work` ends that request and is not passed on.
  bool Call(const std::function<void()>& work);

  // Any thread. A request that is running finishes; the others are dropped.
  void Close();
  bool IsOpen() const;
  // Requests from other threads that wait for the GUI thread to take them up.
  std::size_t Waiting() const;

  struct State;  // shared with the requests in flight

 private:
  std::shared_ptr<State> state_;
};

}  // namespace veltrox
