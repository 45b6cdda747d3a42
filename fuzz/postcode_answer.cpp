// Fuzz target: arbitrary output of the postcode program, read by one run of it.
#include "guard.h"
#include "fuzz_common.h"

#include "zonefind/plimbotimelib.h"

#include <cerrno>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sandbox::require();
    zonefind::Get_Postalcode = "exec cat /tmp/fuzz-answer";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::write_file("/tmp/fuzz-answer", data, size);
    char postcode[zonefind::POSTCODE_LENGTH + 1];
    const int result = zonefind::run_postcode_program(postcode);
    if (size < zonefind::POSTCODE_LENGTH) {
        if (result != ENODATA) std::abort();
        return 0;
    }
    if (result != 0 || postcode[5] != '\0' || std::memcmp(postcode, data, 5) != 0) std::abort();
    return 0;
}
