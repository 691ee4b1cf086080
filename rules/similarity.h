#pragma once

#include "platform/text.h"

namespace zefa {

// The password in lower case with every run of digits and punctuation (and
// both ends) shown as one "_": "Summer2024!" and "summer99" both give
// "_summer_". Wipes `password` (the caller's working copy).
Text SimilarityReduction(Text& password);

}  // namespace zefa
