#pragma once

#include <functional>

namespace veltrox::proxy {

// Threads on which handlers may block. A task never waits for a busy thread: when
// every thread is busy another one starts, so one slow handler delays no other
// session. Idle threads beyond a few end after a while. The pool lives as long
// as the process and is never joined, so stopping the proxy never waits for a
// handler that is still running.
void RunOnHookThread(std::function<void()> task);

}  // namespace veltrox::proxy
