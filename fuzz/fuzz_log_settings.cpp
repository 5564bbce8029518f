// The log settings reader on arbitrary files: every value lands in its range.
#include "common/log/log_c.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = fuzz_write_file("c_log.ini", data, size);
    LSett_Init();
    read_log_settings(path);
    FUZZ_CHECK(gLSett.level >= 0 && gLSett.level <= LVL_DEBUG);
    FUZZ_CHECK(gLSett.rotate >= LSETT_MIN_ROTATE && gLSett.rotate <= LSETT_MAX_ROTATE);
    FUZZ_CHECK(gLSett.max_size >= LSETT_MIN_SIZE && gLSett.max_size <= LSETT_MAX_SIZE);
    return 0;
}
