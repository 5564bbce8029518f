#include "bench_support.h"

#include <benchmark/benchmark.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace ut_bench {

namespace {

std::string g_dir;

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

} // namespace

const std::string& work_dir() {
    return g_dir;
}

int run(int argc, char** argv) {
    char tmpl[] = "/tmp/ut_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr || chdir(tmpl) != 0) {
        perror("temporary folder");
        return 1;
    }
    g_dir = tmpl;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (chdir("/") == 0) {
        nftw(g_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }
    return 0;
}

} // namespace ut_bench
