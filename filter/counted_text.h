// The counted texts the exported entry points receive, as the library's Text.
#pragma once

#include "filter/exports.h"
#include "platform/text.h"

namespace zefa {

// Copies a counted text into `out`; a null pointer or buffer leaves it as it
// is (empty for a fresh Text).
inline void CopyCounted(const ZEFA_UNICODE_STRING* source, Text& out) {
  if (source == nullptr || source->Buffer == nullptr) return;
  out.assign(source->Buffer, source->Length / sizeof(WChar));
}

// The same as a value.
inline Text CountedText(const ZEFA_UNICODE_STRING* source) {
  Text out;
  CopyCounted(source, out);
  return out;
}

}  // namespace zefa
