// Helpers shared by the fuzz targets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include <fcntl.h>
#include <unistd.h>

namespace fuzz {

// Writes the bytes to path, replacing what was there.
inline void write_file(const char* path, const std::uint8_t* data, std::size_t size) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) std::abort();
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n <= 0) std::abort();
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    close(fd);
}

// Aborts, so that libFuzzer keeps the input, when a broken-down time is out of its ranges.
inline void check_tm(const struct tm* t) {
    if (t == nullptr || t->tm_zone == nullptr) std::abort();
    if (t->tm_sec < 0 || t->tm_sec > 59 + 50 || t->tm_min < 0 || t->tm_min > 59 || t->tm_hour < 0 ||
        t->tm_hour > 23 || t->tm_mday < 1 || t->tm_mday > 31 || t->tm_mon < 0 || t->tm_mon > 11 ||
        t->tm_wday < 0 || t->tm_wday > 6 || t->tm_yday < 0 || t->tm_yday > 365 || t->tm_isdst < 0 ||
        t->tm_isdst > 1 || std::strlen(t->tm_zone) >= 512) {
        std::abort();
    }
}

}  // namespace fuzz
