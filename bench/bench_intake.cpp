// The intake of a large scrambled task package, step by step as the daemon
// takes it in from the stick (copy into the temporary folder, unscramble in
// place, read and compute the checksum, extract every entry), against `cp`
// of the same file in the same run. Everything lies on a tmpfs (/dev/shm)
// when there is one, so the figures are the daemon's own work, not a disk's.
// The package's size in MB comes from UT_BENCH_INTAKE_MB (default 64).
// BM_intake_signed is the same intake on a board that holds a trusted key:
// the package is hashed (BLAKE2b-512) while its copy is written, the
// signature file is copied beside the copy and the "ED" signature is checked
// on that hash before the copy is unpacked; its cost is the ratio against
// BM_intake. BM_step_hash is BLAKE2b-512 alone over the package in memory:
// what the signed intake cannot save.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench_support.h"
#include "common/test_utility/file_pack.h"
#include "common/test_utility/minisign.h"
#include "common/test_utility/scramble.h"
#include "common/test_utility/test_utility.h"
#include "common/test_utility/work_with_files.h"
#include "src/start_task/signature_check.h"

#include <sodium.h>

extern char** environ;

namespace {

struct Paths {
    std::string root;  // ends in "/"
    std::string stick; // the scrambled package, as on the stick
    std::string plain; // the same package unscrambled
    std::string temp;  // the daemon's temporary folder, ends in "/"
    std::string keys;  // a folder of trusted keys, ends in "/"
    long long bytes = 0;
};

Paths& paths() {
    static Paths p;
    return p;
}

void sign_package();

// Builds the package once: 20 files of pseudo-random bytes.
void make_package() {
    Paths& p = paths();
    if (!p.stick.empty()) {
        return;
    }
    const char* mb_text = getenv("UT_BENCH_INTAKE_MB");
    long long mb = mb_text != nullptr ? atoll(mb_text) : 64;
    struct stat st;
    std::string base = stat("/dev/shm", &st) == 0 ? "/dev/shm" : ut_bench::work_dir();
    char tmpl[256];
    snprintf(tmpl, sizeof(tmpl), "%s/ut_bench_intake_XXXXXX", base.c_str());
    if (mkdtemp(tmpl) == nullptr) {
        abort();
    }
    p.root = std::string(tmpl) + "/";
    std::string src = p.root + "src/";
    mkdir(src.c_str(), 0700);
    const int files = 19; // and the work list: 20 entries
    long long each = mb * 1024 * 1024 / files;
    std::vector<unsigned char> data(static_cast<size_t>(each));
    unsigned state = 12345;
    for (int i = 0; i < files; ++i) {
        for (auto& b : data) {
            state = state * 1103515245u + 12345u;
            b = static_cast<unsigned char>(state >> 16);
        }
        std::string name = src + "part" + std::to_string(i) + ".bin";
        FILE* f = fopen(name.c_str(), "wb");
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }
    FILE* f = fopen((src + "work_list.f").c_str(), "wb");
    fputs("<0002>{remove_temp_folder}\n", f);
    fclose(f);
    if (!pack_files(src.c_str(), "package.f")) {
        abort();
    }
    p.plain = p.root + "plain.f";
    p.stick = p.root + "stick.f";
    rename((src + "package.f").c_str(), p.plain.c_str());
    copy_one_file(p.plain.c_str(), p.stick.c_str());
    crypt_file(p.stick.c_str());
    delete_test_folder(src.c_str());
    p.temp = p.root + "ut_temp/";
    stat(p.stick.c_str(), &st);
    p.bytes = static_cast<long long>(st.st_size);
    sign_package();
}

// A key pair, its public key in a keys folder, and the stick's package
// signed as ut_pack signs it ("ED").
void sign_package() {
    Paths& p = paths();
    p.keys = p.root + "keys/";
    mkdir(p.keys.c_str(), 0700);
    uint8_t seed[32] = {7};
    uint8_t pk[32];
    uint8_t sk[64];
    crypto_sign_seed_keypair(pk, sk, seed);
    const uint8_t key_id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t key_blob[42];
    memcpy(key_blob, "Ed", 2);
    memcpy(key_blob + 2, key_id, 8);
    memcpy(key_blob + 10, pk, 32);
    char text[512];
    char b64[128];
    minisign_base64_encode(key_blob, sizeof(key_blob), b64, sizeof(b64));
    FILE* f = fopen((p.keys + "bench.pub").c_str(), "wb");
    fprintf(f, "untrusted comment: bench key\n%s\n", b64);
    fclose(f);

    crypto_generichash_state h;
    crypto_generichash_init(&h, nullptr, 0, 64);
    std::vector<unsigned char> chunk(1 << 20);
    f = fopen(p.stick.c_str(), "rb");
    for (size_t n; (n = fread(chunk.data(), 1, chunk.size(), f)) > 0;) {
        crypto_generichash_update(&h, chunk.data(), n);
    }
    fclose(f);
    uint8_t hash[64];
    crypto_generichash_final(&h, hash, 64);
    uint8_t sig_blob[74];
    memcpy(sig_blob, "ED", 2);
    memcpy(sig_blob + 2, key_id, 8);
    crypto_sign_detached(sig_blob + 10, nullptr, hash, 64, sk);
    const char comment[] = "timestamp:1\tfile:command.f\thashed";
    uint8_t message[64 + sizeof(comment)];
    memcpy(message, sig_blob + 10, 64);
    memcpy(message + 64, comment, sizeof(comment) - 1);
    uint8_t global[64];
    crypto_sign_detached(global, nullptr, message, sizeof(message) - 1, sk);
    char b64_global[128];
    minisign_base64_encode(sig_blob, sizeof(sig_blob), b64, sizeof(b64));
    minisign_base64_encode(global, sizeof(global), b64_global, sizeof(b64_global));
    snprintf(text, sizeof(text), "untrusted comment: bench\n%s\ntrusted comment: %s\n%s\n", b64,
             comment, b64_global);
    f = fopen((p.stick + SIGNATURE_SUFFIX).c_str(), "wb");
    fputs(text, f);
    fclose(f);
}

void fresh_temp_folder() {
    Paths& p = paths();
    delete_test_folder(p.temp.c_str());
    create_test_folder(p.temp.c_str());
}

void run_cp(const std::string& from, const std::string& to) {
    const char* argv[] = {"cp", from.c_str(), to.c_str(), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "cp", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
        abort();
    }
    int status = 0;
    waitpid(pid, &status, 0);
}

void BM_baseline_cp(benchmark::State& state) {
    make_package();
    Paths& p = paths();
    for (auto _ : state) {
        state.PauseTiming();
        fresh_temp_folder();
        state.ResumeTiming();
        run_cp(p.stick, p.temp + "command.f");
    }
    state.SetBytesProcessed(state.iterations() * p.bytes);
}
BENCHMARK(BM_baseline_cp)->Unit(benchmark::kMillisecond)->UseRealTime();

// The whole intake: copy, (the signature checked on the copy), unpack
// (unscramble, checksum, extract), delete the copy.
void run_intake(benchmark::State& state, int check_signature) {
    make_package();
    Paths& p = paths();
    std::string copy = p.temp + "command.f";
    for (auto _ : state) {
        state.PauseTiming();
        fresh_temp_folder();
        state.ResumeTiming();
        copy_sink sink = nullptr;
        if (check_signature) {
            package_hash_begin();
            sink = package_hash_feed;
        }
        if (!copy_one_file(p.stick.c_str(), copy.c_str(), sink, nullptr) ||
            (check_signature &&
             !check_package_signature_with(p.keys.c_str(), p.stick.c_str(), copy.c_str())) ||
            !unpack_files(copy.c_str(), p.temp.c_str()) || !delete_test_file(copy.c_str())) {
            state.SkipWithError("intake failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * p.bytes);
}

void BM_intake(benchmark::State& state) {
    run_intake(state, 0);
}
BENCHMARK(BM_intake)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_intake_signed(benchmark::State& state) {
    run_intake(state, 1);
    state.SetLabel("vs:BM_intake/real_time");
}
BENCHMARK(BM_intake_signed)->Unit(benchmark::kMillisecond)->UseRealTime();

// The steps one by one.
void BM_step_copy(benchmark::State& state) {
    make_package();
    Paths& p = paths();
    for (auto _ : state) {
        state.PauseTiming();
        fresh_temp_folder();
        state.ResumeTiming();
        copy_one_file(p.stick.c_str(), (p.temp + "command.f").c_str());
    }
    state.SetBytesProcessed(state.iterations() * p.bytes);
}
BENCHMARK(BM_step_copy)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_step_hash(benchmark::State& state) {
    make_package();
    Paths& p = paths();
    std::vector<unsigned char> bytes(static_cast<size_t>(p.bytes));
    FILE* f = fopen(p.stick.c_str(), "rb");
    if (f == nullptr || fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        abort();
    }
    fclose(f);
    for (auto _ : state) {
        uint8_t hash[64];
        crypto_generichash(hash, sizeof(hash), bytes.data(), bytes.size(), nullptr, 0);
        benchmark::DoNotOptimize(hash[0]);
    }
    state.SetBytesProcessed(state.iterations() * p.bytes);
}
BENCHMARK(BM_step_hash)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_step_unscramble(benchmark::State& state) {
    make_package();
    Paths& p = paths();
    std::string copy = p.temp + "command.f";
    fresh_temp_folder();
    copy_one_file(p.stick.c_str(), copy.c_str());
    for (auto _ : state) {
        crypt_file(copy.c_str()); // its own inverse: every run converts the whole file
    }
    state.SetBytesProcessed(state.iterations() * p.bytes);
}
BENCHMARK(BM_step_unscramble)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_step_checksum(benchmark::State& state) {
    make_package();
    Paths& p = paths();
    std::string copy = p.temp + "command.f";
    fresh_temp_folder();
    copy_one_file(p.plain.c_str(), copy.c_str());
    for (auto _ : state) {
        uint16_t stored = 0;
        uint16_t computed = 0;
        read_crc16_of_file(copy.c_str(), 0, &stored);
        calc_crc16_of_file(copy.c_str(), 2, &computed);
        benchmark::DoNotOptimize(stored ^ computed);
    }
    state.SetBytesProcessed(state.iterations() * p.bytes);
}
BENCHMARK(BM_step_checksum)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_step_extract(benchmark::State& state) {
    make_package();
    Paths& p = paths();
    std::string copy = p.temp + "command.f";
    for (auto _ : state) {
        state.PauseTiming();
        fresh_temp_folder();
        copy_one_file(p.plain.c_str(), copy.c_str());
        state.ResumeTiming();
        unpack_files(copy.c_str(), p.temp.c_str()); // plain: extraction alone
    }
    state.SetBytesProcessed(state.iterations() * p.bytes);
}
BENCHMARK(BM_step_extract)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    int rc = ut_bench::run(argc, argv);
    Paths& p = paths();
    if (!p.root.empty()) {
        delete_test_folder(p.temp.c_str());
        unlink(p.stick.c_str());
        unlink((p.stick + SIGNATURE_SUFFIX).c_str());
        unlink((p.keys + "bench.pub").c_str());
        rmdir(p.keys.c_str());
        unlink(p.plain.c_str());
        rmdir((p.root + "src").c_str());
        rmdir(p.root.c_str());
    }
    return rc;
}
