// The time-zone library: compiled zone files (TZif version 1), POSIX TZ strings,
// the zone that TZ names, and conversion of 32-bit seconds to broken-down time.
//
// No heap, no output, no failure that a caller can see: every load that fails
// falls back to GMT. Two static zone records exist, lclmem and gmtmem; loaders
// fill the record they are given in place.

#include "tzlib/localtime.h"
#include "tzlib/tzfile.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tzlib {

namespace {

constexpr int TZIF_HEADER_SIZE = 44;
constexpr int READ_BUFFER_SIZE = 7944;
constexpr int PATH_BUFFER_SIZE = 4096;
constexpr std::int32_t SECS_PER_MIN = 60;
constexpr std::int32_t SECS_PER_HOUR = 3600;
constexpr std::int32_t SECS_PER_DAY = 86400;
constexpr std::int32_t DAYS_PER_WEEK = 7;
constexpr std::int32_t MAX_HOURS = 24 * DAYS_PER_WEEK - 1;  // 167: offsets reach one week
constexpr std::int32_t EPOCH_YEAR = 1970;
constexpr std::int32_t EPOCH_WDAY = 4;  // 1 January 1970 was a Thursday
constexpr std::int32_t TM_YEAR_BASE = 1900;
constexpr std::int32_t DEFAULT_RULE_TIME = 2 * SECS_PER_HOUR;
constexpr std::int32_t LAST_TABLE_YEAR = 2037;
constexpr std::size_t TZ_CACHE_SIZE = 256;

constexpr char wildabbr[] = "WILDABBR";
constexpr char gmt[] = "GMT";

char lcl_TZname[TZ_CACHE_SIZE];
int lcl_is_set = 0;  // 1: lcl_TZname cached; -1: default zone loaded; 0: nothing cached
int gmt_is_set = 0;
struct tm tm;

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Adds two 32-bit values as a 32-bit machine would, wrapping instead of overflowing;
// only a hostile rules file can make the sum leave the 32-bit range.
std::int32_t wrapping_add(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

std::int32_t wrapping_sub(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

// A type's offset in seconds west of UT.
std::int32_t west_of_ut(const zone_type& zt) { return wrapping_sub(0, zt.utc_offset); }

// getenv("TZ"), cheaper on the path every localtime takes: while the environment array
// and the entry found last time are where they were, that entry is still the first TZ
// (setenv and putenv replace an entry's pointer, unsetenv shifts the entries). The value
// is read afresh each time, so a string changed in place is still seen.
const char* tz_value() {
    static char** seen_env = nullptr;
    static std::size_t seen_index = 0;
    static const char* seen_entry = nullptr;
    if (environ != nullptr && environ == seen_env && seen_entry != nullptr && environ[seen_index] == seen_entry) {
        return seen_entry + 3;
    }
    seen_env = environ;
    seen_entry = nullptr;
    for (std::size_t i = 0; environ != nullptr && environ[i] != nullptr; ++i) {
        const char* e = environ[i];
        if (e[0] == 'T' && e[1] == 'Z' && e[2] == '=') {
            seen_index = i;
            seen_entry = e;
            return e + 3;
        }
    }
    return nullptr;
}

// Resolves the zone name to a path in buf; false when nothing may be opened.
bool zone_path(const char* name, char* buf) {
    if (name == nullptr || name[0] == '/' || (name[0] == ':' && name[1] == '/') ||
        std::strchr(name, '.') != nullptr) {
        name = DEFAULT_ZONE_FILE;
    }
    if (name[0] == ':') ++name;
    if (name[0] == '/') {
        if (access(name, R_OK) != 0) return false;
        std::strcpy(buf, name);  // only DEFAULT_ZONE_FILE can get here
        return true;
    }
    const std::size_t dir_len = std::strlen(ZONE_DIR);
    const std::size_t name_len = std::strlen(name);
    if (dir_len + name_len + 2 > PATH_BUFFER_SIZE - 1) return false;
    std::memcpy(buf, ZONE_DIR, dir_len);
    buf[dir_len] = '/';
    std::memcpy(buf + dir_len + 1, name, name_len + 1);
    return true;
}

// Reads at most READ_BUFFER_SIZE bytes of the regular file at path; the byte count, or -1.
ssize_t read_zone_file(const char* path, unsigned char* buf) {
    // O_NONBLOCK: a FIFO or a device must be refused by the fstat test, not waited for.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    const ssize_t nread = read(fd, buf, READ_BUFFER_SIZE);
    if (close(fd) != 0) return -1;
    return nread;
}

// Decodes the data items of a zone file whose counts are already in sp and checked.
int decode_zone_data(const unsigned char* p, zone_state& sp, std::int32_t std_count,
                     std::int32_t ut_count) {
    for (std::int32_t i = 0; i < sp.transition_count; ++i, p += 4) {
        sp.transition_times[i] = detzcode(p);
    }
    for (std::int32_t i = 0; i < sp.transition_count; ++i, ++p) {
        if (*p >= sp.type_count) return -1;
        sp.transition_types[i] = *p;
    }
    for (std::int32_t i = 0; i < sp.type_count; ++i, p += 6) {
        zone_type& zt = sp.zone_types[i];
        zt.utc_offset = detzcode(p);
        if (p[4] > 1) return -1;
        zt.is_dst = p[4];
        if (p[5] > sp.abbr_char_count) return -1;
        zt.abbr_index = p[5];
    }
    std::memcpy(sp.abbr_chars.data(), p, static_cast<std::size_t>(sp.abbr_char_count));
    sp.abbr_chars[sp.abbr_char_count] = '\0';
    p += sp.abbr_char_count;
    for (std::int32_t i = 0; i < sp.leap_count; ++i, p += 8) {
        sp.leaps[i].transition = detzcode(p);
        sp.leaps[i].correction = detzcode(p + 4);
    }
    for (std::int32_t i = 0; i < sp.type_count; ++i) {
        if (std_count == 0) {
            sp.zone_types[i].is_std = 0;
        } else {
            if (*p > 1) return -1;
            sp.zone_types[i].is_std = *p++;
        }
    }
    for (std::int32_t i = 0; i < sp.type_count; ++i) {
        if (ut_count == 0) {
            sp.zone_types[i].is_ut = 0;
        } else {
            if (*p > 1) return -1;
            sp.zone_types[i].is_ut = *p++;
        }
    }
    return 0;
}

// ---- TZ strings ----

// Advances past one expected character, or gives null.
const char* expect(const char* strp, char c) {
    if (strp == nullptr || *strp != c) return nullptr;
    return strp + 1;
}

// Fills sp with a zone of two types and the 1970 to 2037 table of the two rules.
void build_rule_table(zone_state& sp, const zone_rule& start, const zone_rule& end,
                      std::int32_t stdoffset, std::int32_t dstoffset, std::int32_t stdlen) {
    sp.type_count = 2;
    sp.transition_count = 2 * (LAST_TABLE_YEAR - EPOCH_YEAR + 1);
    sp.zone_types[0].utc_offset = -dstoffset;
    sp.zone_types[0].is_dst = 1;
    sp.zone_types[0].abbr_index = stdlen + 1;
    sp.zone_types[1].utc_offset = -stdoffset;
    sp.zone_types[1].is_dst = 0;
    sp.zone_types[1].abbr_index = 0;
    std::int32_t janfirst = 0;
    int n = 0;
    for (std::int32_t year = EPOCH_YEAR; year <= LAST_TABLE_YEAR; ++year) {
        const std::int32_t starttime = transtime(janfirst, year, start, stdoffset);
        const std::int32_t endtime = transtime(janfirst, year, end, dstoffset);
        if (starttime > endtime) {
            sp.transition_times[n] = endtime;
            sp.transition_types[n++] = 1;
            sp.transition_times[n] = starttime;
            sp.transition_types[n++] = 0;
        } else {
            sp.transition_times[n] = starttime;
            sp.transition_types[n++] = 0;
            sp.transition_times[n] = endtime;
            sp.transition_types[n++] = 1;
        }
        janfirst += year_lengths[isleap(year)] * SECS_PER_DAY;
    }
}

// Moves the transitions of the rules file, just loaded into sp, onto the string's offsets.
void move_rules_file(zone_state& sp, std::int32_t stdoffset, std::int32_t dstoffset,
                     std::int32_t stdlen) {
    // The offsets the file's own transitions were written against, first of each kind.
    std::int32_t their_std = 0;
    std::int32_t their_dst = 0;
    bool std_seen = false;
    bool dst_seen = false;
    for (std::int32_t i = 0; i < sp.transition_count; ++i) {
        const zone_type& zt = sp.zone_types[sp.transition_types[i]];
        if (zt.is_dst && !dst_seen) {
            their_dst = west_of_ut(zt);
            dst_seen = true;
        } else if (!zt.is_dst && !std_seen) {
            their_std = west_of_ut(zt);
            std_seen = true;
        }
    }
    bool in_dst = false;
    for (std::int32_t i = 0; i < sp.transition_count; ++i) {
        const zone_type& zt = sp.zone_types[sp.transition_types[i]];
        sp.transition_types[i] = static_cast<std::uint8_t>(zt.is_dst);
        if (!zt.is_ut) {
            const std::int32_t shift = (in_dst && !zt.is_std) ? wrapping_sub(dstoffset, their_dst)
                                                               : wrapping_sub(stdoffset, their_std);
            sp.transition_times[i] = wrapping_add(sp.transition_times[i], shift);
        }
        if (zt.is_dst) {
            their_dst = west_of_ut(zt);
            in_dst = true;
        } else {
            their_std = west_of_ut(zt);
            in_dst = false;
        }
    }
    sp.zone_types[0].utc_offset = -stdoffset;
    sp.zone_types[0].is_dst = 0;
    sp.zone_types[0].abbr_index = 0;
    sp.zone_types[1].utc_offset = -dstoffset;
    sp.zone_types[1].is_dst = 1;
    sp.zone_types[1].abbr_index = stdlen + 1;
}

// ---- zone selection ----

// Makes sp the GMT zone: its zone file, or the last-resort parse.
void gmtload(zone_state& sp) {
    if (tzload(gmt, sp) != 0) (void)tzparse(gmt, sp, 1);
}

// Makes lclmem UTC without reading any file, for an empty TZ.
void load_empty_tz(zone_state& sp) {
    sp.leap_count = 0;
    sp.transition_count = 0;
    sp.type_count = 1;
    sp.zone_types[0] = zone_type{0, 0, 0, 0, 0};
    std::memcpy(sp.abbr_chars.data(), gmt, sizeof gmt);
    sp.abbr_char_count = sizeof gmt;
}

// Points tzname at the abbreviations of lclmem, latest transition of each kind last.
void settzname() {
    tzname[0] = wildabbr;
    tzname[1] = wildabbr;
    const zone_state& sp = lclmem;
    for (std::int32_t i = 0; i < sp.type_count; ++i) {
        const zone_type& zt = sp.zone_types[i];
        tzname[zt.is_dst != 0] = &sp.abbr_chars[zt.abbr_index];
    }
    for (std::int32_t i = 0; i < sp.transition_count; ++i) {
        const zone_type& zt = sp.zone_types[sp.transition_types[i]];
        tzname[zt.is_dst != 0] = &sp.abbr_chars[zt.abbr_index];
    }
}

// The local time type of lclmem in force at t.
const zone_type& local_type(std::int32_t t) {
    const zone_state& sp = lclmem;
    if (sp.transition_count == 0 || t < sp.transition_times[0]) {
        for (std::int32_t i = 0; i < sp.type_count; ++i) {
            if (!sp.zone_types[i].is_dst) return sp.zone_types[i];
        }
        return sp.zone_types[0];
    }
    // The last transition at or before t: a binary search, which for ascending tables picks
    // what a walk from the start would.
    const auto* first = sp.transition_times.data();
    const auto* after = std::upper_bound(first + 1, first + sp.transition_count, t);
    return sp.zone_types[sp.transition_types[after - first - 1]];
}

// Converts with lclmem into tmp.
void localsub(const std::int32_t* timep, struct tm* tmp) {
    const zone_type& zt = local_type(*timep);
    timesub(timep, zt.utc_offset, lclmem, tmp);
    tmp->tm_isdst = zt.is_dst;
    const char* abbr = &lclmem.abbr_chars[zt.abbr_index];
    tmp->tm_zone = abbr;
    tzname[tmp->tm_isdst != 0] = abbr;
}

// Converts with gmtmem into tmp, loading it on first use.
void gmtsub(const std::int32_t* timep, struct tm* tmp) {
    if (!gmt_is_set) {
        gmt_is_set = 1;
        gmtload(gmtmem);
    }
    timesub(timep, 0, gmtmem, tmp);
    tmp->tm_zone = gmtmem.abbr_chars.data();
}

}  // namespace

zone_state lclmem;
zone_state gmtmem;
const char* tzname[2] = {wildabbr, wildabbr};

std::int32_t detzcode(const unsigned char* p) {
    const std::uint32_t u = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                            (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
    return static_cast<std::int32_t>(u);
}

int tzload(const char* name, zone_state& sp) {
    char path[PATH_BUFFER_SIZE];
    if (!zone_path(name, path)) return -1;
    unsigned char buf[READ_BUFFER_SIZE];
    const ssize_t nread = read_zone_file(path, buf);
    if (nread < TZIF_HEADER_SIZE) return -1;

    const std::int32_t ut_count = detzcode(buf + 20);
    const std::int32_t std_count = detzcode(buf + 24);
    sp.leap_count = detzcode(buf + 28);
    sp.transition_count = detzcode(buf + 32);
    sp.type_count = detzcode(buf + 36);
    sp.abbr_char_count = detzcode(buf + 40);

    if (sp.leap_count < 0 || sp.leap_count > MAX_LEAPS) return -1;
    if (sp.type_count <= 0 || sp.type_count > MAX_TYPES) return -1;
    if (sp.transition_count < 0 || sp.transition_count > MAX_TRANSITIONS) return -1;
    if (sp.abbr_char_count < 0 || sp.abbr_char_count > MAX_ABBR_CHARS) return -1;
    if (ut_count != 0 && ut_count != sp.type_count) return -1;
    if (std_count != 0 && std_count != sp.type_count) return -1;
    // Every count is bounded now, so the sum cannot overflow.
    const std::int32_t needed = 5 * sp.transition_count + 6 * sp.type_count + sp.abbr_char_count +
                                8 * sp.leap_count + std_count + ut_count;
    if (nread - TZIF_HEADER_SIZE < needed) return -1;

    return decode_zone_data(buf + TZIF_HEADER_SIZE, sp, std_count, ut_count);
}

const char* getzname(const char* strp) {
    char c;
    while ((c = *strp) != '\0' && !is_digit(c) && c != ',' && c != '-' && c != '+') ++strp;
    return strp;
}

const char* getnum(const char* strp, std::int32_t* nump, std::int32_t min, std::int32_t max) {
    if (strp == nullptr || !is_digit(*strp)) return nullptr;
    std::int32_t num = 0;
    do {
        num = num * 10 + (*strp - '0');
        if (num > max) return nullptr;  // checked per digit: num * 10 never overflows
        ++strp;
    } while (is_digit(*strp));
    if (num < min) return nullptr;
    *nump = num;
    return strp;
}

const char* getsecs(const char* strp, std::int32_t* secsp) {
    std::int32_t hours = 0;
    strp = getnum(strp, &hours, 0, MAX_HOURS);
    if (strp == nullptr) return nullptr;
    std::int32_t secs = hours * SECS_PER_HOUR;
    if (*strp == ':') {
        std::int32_t mins = 0;
        strp = getnum(strp + 1, &mins, 0, SECS_PER_MIN - 1);
        if (strp == nullptr) return nullptr;
        secs += mins * SECS_PER_MIN;
        if (*strp == ':') {
            std::int32_t s = 0;
            strp = getnum(strp + 1, &s, 0, SECS_PER_MIN);  // 60 allows a leap second
            if (strp == nullptr) return nullptr;
            secs += s;
        }
    }
    *secsp = secs;
    return strp;
}

const char* getoffset(const char* strp, std::int32_t* offsetp) {
    bool neg = false;
    if (*strp == '-') {
        neg = true;
        ++strp;
    } else if (*strp == '+') {
        ++strp;
    }
    strp = getsecs(strp, offsetp);
    if (strp == nullptr) return nullptr;
    if (neg) *offsetp = -*offsetp;
    return strp;
}

const char* getrule(const char* strp, zone_rule* rulep) {
    if (*strp == 'J') {
        rulep->kind = RULE_JULIAN_NO_LEAP;
        strp = getnum(strp + 1, &rulep->day, 1, 365);
    } else if (*strp == 'M') {
        rulep->kind = RULE_MONTH_WEEK_DAY;
        strp = getnum(strp + 1, &rulep->month, 1, 12);
        strp = getnum(expect(strp, '.'), &rulep->week, 1, 5);
        strp = getnum(expect(strp, '.'), &rulep->day, 0, DAYS_PER_WEEK - 1);
    } else if (is_digit(*strp)) {
        rulep->kind = RULE_DAY_OF_YEAR;
        strp = getnum(strp, &rulep->day, 0, 365);
    } else {
        return nullptr;
    }
    if (strp == nullptr) return nullptr;
    if (*strp == '/') return getsecs(strp + 1, &rulep->time);
    rulep->time = DEFAULT_RULE_TIME;
    return strp;
}

std::int32_t transtime(std::int32_t janfirst, std::int32_t year, const zone_rule& rule,
                       std::int32_t offset) {
    const int leapyear = isleap(year);
    // In 64 bits: for every accepted rule and a year up to 2037 the sum fits 32 bits again.
    std::int64_t value = janfirst;
    switch (rule.kind) {
        case RULE_JULIAN_NO_LEAP:
            value += std::int64_t{rule.day - 1} * SECS_PER_DAY;
            if (leapyear && rule.day >= 60) value += SECS_PER_DAY;
            break;
        case RULE_DAY_OF_YEAR:
            value += std::int64_t{rule.day} * SECS_PER_DAY;
            break;
        default: {
            for (std::int32_t i = 0; i < rule.month - 1; ++i) {
                value += std::int64_t{mon_lengths[leapyear][i]} * SECS_PER_DAY;
            }
            // Zeller's congruence: the weekday of the first of the month, Sunday 0.
            const std::int32_t m1 = (rule.month + 9) % 12 + 1;
            const std::int32_t yy0 = (rule.month <= 2) ? year - 1 : year;
            const std::int32_t yy1 = yy0 / 100;
            const std::int32_t yy2 = yy0 % 100;
            std::int32_t dow = ((26 * m1 - 2) / 10 + 1 + yy2 + yy2 / 4 + yy1 / 4 - 2 * yy1) % 7;
            if (dow < 0) dow += DAYS_PER_WEEK;
            std::int32_t d = rule.day - dow;
            if (d < 0) d += DAYS_PER_WEEK;
            for (std::int32_t i = 1; i < rule.week; ++i) {
                if (d + DAYS_PER_WEEK >= mon_lengths[leapyear][rule.month - 1]) break;
                d += DAYS_PER_WEEK;
            }
            value += std::int64_t{d} * SECS_PER_DAY;
            break;
        }
    }
    return static_cast<std::int32_t>(value + rule.time + offset);
}

int tzparse(const char* name, zone_state& sp, int last_resort) {
    const char* stdname = name;
    std::int32_t stdlen = 0;
    std::int32_t stdoffset = 0;
    if (last_resort) {
        const std::size_t len = std::strlen(name);
        stdlen = len >= ABBR_AREA_SIZE ? ABBR_AREA_SIZE - 1 : static_cast<std::int32_t>(len);
        name += len;
    } else {
        name = getzname(name);
        stdlen = static_cast<std::int32_t>(name - stdname);
        if (stdlen < 3 || *name == '\0') return -1;
        name = getoffset(name, &stdoffset);
        if (name == nullptr) return -1;
    }

    const bool rules_loaded = tzload(RULES_FILE, sp) == 0;
    if (!rules_loaded) sp.leap_count = 0;

    const char* dstname = nullptr;
    std::int32_t dstlen = 0;
    if (*name == '\0') {
        sp.type_count = 1;
        sp.transition_count = 0;
        sp.zone_types[0].utc_offset = -stdoffset;
        sp.zone_types[0].is_dst = 0;
        sp.zone_types[0].abbr_index = 0;
    } else {
        dstname = name;
        name = getzname(name);
        dstlen = static_cast<std::int32_t>(name - dstname);
        if (dstlen < 3) return -1;
        std::int32_t dstoffset = stdoffset - SECS_PER_HOUR;
        if (*name != '\0' && *name != ',') {
            name = getoffset(name, &dstoffset);
            if (name == nullptr) return -1;
        }
        if (*name == ',' || *name == ';') {
            zone_rule start{};
            zone_rule end{};
            name = getrule(name + 1, &start);
            if (name == nullptr) return -1;
            name = expect(name, ',');
            if (name == nullptr) return -1;
            name = getrule(name, &end);
            if (name == nullptr || *name != '\0') return -1;
            build_rule_table(sp, start, end, stdoffset, dstoffset, stdlen);
        } else {
            if (*name != '\0' || !rules_loaded) return -1;
            move_rules_file(sp, stdoffset, dstoffset, stdlen);
        }
    }

    std::int32_t count = stdlen + 1;
    if (dstname != nullptr) count += dstlen + 1;
    if (count > ABBR_AREA_SIZE) return -1;
    sp.abbr_char_count = count;
    char* cp = sp.abbr_chars.data();
    std::memcpy(cp, stdname, static_cast<std::size_t>(stdlen));
    cp[stdlen] = '\0';
    if (dstname != nullptr) {
        std::memcpy(cp + stdlen + 1, dstname, static_cast<std::size_t>(dstlen));
        cp[stdlen + 1 + dstlen] = '\0';
    }
    return 0;
}

void timesub(const std::int32_t* timep, std::int32_t offset, const zone_state& sp, struct tm* tmp) {
    const std::int32_t t = *timep;
    std::int32_t corr = 0;
    int hit = 0;
    for (std::int32_t i = sp.leap_count - 1; i >= 0; --i) {
        const leap_record& lp = sp.leaps[i];
        if (t < lp.transition) continue;
        corr = lp.correction;
        if (t == lp.transition) {
            hit = (i == 0) ? (lp.correction > 0) : (lp.correction > sp.leaps[i - 1].correction);
            if (hit) {
                // A run of leap seconds inserted back to back shows as 60, 61, ...
                for (std::int32_t j = i; j > 0; --j) {
                    const leap_record& cur = sp.leaps[j];
                    const leap_record& prev = sp.leaps[j - 1];
                    if (std::int64_t{cur.transition} != std::int64_t{prev.transition} + 1 ||
                        std::int64_t{cur.correction} != std::int64_t{prev.correction} + 1) {
                        break;
                    }
                    ++hit;
                }
            }
        }
        break;
    }

    // Whole days, then the seconds into the day. Any offset keeps the day count within
    // 32 bits, but the sum of seconds may not fit them, hence the one 64-bit step.
    std::int32_t days = t / SECS_PER_DAY;
    std::int64_t rem = std::int64_t{t % SECS_PER_DAY} + offset - corr;
    if (rem < 0 || rem >= SECS_PER_DAY) {
        std::int64_t shift = rem / SECS_PER_DAY;
        rem -= shift * SECS_PER_DAY;
        if (rem < 0) {
            rem += SECS_PER_DAY;
            --shift;
        }
        days += static_cast<std::int32_t>(shift);
    }
    const auto secs = static_cast<std::int32_t>(rem);
    tmp->tm_hour = secs / SECS_PER_HOUR;
    tmp->tm_min = secs % SECS_PER_HOUR / SECS_PER_MIN;
    tmp->tm_sec = secs % SECS_PER_MIN + hit;

    std::int32_t wday = (EPOCH_WDAY + days) % DAYS_PER_WEEK;
    if (wday < 0) wday += DAYS_PER_WEEK;
    tmp->tm_wday = wday;

    // The Gregorian date of the day, in closed form over 400-year eras counted from
    // 1 March 0000 (leap days then fall at the end of a year): the same date as stepping
    // year by year with year_lengths, in constant time.
    const std::int32_t z = days + 719468;  // days from 0000-03-01 to 1970-01-01
    const std::int32_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int32_t doe = z - era * 146097;                                   // 0 .. 146096
    const std::int32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // 0 .. 399
    const std::int32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);              // from 1 March
    const std::int32_t mp = (5 * doy + 2) / 153;                                 // 0 = March
    const std::int32_t mon = mp < 10 ? mp + 2 : mp - 10;                         // 0 = January
    const std::int32_t year = yoe + era * 400 + (mon <= 1 ? 1 : 0);
    tmp->tm_year = year - TM_YEAR_BASE;
    tmp->tm_mon = mon;
    tmp->tm_mday = doy - (153 * mp + 2) / 5 + 1;
    tmp->tm_yday = mon <= 1 ? doy - 306 : doy + 59 + isleap(year);
    tmp->tm_isdst = 0;
    tmp->tm_gmtoff = offset;
}

void tzsetwall() {
    if (lcl_is_set == -1) return;
    lcl_is_set = -1;
    if (tzload(nullptr, lclmem) != 0) gmtload(lclmem);
    settzname();
}

void tzset() {
    const char* name = tz_value();
    if (name == nullptr) {
        tzsetwall();
        return;
    }
    if (lcl_is_set == 1 && std::strcmp(lcl_TZname, name) == 0) return;
    const std::size_t len = std::strlen(name);
    if (len < TZ_CACHE_SIZE) {
        std::memcpy(lcl_TZname, name, len + 1);
        lcl_is_set = 1;
    } else {
        lcl_is_set = 0;  // too long to remember: load again on every call
    }
    if (name[0] == '\0') {
        load_empty_tz(lclmem);
    } else if (tzload(name, lclmem) != 0) {
        if (name[0] == ':' || tzparse(name, lclmem, 0) != 0) gmtload(lclmem);
    }
    settzname();
}

struct tm* localtime(const std::int32_t* timep) {
    tzset();
    localsub(timep, &tm);
    return &tm;
}

struct tm* gmtime(const std::int32_t* timep) {
    gmtsub(timep, &tm);
    return &tm;
}

struct tm* gmtime_r(const std::int32_t* timep, struct tm* result) {
    gmtsub(timep, result);
    return result;
}

}  // namespace tzlib
