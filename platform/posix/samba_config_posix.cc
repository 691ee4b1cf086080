// Reader for the Samba configuration file: sections, "key = value" lines,
// comment lines starting with '#' or ';', lines continued by a trailing
// backslash, and "include" lines (relative names resolve against the folder
// of the including file; a file already being read is not read again).

#include <cstdlib>
#include <fstream>
#include <set>

#include "platform/posix/samba_config.h"

namespace zefa::platform {

namespace {

constexpr int kMaxIncludeDepth = 16;

std::string_view Trim(std::string_view s) {
  const size_t first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const size_t last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

bool IsComment(std::string_view line) {
  line = Trim(line);
  return !line.empty() && (line[0] == '#' || line[0] == ';');
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string CanonicalKey(std::string_view key) {
  std::string out;
  for (char c : key) {
    if (c != ' ' && c != '\t' && c != '_') out.push_back(AsciiLower(c));
  }
  return out;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

struct Reader {
  std::vector<SambaSection> sections;
  size_t current = 0;                // index into sections
  std::set<std::string> open_files;  // guards against include loops

  void EnterSection(std::string_view name) {
    for (size_t i = 0; i < sections.size(); ++i) {
      if (SambaNameEquals(sections[i].name, name)) {
        current = i;
        return;
      }
    }
    sections.push_back(SambaSection{std::string(name), {}});
    current = sections.size() - 1;
  }

  void ReadLine(std::string_view line, const std::string& file, int depth) {
    line = Trim(line);
    if (line.empty() || IsComment(line)) return;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      if (close != std::string_view::npos) EnterSection(Trim(line.substr(1, close - 1)));
      return;
    }
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return;
    const std::string key = CanonicalKey(line.substr(0, equals));
    const std::string value(Trim(line.substr(equals + 1)));
    if (key.empty()) return;
    if (key == "include") {
      ReadFile(value.empty() || value[0] == '/' ? value : FolderOf(file) + value, depth + 1);
      return;
    }
    sections[current].parameters.emplace_back(key, value);
  }

  bool ReadFile(const std::string& path, int depth) {
    if (path.empty() || depth > kMaxIncludeDepth || !open_files.insert(path).second) return false;
    std::ifstream in(path, std::ios::binary);
    bool readable = in.is_open();
    std::string line, logical;
    while (readable && std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (logical.empty() && IsComment(line)) continue;  // comments never continue
      if (!line.empty() && line.back() == '\\') {
        line.pop_back();
        logical += line;
        continue;
      }
      logical += line;
      ReadLine(logical, path, depth);
      logical.clear();
    }
    if (!logical.empty()) ReadLine(logical, path, depth);
    open_files.erase(path);
    return readable;
  }
};

}  // namespace

std::vector<SambaSection> ReadSambaConfig() {
  const char* configured = std::getenv("CLAVORA_SMB_CONF");
  const std::string path =
      (configured != nullptr && *configured != '\0') ? configured : "/etc/samba/smb.conf";
  Reader reader;
  reader.sections.push_back(SambaSection{"global", {}});
  if (!reader.ReadFile(path, 0)) return {};
  return reader.sections;
}

const std::string* SambaParameter(const SambaSection& section, std::string_view key) {
  const std::string* found = nullptr;
  for (const auto& [name, value] : section.parameters) {
    if (name == key) found = &value;
  }
  return found;
}

bool SambaBoolean(const std::string& value) {
  for (const char* yes : {"yes", "true", "on", "1"}) {
    if (SambaNameEquals(value, yes)) return true;
  }
  return false;
}

bool SambaNameEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace zefa::platform
