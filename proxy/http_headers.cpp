#include "http_headers.h"

#include <algorithm>

#include "text_scan.h"

namespace veltrox::proxy {
namespace {

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::string HeaderList::Get(std::string_view name) const {
  for (const auto& [n, v] : entries_) {
    if (EqualsText(n, name, true)) return v;
  }
  return {};
}

bool HeaderList::Has(std::string_view name) const { return Count(name) > 0; }

std::size_t HeaderList::Count(std::string_view name) const {
  std::size_t count = 0;
  for (const auto& entry : entries_) {
    if (EqualsText(entry.first, name, true)) ++count;
  }
  return count;
}

void HeaderList::Add(std::string_view name, std::string_view value) {
  entries_.emplace_back(std::string(name), std::string(value));
}

std::size_t HeaderList::RemoveAll(std::string_view name) {
  std::size_t before = entries_.size();
  std::erase_if(entries_, [&](const Entry& e) { return EqualsText(e.first, name, true); });
  return before - entries_.size();
}

void HeaderList::Set(std::string_view name, std::string_view value) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (EqualsText(it->first, name, true)) {
      it->second = std::string(value);
      entries_.erase(std::remove_if(it + 1, entries_.end(),
                                    [&](const Entry& e) { return EqualsText(e.first, name, true); }),
                     entries_.end());
      return;
    }
  }
  Add(name, value);
}

std::string HeaderList::Render() const {
  std::string out;
  for (const auto& [n, v] : entries_) {
    out += n;
    out += ": ";
    out += v;
    out += "\r\n";
  }
  return out;
}

bool HeaderList::HasToken(std::string_view name, std::string_view token) const {
  for (const auto& [n, v] : entries_) {
    if (!EqualsText(n, name, true)) continue;
    std::string_view rest = v;
    while (!rest.empty()) {
      std::size_t comma = rest.find(',');
      std::string_view piece = TrimBlanks(rest.substr(0, comma));
      if (EqualsText(piece, token, true)) return true;
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  return false;
}

}  // namespace veltrox::proxy
