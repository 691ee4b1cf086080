// The library's entry points, with the calling forms of the security
// authority's password notification packages, so any host can load the
// library by name and call them.
#pragma once

#include <cstdint>

#include "platform/export.h"
#include "platform/text.h"

extern "C" {

typedef uint8_t ZEFA_BOOLEAN;
typedef int32_t ZEFA_NTSTATUS;

// Counted UTF-16 text: Length and MaximumLength in bytes.
typedef struct ZEFA_UNICODE_STRING {
  uint16_t Length;
  uint16_t MaximumLength;
  zefa::WChar* Buffer;
} ZEFA_UNICODE_STRING;

ZEFA_EXPORT ZEFA_BOOLEAN ZEFA_CALL InitializeChangeNotify(void);

ZEFA_EXPORT ZEFA_BOOLEAN ZEFA_CALL PasswordFilter(ZEFA_UNICODE_STRING* AccountName,
                                                  ZEFA_UNICODE_STRING* FullName,
                                                  ZEFA_UNICODE_STRING* Password,
                                                  ZEFA_BOOLEAN SetOperation);

// After a completed change. Always 0 (success).
ZEFA_EXPORT ZEFA_NTSTATUS ZEFA_CALL PasswordChangeNotify(ZEFA_UNICODE_STRING* UserName,
                                                         uint32_t RelativeId,
                                                         ZEFA_UNICODE_STRING* NewPassword);

// Runs one filter call in test mode with console output. Always 0.
ZEFA_EXPORT int32_t ZEFA_CALL TestPassword(const zefa::WChar* user_name,
                                           const zefa::WChar* password);

}  // extern "C"
