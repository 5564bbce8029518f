// Keystream and whole-file scrambling throughput against the literal
// generator (64-bit division and remainder in every draw), in the same run.

#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>

#include "bench_support.h"
#include "common/test_utility/scramble.h"
#include "reference/literal_scramble.h"

namespace {

// One chunk of crypt_file.
unsigned char chunk[CRYPT_CHUNK_SIZE];

void BM_baseline_literal_keystream(benchmark::State& state) {
    int32_t seed = 12345;
    for (auto _ : state) {
        literal::xor_buffer(chunk, CRYPT_CHUNK_SIZE, seed++);
        benchmark::DoNotOptimize(chunk);
    }
    state.SetBytesProcessed(state.iterations() * CRYPT_CHUNK_SIZE);
}
BENCHMARK(BM_baseline_literal_keystream);

void BM_keystream(benchmark::State& state) {
    int32_t seed = 12345;
    for (auto _ : state) {
        xor_buffer(chunk, CRYPT_CHUNK_SIZE, seed++);
        benchmark::DoNotOptimize(chunk);
    }
    state.SetBytesProcessed(state.iterations() * CRYPT_CHUNK_SIZE);
    state.SetLabel("vs:BM_baseline_literal_keystream");
}
BENCHMARK(BM_keystream);

// 1 MiB: a large task package.
const int kFileSize = 1 << 20;

void make_file(const char* name) {
    static unsigned char data[kFileSize];
    for (int i = 0; i < kFileSize; ++i) {
        data[i] = static_cast<unsigned char>(i * 7);
    }
    FILE* f = fopen(name, "wb");
    fwrite(data, 1, sizeof(data), f);
    fclose(f);
}

// The same file loop as crypt_file (4096-byte chunks read, converted and
// written back in place through an unbuffered stream) with the literal
// generator.
int literal_crypt_file(const char* path) {
    FILE* f = fopen(path, "rb+");
    if (f == nullptr) {
        return 0;
    }
    setvbuf(f, nullptr, _IONBF, 0);
    fseeko(f, 0, SEEK_END);
    off_t length = ftello(f);
    rewind(f);
    unsigned char buf[CRYPT_CHUNK_SIZE] = {};
    literal::set_state(
        static_cast<int32_t>(static_cast<uint32_t>(length) + CRYPT_FILE_SEED_OFFSET));
    size_t got;
    while ((got = fread(buf, 1, sizeof(buf), f)) > 0) {
        literal::xor_buffer(buf, CRYPT_CHUNK_SIZE,
                            static_cast<int32_t>(static_cast<uint32_t>(literal::state())));
        fseeko(f, -static_cast<off_t>(got), SEEK_CUR);
        fwrite(buf, 1, got, f);
        off_t position = ftello(f);
        if (position == length) {
            break;
        }
        fseeko(f, position, SEEK_SET);
    }
    fclose(f);
    return 1;
}

void BM_baseline_literal_crypt_file(benchmark::State& state) {
    make_file("literal.bin");
    for (auto _ : state) {
        literal_crypt_file("literal.bin");
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}
BENCHMARK(BM_baseline_literal_crypt_file)->Unit(benchmark::kMillisecond);

void BM_crypt_file(benchmark::State& state) {
    make_file("fast.bin");
    for (auto _ : state) {
        if (crypt_file("fast.bin") != 1) {
            state.SkipWithError("crypt_file failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
    state.SetLabel("vs:BM_baseline_literal_crypt_file");
}
BENCHMARK(BM_crypt_file)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return ut_bench::run(argc, argv);
}
