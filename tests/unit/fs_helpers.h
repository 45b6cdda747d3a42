// Small file-system helpers for tests that build a box inside the sandbox.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace box {

inline constexpr std::string_view zoneinfo = "/var/hack/zoneinfo";

// Writes bytes to path, creating its directories.
inline void write(const std::filesystem::path& path, std::string_view data) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Writes a zone file under the zone directory.
inline void write_zone(const std::string& name, std::string_view data) {
    write(std::filesystem::path(zoneinfo) / name, data);
}

inline void remove(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

// Days from 1970-01-01 to the given Gregorian date: an independent calendar for checks.
constexpr long days_from_civil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

// Seconds since the epoch of a UTC date and time.
constexpr long utc(long y, unsigned mo, unsigned d, long h = 0, long mi = 0, long s = 0) {
    return days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

}  // namespace box
