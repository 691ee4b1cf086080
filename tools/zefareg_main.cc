// zefareg: the registry tool (add, query, delete, import, export with the
// syntax of "reg"). This file only turns argv into text and prints the
// outcome; everything else lives in reg_command.cc and reg_file.cc.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/system.h"
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

int main(int argc, char** argv) { return Run(zefa::platform::ProgramArguments(argc, argv)); }
