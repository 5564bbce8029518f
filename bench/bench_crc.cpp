// CRC-16/MODBUS throughput over a buffer of the size of a chunk of
// calc_crc16_of_file, against Boost.CRC's table-driven CRC of the same
// parameters where Boost is there (the host build), else against the
// byte-wise update with one table look-up per byte.

#include <benchmark/benchmark.h>
#include <stdint.h>

#include "bench_support.h"
#include "common/test_utility/work_with_files.h"

#if defined(UT_HAVE_BOOST_CRC)
#include <boost/crc.hpp>
#endif

namespace {

uint8_t data[4096];

void fill() {
    for (unsigned i = 0; i < sizeof(data); ++i) {
        data[i] = static_cast<uint8_t>(i * 13 + 5);
    }
}

uint16_t bytewise_crc16(const uint8_t* buf, int32_t len, uint16_t crc) {
    for (int32_t i = 0; i < len; ++i) {
        crc = static_cast<uint16_t>((crc >> 8) ^ Crc16Table[(crc ^ buf[i]) & 0xFF]);
    }
    return crc;
}

void bytewise_table(benchmark::State& state) {
    fill();
    for (auto _ : state) {
        benchmark::DoNotOptimize(bytewise_crc16(data, sizeof(data), 0xFFFF));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof(data)));
}

#if defined(UT_HAVE_BOOST_CRC)
void BM_baseline_boost_crc(benchmark::State& state) {
    fill();
    for (auto _ : state) {
        boost::crc_optimal<16, 0x8005, 0xFFFF, 0, true, true> crc;
        crc.process_bytes(data, sizeof(data));
        benchmark::DoNotOptimize(crc.checksum());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof(data)));
}
BENCHMARK(BM_baseline_boost_crc);

const char* const kBaseline = "vs:BM_baseline_boost_crc";

void BM_bytewise_table(benchmark::State& state) {
    bytewise_table(state);
    state.SetLabel(kBaseline);
}
BENCHMARK(BM_bytewise_table);
#else
const char* const kBaseline = "vs:BM_baseline_bytewise_table";

void BM_baseline_bytewise_table(benchmark::State& state) {
    bytewise_table(state);
}
BENCHMARK(BM_baseline_bytewise_table);
#endif

void BM_crc16(benchmark::State& state) {
    fill();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Crc16_for_buffers(data, sizeof(data), 0xFFFF));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof(data)));
    state.SetLabel(kBaseline);
}
BENCHMARK(BM_crc16);

} // namespace

int main(int argc, char** argv) {
    return ut_bench::run(argc, argv);
}
