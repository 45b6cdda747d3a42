// Fuzz target: arbitrary bytes as a zone file, loaded and then used for conversions.
#include "guard.h"
#include "fuzz_common.h"

#include "tzlib/localtime.h"
#include "tzlib/tzfile.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sandbox::require();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static tzlib::zone_state sp;
    static bool flip = false;
    fuzz::write_file("/var/hack/zoneinfo/Fuzz", data, size);
    // Two names of the same file, so that every input is loaded afresh.
    flip = !flip;
    setenv("TZ", flip ? "Fuzz" : ":Fuzz", 1);

    const std::int32_t edges[] = {INT32_MIN, -1, 0, 1, 78796800, INT32_MAX};
    for (std::int32_t t : edges) fuzz::check_tm(tzlib::localtime(&t));
    for (std::int32_t i = 0; i < tzlib::lclmem.transition_count; ++i) {
        const std::int32_t at = tzlib::lclmem.transition_times[i];
        for (std::int32_t t : {at, at == INT32_MIN ? at : at - 1, at == INT32_MAX ? at : at + 1}) {
            fuzz::check_tm(tzlib::localtime(&t));
        }
    }
    if (tzlib::tzload("Fuzz", sp) == 0) {
        for (std::int32_t i = 0; i < sp.type_count; ++i) {
            for (std::int32_t t : edges) {
                struct tm out {};
                tzlib::timesub(&t, sp.zone_types[i].utc_offset, sp, &out);
                out.tm_zone = "";
                fuzz::check_tm(&out);
            }
        }
    }
    return 0;
}
