// Local zone discovery: which zone the box is in, and its current offset from UTC.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zonefind {

inline constexpr int MAX_ROWS = 100;
inline constexpr std::size_t POSTCODE_LENGTH = 5;

// 1 in debug mode: diagnostics go to standard error instead of syslog.
extern std::int32_t verbose;

// The postcode zone table, rows in file order; Listsize 0 means not loaded yet.
extern std::array<char*, MAX_ROWS> Postcode;
extern std::array<char*, MAX_ROWS> Timezone;
extern std::int32_t Listsize;

// Path of the table file and command line of the postcode program.
extern const char* PostcodeZones;
extern const char* Get_Postalcode;

// Sets TZ from the row of the box's postcode; on any failure reports and exits with status 1.
void set_tz_variable();

// Seconds east of UTC in force hours_back hours before the clock's (local) reading; -1 without TZ.
std::int32_t get_timezone_offset(std::int32_t hours_back);

// Loads the table file into Postcode/Timezone/Listsize; exits with status 1 if it can't be opened.
void read_postcode_zones();

// Runs the postcode program until it answers with a postcode; exits with status 1 on failure.
char* get_postcode();

// One run of the postcode program: 0 with its first five bytes in postcode (NUL-terminated),
// a positive errno when fewer than five bytes came or the run overstayed (ETIMEDOUT),
// or a negative errno when it could not be started.
int run_postcode_program(char (&postcode)[POSTCODE_LENGTH + 1]);

}  // namespace zonefind
