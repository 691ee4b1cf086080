// Writes the registry reference (docs/registry-values.md) from the catalogue
// of policy values: to the file named as the first argument, or to standard
// output.
#include <cstdio>

#include "policy/value_catalogue.h"

int main(int argc, char** argv) {
  const std::string text = zefa::RegistryReferenceMarkdown();
  FILE* out = argc > 1 ? std::fopen(argv[1], "wb") : stdout;
  if (out == nullptr) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  if (out != stdout) std::fclose(out);
  return written ? 0 : 1;
}
