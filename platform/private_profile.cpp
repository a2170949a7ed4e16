#include "private_profile.h"

#include <unistd.h>

#include <vector>

#include "files.h"
#include "text_scan.h"

namespace veltrox {
namespace {

struct Line {
  std::string_view content;  // without its line break
  std::size_t end;           // offset just behind its line break
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t nl = text.find('\n', begin);
    std::size_t stop = nl == std::string_view::npos ? text.size() : nl;
    std::size_t contentEnd = stop;
    if (contentEnd > begin && text[contentEnd - 1] == '\r') --contentEnd;
    lines.push_back({text.substr(begin, contentEnd - begin), nl == std::string_view::npos ? stop : nl + 1});
    begin = lines.back().end;
  }
  return lines;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The section name of a "[name]" line.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = TrimBlanks(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  std::size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return TrimBlanks(line.substr(1, close - 1));
}

// The key of a "key=value" line; comments and lines without '=' have none.
std::optional<std::string_view> KeyName(std::string_view line) {
  std::string_view trimmed = TrimBlanks(line);
  if (trimmed.empty() || trimmed.front() == ';') return std::nullopt;
  std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return TrimBlanks(line.substr(0, eq));
}

struct Location {
  std::optional<std::size_t> sectionLine;
  std::optional<std::size_t> keyLine;
  std::size_t lastContentLine = 0;  // last non-blank line of the section
};

Location Locate(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  Location where;
  bool inside = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (auto name = SectionName(lines[i].content)) {
      if (inside) break;
      if (EqualsText(*name, section, true)) {
        inside = true;
        where.sectionLine = i;
        where.lastContentLine = i;
      }
      continue;
    }
    if (!inside) continue;
    if (!TrimBlanks(lines[i].content).empty()) where.lastContentLine = i;
    if (auto name = KeyName(lines[i].content); name && EqualsText(*name, key, true)) {
      where.keyLine = i;
      break;
    }
  }
  return where;
}

// Ends a text whose last line has no line break. A last line that ends in a
// bare CR gets only the LF: a whole CR LF behind it would add a CR to the
// value that line holds.
void EndLastLine(std::string& text, std::string_view eol) {
  if (text.empty() || text.back() == '\n') return;
  text += text.back() == '\r' ? std::string_view("\n") : eol;
}

}  // namespace

std::optional<std::string> ReadProfileValue(std::string_view iniText, std::string_view section,
                                            std::string_view key) {
  std::vector<Line> lines = SplitLines(iniText);
  Location where = Locate(lines, section, key);
  if (!where.keyLine) return std::nullopt;
  std::string_view line = lines[*where.keyLine].content;
  std::string_view value = TrimBlanks(line.substr(line.find('=') + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

std::string WriteProfileValue(std::string_view iniText, std::string_view section, std::string_view key,
                              std::string_view value) {
  // The reader trims blanks and takes off one pair of enclosing quotes, so a
  // value that would lose bytes that way is written inside quotes (which the
  // Windows reader takes off as well).
  const bool blankAtEnd = !value.empty() && (value.front() == ' ' || value.front() == '\t' ||
                                             value.back() == ' ' || value.back() == '\t');
  const bool enclosed = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front();
  std::string stored = blankAtEnd || enclosed ? "\"" + std::string(value) + "\"" : std::string(value);
  value = stored;
  const std::string_view eol = iniText.find('\n') == std::string_view::npos || iniText.find("\r\n") != std::string_view::npos
                                   ? std::string_view("\r\n")
                                   : std::string_view("\n");
  std::string entry = std::string(key) + "=" + std::string(value);
  std::vector<Line> lines = SplitLines(iniText);
  Location where = Locate(lines, section, key);
  std::string out;

  if (where.keyLine) {
    const Line& line = lines[*where.keyLine];
    const auto lineStart = static_cast<std::size_t>(line.content.data() - iniText.data());
    out.append(iniText.substr(0, lineStart));
    out += entry;
    out.append(iniText.substr(lineStart + line.content.size()));
    return out;
  }

  if (where.sectionLine) {
    const Line& after = lines[where.lastContentLine];
    out.append(iniText.substr(0, after.end));
    if (after.end == iniText.size()) EndLastLine(out, eol);
    out += entry;
    out += eol;
    out.append(iniText.substr(after.end));
    return out;
  }

  out.append(iniText);
  EndLastLine(out, eol);
  out += "[";
  out += section;
  out += "]";
  out += eol;
  out += entry;
  out += eol;
  return out;
}

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, const std::string& path) {
  std::optional<std::string> text = ReadWholeFile(path);
  if (!text) return std::string(defaultValue);
  std::optional<std::string> value = ReadProfileValue(*text, section, key);
  return value ? std::move(*value) : std::string(defaultValue);
}

bool WritePrivateProfileString(std::string_view section, std::string_view key, std::string_view value,
                               const std::string& path) {
  // A line break would end the value early and turn the rest into lines of their own.
  if (value.find_first_of("\r\n") != std::string_view::npos) return false;
  std::optional<std::string> text = ReadWholeFile(path);
  // A file that exists but cannot be read is left alone rather than replaced
  // by one that holds only this key.
  if (!text && access(path.c_str(), F_OK) == 0) return false;
  return WriteFileAtomically(path, WriteProfileValue(text.value_or(std::string()), section, key, value));
}

}  // namespace veltrox
