#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "proxy_export.h"

namespace veltrox::proxy {

// Header fields of one message in wire order, names compared without ASCII case.
// Values are the wire bytes, unfolded and trimmed.
class VELTROX_PROXY_API HeaderList {
 public:
  using Entry = std::pair<std::string, std::string>;

  const std::vector<Entry>& Entries() const { return entries_; }

  // The first value of `name`, "" when absent.
  std::string Get(std::string_view name) const;
  bool Has(std::string_view name) const;
  std::size_t Count(std::string_view name) const;

  void Add(std::string_view name, std::string_view value);
  // Removes every field of that name; returns how many went.
  std::size_t RemoveAll(std::string_view name);
  // Replaces every field of that name by one field, in the place of the first.
  void Set(std::string_view name, std::string_view value);
  void Clear() { entries_.clear(); }

  // "Name: value\r\n" for each field.
  std::string Render() const;

  // True when a comma-separated field of that name lists `token` (ASCII case ignored).
  bool HasToken(std::string_view name, std::string_view token) const;

 private:
  std::vector<Entry> entries_;
};

}  // namespace veltrox::proxy
