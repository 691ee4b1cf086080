// Marks the library's exported entry points. On Windows the module
// definition file lists them; elsewhere they are the only visible symbols.
#pragma once

#if defined(_WIN32)
#define ZEFA_EXPORT
#define ZEFA_CALL __stdcall
#else
#define ZEFA_EXPORT __attribute__((visibility("default")))
#define ZEFA_CALL
#endif
