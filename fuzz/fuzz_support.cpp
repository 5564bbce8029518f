#include "fuzz_support.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "common/log/log_c.h"

namespace {

char g_dir[64];
char g_path[256];

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

// The temporary folder goes when the run ends.
void remove_dir() {
    if (chdir("/") == 0) {
        nftw(g_dir, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

} // namespace

const char* fuzz_dir() {
    if (g_dir[0] == '\0') {
        char tmpl[] = "/tmp/ut_fuzz_XXXXXX";
        if (mkdtemp(tmpl) == nullptr || chdir(tmpl) != 0) {
            abort();
        }
        snprintf(g_dir, sizeof(g_dir), "%s/", tmpl);
        atexit(remove_dir);
        // No settings file, no log folder: the lines go nowhere.
        log_to_stream(stderr, 0);
    }
    return g_dir;
}

const char* fuzz_write_file(const char* name, const uint8_t* data, size_t size) {
    snprintf(g_path, sizeof(g_path), "%s%s", fuzz_dir(), name);
    FILE* f = fopen(g_path, "wb");
    if (f == nullptr) {
        abort();
    }
    if (size > 0 && fwrite(data, 1, size, f) != size) {
        abort();
    }
    fclose(f);
    return g_path;
}

// The device search pauses 50 ms for a partition node to appear; a fuzzer
// cannot wait for that.
extern "C" int usleep(useconds_t) {
    return 0;
}
