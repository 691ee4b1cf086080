// Facts about this machine and its process: folders, names, environment and
// console output.

#include <stdio.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/system.h"
#include "platform/posix/samba_config.h"

namespace zefa::platform {

namespace {

constexpr size_t kNetbiosNameLength = 15;

Text NetbiosForm(std::string_view name) {
  std::string upper(name.substr(0, name.find('.')));
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  Text text = Utf8ToText(upper);
  if (text.size() > kNetbiosNameLength) text.resize(kNetbiosNameLength);
  return text;
}

// Value of the variable, or nullptr when it is unset (or the name is unusable).
const char* Lookup(const Text& name) {
  if (name.empty() || name.find(WChar{0}) != Text::npos) return nullptr;
  return std::getenv(TextToUtf8(name).c_str());
}

void WriteLine(FILE* stream, const Text& line) {
  const std::string bytes = TextToUtf8(line) + "\n";
  flockfile(stream);  // one line is never split by another thread's output
  fwrite(bytes.data(), 1, bytes.size(), stream);
  fflush(stream);
  funlockfile(stream);
}

}  // namespace

Text WindowsDirectory() {
  const char* root = std::getenv("CLAVORA_ROOT");
  std::string folder = (root != nullptr && *root != '\0') ? root : "/var/lib/clavora";
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  return Utf8ToText(folder);
}

Text ComputerName() {
  for (const SambaSection& section : ReadSambaConfig()) {
    if (!SambaNameEquals(section.name, "global")) continue;
    const std::string* name = SambaParameter(section, "netbiosname");
    if (name != nullptr && !name->empty()) return NetbiosForm(*name);
  }
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return Text();
  return NetbiosForm(host);
}

std::vector<Text> ProgramArguments(int argc, char** argv) {
  std::vector<Text> result;
  for (int i = 1; i < argc; ++i) result.push_back(Utf8ToText(argv[i]));
  return result;
}

Text EnvironmentVariable(const Text& name) {
  const char* value = Lookup(name);
  return value != nullptr ? Utf8ToText(value) : Text();
}

bool SetProcessEnvironmentVariable(const Text& name, const Text& value) {
  if (name.empty() || name.find(WChar{0}) != Text::npos || name.find(u'=') != Text::npos ||
      value.find(WChar{0}) != Text::npos)
    return false;
  return setenv(TextToUtf8(name).c_str(), TextToUtf8(value).c_str(), 1) == 0;
}

// Each '%' either starts a reference that runs to the next '%' and names a
// set variable, or is copied as it stands and the scan goes on after it; so
// unknown references and "%%" stay as typed.
Text ExpandEnvironmentStrings(const Text& text) {
  Text out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != u'%') {
      out.push_back(text[i++]);
      continue;
    }
    const size_t close = text.find(u'%', i + 1);
    const char* value = close == Text::npos ? nullptr : Lookup(text.substr(i + 1, close - i - 1));
    if (value == nullptr) {
      out.push_back(text[i++]);
      continue;
    }
    out += Utf8ToText(value);
    i = close + 1;
  }
  return out;
}

int StartNetwork() { return 1; }  // sockets need no start-up here

void ConsoleWriteLine(const Text& line) { WriteLine(stdout, line); }

void DebugOutput(const Text& text) { WriteLine(stderr, text); }

}  // namespace zefa::platform
