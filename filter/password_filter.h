// The password check from the security authority's call to a verdict.
#pragma once

#include "platform/text.h"

namespace zefa {

// The pieces of one filter call. A missing argument (null pointer or null
// buffer) is given as nullptr.
struct FilterRequest {
  const Text* AccountName = nullptr;
  const Text* FullName = nullptr;
  const Text* Password = nullptr;
  bool SetOperation = false;
};

// true = accept, false = reject. Rejects everything until the server has
// been initialised; every later difficulty accepts with a log line.
bool RunPasswordFilter(const FilterRequest& request);

}  // namespace zefa
