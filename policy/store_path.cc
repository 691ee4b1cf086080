#include "policy/store_path.h"

#include "platform/files.h"

namespace zefa {

namespace {

bool ClimbsOut(const Text& name) {
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of(ZT("/\\"), start);
    if (end == Text::npos) end = name.size();
    if (name.compare(start, end - start, ZT("..")) == 0) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

Text PwnedStorePath(const Text& configured, const Text& words_folder) {
  if (configured.empty()) return Text();
  if (platform::IsAbsolutePath(configured)) return configured;
  if (ClimbsOut(configured) || words_folder.empty()) return Text();
  return words_folder + platform::PathSeparator() + configured;
}

}  // namespace zefa
