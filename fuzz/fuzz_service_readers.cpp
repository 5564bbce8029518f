// The readers of the service watch on arbitrary bytes: the pid file, the
// service settings file, a command line and a process status file. Results
// are 0 or 1, a failure leaves its output alone, the file readers agree with
// the parsers of their bytes, and no reader writes past its output.
#include <string.h>

#include "common/test_utility/work_with_files.h"
#include "fuzz_support.h"

namespace {

const int UNTOUCHED = 0x5a5a5a5a;

// The parsers see the file's first 511 bytes, ended by a NUL.
struct head {
    char text[512];
    int size;
};

head head_of(const uint8_t* data, size_t size) {
    head h;
    h.size = static_cast<int>(size < sizeof(h.text) - 1 ? size : sizeof(h.text) - 1);
    memcpy(h.text, data, static_cast<size_t>(h.size));
    h.text[h.size] = '\0';
    return h;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    head h = head_of(data, size);
    const char* path = fuzz_write_file("input", data, size);

    int pid = UNTOUCHED;
    int pid_ok = parse_pid_text(h.text, h.size, &pid);
    FUZZ_CHECK(pid_ok == 0 || pid_ok == 1);
    FUZZ_CHECK(pid_ok == 1 || pid == UNTOUCHED);
    int file_pid = UNTOUCHED;
    FUZZ_CHECK(get_main_pid_from_file(path, &file_pid) == pid_ok);
    FUZZ_CHECK(file_pid == pid);

    int mode = UNTOUCHED;
    int mode_ok = parse_service_settings_text(h.text, &mode);
    FUZZ_CHECK(mode_ok == 0 || mode_ok == 1);
    FUZZ_CHECK(mode_ok == 1 ? mode != -1 : mode == UNTOUCHED);
    int file_mode = UNTOUCHED;
    FUZZ_CHECK(get_service_settings_from_file(path, &file_mode) == mode_ok);
    FUZZ_CHECK(file_mode == mode);

    // The whole input as a command line: a match means the name is there.
    int match =
        cmdline_first_word_is(reinterpret_cast<const char*>(data), static_cast<int>(size), "main");
    FUZZ_CHECK(match == 0 || match == 1);
    FUZZ_CHECK(match == 0 || memmem(data, size, "main", 4) != nullptr);

    int number = UNTOUCHED;
    int number_ok = get_number_from_line(h.text, &number);
    FUZZ_CHECK(number_ok == 1 ? number != 0 : number == UNTOUCHED);

    static struct {
        char line[64];
        char guard[64];
    } guarded;
    memset(guarded.line, 0x5a, sizeof(guarded.line));
    memset(guarded.guard, 0x5a, sizeof(guarded.guard));
    int line_ok = get_line_from_file(path, "VmRSS:", guarded.line, sizeof(guarded.line));
    FUZZ_CHECK(line_ok == 0 || line_ok == 1);
    FUZZ_CHECK(line_ok == 0 || memchr(guarded.line, 0, sizeof(guarded.line)) != nullptr);
    for (char c : guarded.guard) {
        FUZZ_CHECK(c == 0x5a);
    }

    int kb = UNTOUCHED;
    int kb_ok = get_memory_from_status_file(path, &kb);
    FUZZ_CHECK(kb_ok == 1 ? kb != 0 : kb == UNTOUCHED);
    return 0;
}
