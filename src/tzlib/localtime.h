// wendle's own time-zone library: local time and UTC from 32-bit seconds since the epoch.
#pragma once

#include <cstdint>
#include <ctime>

namespace tzlib {

// Brings the local zone and tzname in line with the current TZ; reloads only when TZ changed.
void tzset();

// Makes the default zone file (/etc/localtime) the local zone.
void tzsetwall();

// Converts *timep to local time in the one shared record; never fails.
struct tm* localtime(const std::int32_t* timep);

// Converts *timep to UTC in the one shared record; never fails.
struct tm* gmtime(const std::int32_t* timep);

// Converts *timep to UTC in the caller's record and returns it.
struct tm* gmtime_r(const std::int32_t* timep, struct tm* result);

// Standard-time [0] and daylight-saving [1] abbreviations of the local zone.
extern const char* tzname[2];

}  // namespace tzlib
