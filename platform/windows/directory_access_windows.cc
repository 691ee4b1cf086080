// The directory is reached serverless as the process's own identity; there
// is no local socket whose rights could be checked beforehand.
#include "platform/directory.h"

namespace zefa::platform {

Text DirectoryAccessProblem() { return Text(); }

}  // namespace zefa::platform
