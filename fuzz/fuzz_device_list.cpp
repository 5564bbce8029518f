// The block device list and mount table readers, and the delimited-text
// extractor they share, on arbitrary files.
#include <string.h>

#include "common/test_utility/work_with_files.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* list = fuzz_write_file("diskstats", data, size);
    int found = 0;
    char name[16];
    memset(name, 0, sizeof(name));
    FUZZ_CHECK(search_storage(list, fuzz_dir(), &found, name, sizeof(name)) == 1);
    FUZZ_CHECK(found == 0 || found == 1);
    if (found) {
        size_t len = strlen(name);
        FUZZ_CHECK(len == 3 || len == 4);
        FUZZ_CHECK(name[0] == 's' && name[1] == 'd' && name[2] >= 'a' && name[2] <= 'g');
    }

    const char* table = fuzz_write_file("mounts", data, size);
    char folder[256];
    memset(folder, 0x5a, sizeof(folder));
    int mounted = is_dev_mounted(found ? name : "sdb1", table, folder, sizeof(folder));
    FUZZ_CHECK(memchr(folder, 0, sizeof(folder)) != nullptr);
    if (mounted) {
        FUZZ_CHECK(folder[strlen(folder) - 1] == '/');
    }

    // The extractor with marks taken from the input's first bytes.
    if (size >= 3) {
        char text[600];
        size_t n = size - 2 < sizeof(text) - 1 ? size - 2 : sizeof(text) - 1;
        memcpy(text, data + 2, n);
        text[n] = '\0';
        char open[2] = {static_cast<char>(data[0]), 0};
        char close[2] = {static_cast<char>(data[1]), 0};
        char out[70];
        memset(out, 0x5a, sizeof(out));
        int out_size = 1 + data[0] % 64;
        if (get_text_from_br(text, open, close, out, out_size)) {
            FUZZ_CHECK(strlen(out) < static_cast<size_t>(out_size));
        }
        for (size_t i = static_cast<size_t>(out_size); i < sizeof(out); ++i) {
            FUZZ_CHECK(out[i] == 0x5a);
        }
    }
    return 0;
}
