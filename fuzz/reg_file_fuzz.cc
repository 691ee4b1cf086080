// .reg files as zefareg imports them.
//   - the file's bytes decode to no more units than bytes, and text written
//     as UTF-16LE with a mark decodes to the same text;
//   - a file that parses is written again from its operations (keys as
//     KeyPathText, values as export writes them) and parses to the same
//     operations; one that does not gives a "line N: " error and nothing.
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tools/reg_file.h"
#include "platform/registry.h"

using zefa::Text;
using namespace zefa::reg;

namespace {

Text WriteOperations(const std::vector<RegFileOperation>& operations) {
  Text out = zefa::AsciiToText("Windows Registry Editor Version 5.00\r\n\r\n");
  for (const RegFileOperation& op : operations) {
    switch (op.action) {
      case RegFileAction::kCreateKey:
        out += u"[" + KeyPathText(op.key) + u"]";
        break;
      case RegFileAction::kDeleteKey:
        out += u"[-" + KeyPathText(op.key) + u"]";
        break;
      case RegFileAction::kSetValue:
        out += FormatRegFileValue(op.value);
        break;
      case RegFileAction::kDeleteValue: {
        zefa::platform::RegistryValue empty;
        empty.name = op.value.name;
        empty.type = zefa::platform::kRegBinary;
        Text line = FormatRegFileValue(empty);  // NAME=hex:
        line.resize(line.size() - 4);
        out += line + u"-";
        break;
      }
    }
    out += u"\r\n";
  }
  return out;
}

bool SameOperations(const std::vector<RegFileOperation>& a,
                    const std::vector<RegFileOperation>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].action != b[i].action || KeyPathText(a[i].key) != KeyPathText(b[i].key)) return false;
    if (a[i].action == RegFileAction::kSetValue || a[i].action == RegFileAction::kDeleteValue) {
      if (a[i].value.name != b[i].value.name) return false;
    }
    if (a[i].action == RegFileAction::kSetValue &&
        (a[i].value.type != b[i].value.type || a[i].value.data != b[i].value.data)) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const Text text = DecodeRegFileBytes(bytes);
  FUZZ_CHECK(text.size() <= size);
  FUZZ_CHECK(DecodeRegFileBytes(EncodeUtf16LeWithBom(text)) == text);

  const RegFileParse parsed = ParseRegFile(text);
  if (!parsed.ok) {
    FUZZ_CHECK(parsed.operations.empty());
    FUZZ_CHECK(parsed.error.compare(0, 5, u"line ") == 0);
    return 0;
  }
  FUZZ_CHECK(parsed.error.empty());
  const Text written = WriteOperations(parsed.operations);
  const RegFileParse again = ParseRegFile(written);
  FUZZ_CHECK(again.ok);
  FUZZ_CHECK(SameOperations(parsed.operations, again.operations));
  return 0;
}
