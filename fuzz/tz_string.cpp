// Fuzz target: arbitrary TZ values through tzset and localtime, and straight into
// the rule parser, with and without a rules file. The first byte chooses.
#include "guard.h"
#include "fuzz_common.h"

#include "tzlib/localtime.h"
#include "tzlib/tzfile.h"

#include <algorithm>
#include <string>

namespace {

// A rules file: 5 hours west, 4 hours west in daylight-saving time, transitions of each kind.
const unsigned char rules_file[] = {
    'T', 'Z', 'i', 'f', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 8,
    0x04, 0xB0, 0xB5, 0x80, 0x06, 0x9C, 0x52, 0x70,   // two transition times
    1, 0,                                              // their types
    0xFF, 0xFF, 0xB9, 0xB0, 0, 0,                      // -18000, standard, "EST"
    0xFF, 0xFF, 0xC7, 0xC0, 1, 4,                      // -14400, daylight saving, "EDT"
    'E', 'S', 'T', 0, 'E', 'D', 'T', 0,
    0x04, 0xB2, 0x80, 0x00, 0, 0, 0, 1,                // one leap second
    0, 1,                                              // standard/wall
    0, 0,                                              // UT/local
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sandbox::require();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static tzlib::zone_state sp;
    if (size == 0) return 0;
    if (data[0] & 1) {
        fuzz::write_file("/var/hack/zoneinfo/posixrules", rules_file, sizeof rules_file);
    } else {
        unlink("/var/hack/zoneinfo/posixrules");
    }
    // One environment entry, rewritten in place: setenv would keep every value ever set,
    // and millions of distinct values exhaust the memory of the fuzzing process.
    static char entry[3 + 8192 + 1] = "TZ=";
    static const bool put = putenv(entry) == 0;
    if (!put) std::abort();
    const std::size_t len = std::min(size - 1, std::size_t{8192});
    std::memcpy(entry + 3, data + 1, len);
    entry[3 + len] = '\0';
    const std::string tz(entry + 3);
    for (std::int32_t t : {INT32_MIN, -1, 0, 86400 * 100, 1'000'000'000, INT32_MAX}) {
        fuzz::check_tm(tzlib::localtime(&t));
    }
    for (int last_resort : {0, 1}) {
        if (tzlib::tzparse(tz.c_str(), sp, last_resort) != 0) {
            if (last_resort) std::abort();  // the last resort never fails
            continue;
        }
        if (sp.type_count < 1 || sp.type_count > tzlib::MAX_TYPES || sp.transition_count < 0 ||
            sp.transition_count > tzlib::MAX_TRANSITIONS || sp.abbr_char_count > tzlib::ABBR_AREA_SIZE) {
            std::abort();
        }
        for (std::int32_t i = 0; i < sp.transition_count; ++i) {
            if (sp.transition_types[i] > 1) std::abort();
        }
    }
    return 0;
}
