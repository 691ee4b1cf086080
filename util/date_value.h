// Date values: signed 64-bit whole seconds since 1970-01-01 on the local
// clock (the local wall-clock time read as if it were UTC); -1 means no date.
#pragma once

#include <cstdint>

#include "platform/text.h"

namespace zefa {

struct CivilTime {
  int64_t year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

CivilTime DateValueToCivil(int64_t date_value);
int64_t CivilToDateValue(const CivilTime& civil);

// "yyyy-mm-dd hh:ii:ss", 24-hour clock.
Text FormatDateValue(int64_t date_value);

// Inverse of FormatDateValue; -1 for any text not of that form.
int64_t ParseDateValue(TextView text);

}  // namespace zefa
