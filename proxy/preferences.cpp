#include "preferences.h"

#include <charconv>
#include <map>
#include <mutex>

#include "text_scan.h"

namespace veltrox::proxy {
namespace {

struct Store {
  std::mutex mutex;
  std::map<std::string, std::string, std::less<>> values;
};

Store& TheStore() {
  static Store* store = new Store;  // never destroyed: detached threads may read it at exit
  return *store;
}

}  // namespace

std::string Preferences::GetString(std::string_view name, std::string_view fallback) {
  Store& s = TheStore();
  std::lock_guard lock(s.mutex);
  auto it = s.values.find(name);
  return it == s.values.end() ? std::string(fallback) : it->second;
}

void Preferences::SetString(std::string_view name, std::string_view value) {
  Store& s = TheStore();
  std::lock_guard lock(s.mutex);
  s.values[std::string(name)] = std::string(value);
}

bool Preferences::GetBool(std::string_view name, bool fallback) {
  std::string v = GetString(name, fallback ? "True" : "False");
  return EqualsText(v, "True", true) || v == "1";
}

void Preferences::SetBool(std::string_view name, bool value) { SetString(name, value ? "True" : "False"); }

long long Preferences::GetInteger(std::string_view name, long long fallback) {
  std::string v = GetString(name);
  long long out = 0;
  auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
  if (v.empty() || ec != std::errc() || end != v.data() + v.size()) return fallback;
  return out;
}

void Preferences::Remove(std::string_view name) {
  Store& s = TheStore();
  std::lock_guard lock(s.mutex);
  auto it = s.values.find(name);
  if (it != s.values.end()) s.values.erase(it);
}

}  // namespace veltrox::proxy
