// Fuzz target: arbitrary bytes as the postcode zone table.
#include "guard.h"
#include "fuzz_common.h"

#include "zonefind/plimbotimelib.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sandbox::require();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zonefind;
    for (int i = 0; i < Listsize; ++i) {
        std::free(Postcode[i]);
        std::free(Timezone[i]);
    }
    Listsize = 0;
    fuzz::write_file(PostcodeZones, data, size);
    read_postcode_zones();
    if (Listsize < 0 || Listsize > MAX_ROWS) std::abort();
    for (int i = 0; i < Listsize; ++i) {
        const std::size_t p = std::strlen(Postcode[i]);
        const std::size_t z = std::strlen(Timezone[i]);
        // A row comes from one 198-byte piece: the two columns and the TAB between them.
        if (p + z + 1 > 198 || std::strchr(Postcode[i], '\t') != nullptr || std::strchr(Timezone[i], '\n') != nullptr) {
            std::abort();
        }
    }
    return 0;
}
