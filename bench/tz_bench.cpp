// The time-zone library beside the platform's C library, in one process. Each
// pair reads the same zone file (TZDIR points the platform at the zone directory)
// at the same instants, with TZ unchanged; scripts/bench runs the repetitions
// interleaved and prints the ratios.
#include "tzlib/localtime.h"
#include "tzlib/tzfile.h"

#include "fs_helpers.h"
#include "guard.h"
#include "tzif_writer.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <random>

namespace {

constexpr const char* zone_name = "Bench/Central";
constexpr const char* rule_string = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr std::size_t instant_count = 4096;

using instants = std::array<std::int32_t, instant_count>;

// The last Sunday of a month, as a day of the month.
unsigned last_sunday(long y, unsigned m) {
    const unsigned lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    unsigned d = lengths[m - 1];
    while ((box::days_from_civil(y, m, d) + 4) % 7 != 0) --d;
    return d;
}

// A zone with daylight saving from 1970 to 2037, changes at 01:00 UT.
std::string central_zone() {
    tzif::zone z;
    z.types = {{3600, 0, 0}, {7200, 1, 4}};
    z.abbrs = std::string("CET\0CEST\0", 9);
    for (long y = 1970; y <= 2037; ++y) {
        z.transitions.push_back({static_cast<std::int32_t>(box::utc(y, 3, last_sunday(y, 3), 1)), 1});
        z.transitions.push_back({static_cast<std::int32_t>(box::utc(y, 10, last_sunday(y, 10), 1)), 0});
    }
    return tzif::bytes(z);
}

instants make_instants(long year) {
    std::mt19937 rng(static_cast<unsigned>(year));
    instants out{};
    if (year == 0) {
        std::uniform_int_distribution<std::int32_t> any(INT32_MIN, INT32_MAX);
        for (auto& t : out) t = any(rng);
    } else {
        std::uniform_int_distribution<long> within(box::utc(year, 1, 1), box::utc(year + 1, 1, 1) - 1);
        for (auto& t : out) t = static_cast<std::int32_t>(within(rng));
    }
    return out;
}

const instants& instants_of(long year) {
    static const instants y2026 = make_instants(2026);
    static const instants y1975 = make_instants(1975);
    static const instants any = make_instants(0);
    return year == 2026 ? y2026 : year == 1975 ? y1975 : any;
}

void use_tz(const char* value) {
    setenv("TZ", value, 1);
    ::tzset();
    tzlib::tzset();
}

// range(0): the year of the instants (0: anywhere in the 32-bit range); range(1): 1 for the rule string.
void BM_tzlib_localtime(benchmark::State& state) {
    use_tz(state.range(1) ? rule_string : zone_name);
    const instants& ts = instants_of(state.range(0));
    std::size_t i = 0;
    for (auto _ : state) {
        const std::int32_t t = ts[i++ % instant_count];
        benchmark::DoNotOptimize(tzlib::localtime(&t));
    }
}

void BM_libc_localtime(benchmark::State& state) {
    use_tz(state.range(1) ? rule_string : zone_name);
    const instants& ts = instants_of(state.range(0));
    std::size_t i = 0;
    for (auto _ : state) {
        const time_t t = ts[i++ % instant_count];
        benchmark::DoNotOptimize(::localtime(&t));
    }
}

void BM_tzlib_gmtime(benchmark::State& state) {
    const instants& ts = instants_of(0);
    std::size_t i = 0;
    for (auto _ : state) {
        const std::int32_t t = ts[i++ % instant_count];
        benchmark::DoNotOptimize(tzlib::gmtime(&t));
    }
}

void BM_libc_gmtime_r(benchmark::State& state) {
    const instants& ts = instants_of(0);
    std::size_t i = 0;
    struct tm out {};
    for (auto _ : state) {
        const time_t t = ts[i++ % instant_count];
        benchmark::DoNotOptimize(::gmtime_r(&t, &out));
    }
}

void BM_tzlib_tzset_unchanged(benchmark::State& state) {
    use_tz(zone_name);
    for (auto _ : state) tzlib::tzset();
}

void BM_tzlib_zone_file_load(benchmark::State& state) {
    static tzlib::zone_state sp;
    for (auto _ : state) benchmark::DoNotOptimize(tzlib::tzload(zone_name, sp));
}

void BM_tzlib_rule_string_parse(benchmark::State& state) {
    static tzlib::zone_state sp;
    for (auto _ : state) benchmark::DoNotOptimize(tzlib::tzparse(rule_string, sp, 0));
}

void instant_args(benchmark::internal::Benchmark* b) {
    b->ArgNames({"year", "rules"});
    for (long rules : {0L, 1L}) {
        for (long year : {2026L, 1975L, 0L}) b->Args({year, rules});
    }
}

BENCHMARK(BM_tzlib_localtime)->Apply(instant_args);
BENCHMARK(BM_libc_localtime)->Apply(instant_args);
BENCHMARK(BM_tzlib_gmtime);
BENCHMARK(BM_libc_gmtime_r);
BENCHMARK(BM_tzlib_tzset_unchanged);
BENCHMARK(BM_tzlib_zone_file_load);
BENCHMARK(BM_tzlib_rule_string_parse);

}  // namespace

int main(int argc, char** argv) {
    sandbox::require();
    box::write_zone(zone_name, central_zone());
    setenv("TZDIR", box::zoneinfo.data(), 1);  // the platform reads the same file by the same name
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
