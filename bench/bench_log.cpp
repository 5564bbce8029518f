// Lines per second of the log call into a file on the local disk, against
// the least any open-append-close logger must do per line: open the file,
// write the same formatted line, close it.

#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "bench_support.h"
#include "common/log/log_c.h"

namespace {

void write_settings(const char* text) {
    FILE* f = fopen(LOG_SETTINGS_FILE, "w");
    fputs(text, f);
    fclose(f);
}

void reset_log() {
    gSettingsOn = 0;
    cur_log_name[0] = '\0';
}

const char* const kText = "failed to get rss_memory from: /proc/12345/status";

void BM_log_msg(benchmark::State& state) {
    // Largest files: the size check and the change of files stay rare, as
    // on the board.
    write_settings("level = 3\nrotate = 5\nmax_size = 5mb\n");
    reset_log();
    for (auto _ : state) {
        LOG_MSG(LVL_INFO, "%s", kText);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_log_msg);

void BM_log_msg_filtered(benchmark::State& state) {
    write_settings("level = 1\n");
    reset_log();
    for (auto _ : state) {
        LOG_MSG(LVL_INFO, "%s", kText);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_log_msg_filtered);

// Baseline: the same line through fopen / fprintf / fclose.
void BM_baseline_open_append_close(benchmark::State& state) {
    mkdir("baseline", 0700);
    for (auto _ : state) {
        snprintf(message_buf, sizeof(message_buf), "%s", kText);
        FILE* f = fopen("baseline/plain.log", "a+");
        fprintf(f, "%s [%c] %-29.29s: %-29.29s: [%05d] %s\n", "10.12.2026 12:00:00 000", 'I',
                __FILE__, __func__, __LINE__, message_buf);
        fclose(f);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_baseline_open_append_close);

} // namespace

int main(int argc, char** argv) {
    return ut_bench::run(argc, argv);
}
