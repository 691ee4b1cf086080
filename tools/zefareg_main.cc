// zefareg: the registry tool (add, query, delete, import, export with the
// syntax of "reg"). This file only turns argv into text and prints the
// outcome; everything else lives in reg_command.cc and reg_file.cc.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/reg_command.h"

namespace {

void Print(std::FILE* stream, const zefa::Text& text) {
  const std::string bytes = zefa::TextToUtf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::fflush(stream);
}

int Run(const std::vector<zefa::Text>& args) {
  const zefa::reg::CommandOutcome outcome = zefa::reg::RunCommand(args);
  Print(stdout, outcome.output);
  Print(stderr, outcome.errors);
  return outcome.exit_code;
}

}  // namespace

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) {
  std::vector<zefa::Text> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return Run(args);
}
#else
int main(int argc, char** argv) {
  std::vector<zefa::Text> args;
  for (int i = 1; i < argc; ++i) args.push_back(zefa::Utf8ToText(argv[i]));
  return Run(args);
}
#endif
