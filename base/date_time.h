// TDateTime: a floating-point count of days since 30 December 1899; the
// fraction is the time of day. Conversions use the proleptic Gregorian calendar.
#pragma once

#include <cstdint>

namespace quillon {

using TDateTime = double;

// Days from 30 December 1899 to 1 January 1970.
constexpr double kUnixDateDelta = 25569.0;

// Absent-free encoders: a date that does not exist (month 13, 30 February)
// returns false and leaves `result` untouched.
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
TDateTime EncodeTime(int hour, int min, int sec, int msec);
void DecodeDate(TDateTime dt, int& year, int& month, int& day);
void DecodeTime(TDateTime dt, int& hour, int& min, int& sec, int& msec);

// The local date and time now, as a TDateTime.
TDateTime Now();
TDateTime UnixToDateTime(int64_t seconds);

}  // namespace quillon
