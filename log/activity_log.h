#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "date_time.h"

class QPlainTextEdit;

namespace veltrox {

// The window's log box, "编辑框_日志". Attach it on the GUI thread when the
// window is made, and detach it there when the window closes; lines that are
// still waiting for the GUI thread, and all later ones, are then dropped. A box
// destroyed without being detached is detached by that.
void AttachLogBox(QPlainTextEdit* box);
void DetachLogBox();

// Stamps the message with the network clock and appends the line to the log
// box: the caret moves to the end and stays in view, and the insertion is not
// recorded for undo. Returns once the line is in the box (or has been dropped
// because there is no box). Any thread; from a thread other than the GUI
// thread the caller waits until the GUI thread has appended its line. Each
// line goes in whole.
void AppendLog(std::string_view message);

// Lines made on other threads that wait for the GUI thread to append them.
std::size_t WaitingLogLines();

// The line AppendLog appends: the stamp "yyyy/M/d hh:mm:ss" of NetworkClock(),
// " >> ", the message unchanged, CR LF. One request to the clock's server.
std::string BuildLogLine(std::string_view message);

// The Date header of a HEAD request for `url` (the clock's address when
// absent), plus 8 hours. Keeps nothing between calls: every call asks the server.
DateTime NetworkClock(const std::optional<std::string>& url = std::nullopt);

// The clock's address: an http:// URL whose path is "/".
std::string NetworkClockAddress();
void SetNetworkClockAddress(std::string url);

}  // namespace veltrox
