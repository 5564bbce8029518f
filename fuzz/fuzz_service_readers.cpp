// The readers of the service watch on arbitrary bytes: the pid file, the
// service settings file, a command line and a process status file. Results
// are 0 or 1, a failure leaves its output alone, the file readers agree with
// the parsers of their bytes wherever the number starts, a number cut between
// two pieces reads as the whole, and no reader writes past its output.
#include <string.h>

#include <string>

#include "common/test_utility/text_scan.h"
#include "common/test_utility/work_with_files.h"
#include "fuzz_support.h"

namespace {

const int UNTOUCHED = 0x5a5a5a5a;

// The first word of the first argument of a command line, as the kernel
// gives it: up to the first NUL, blanks around it. *ended: a blank or a NUL
// follows it within the bytes.
std::string first_word(const std::string& cmdline, bool* ended) {
    size_t nul = cmdline.find('\0');
    std::string first = cmdline.substr(0, nul);
    const char* blanks = " \t\n\v\f\r";
    size_t start = first.find_first_not_of(blanks);
    if (start == std::string::npos) {
        *ended = nul != std::string::npos;
        return "";
    }
    size_t end = first.find_first_of(blanks, start);
    *ended = end != std::string::npos || nul != std::string::npos;
    return first.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const char* path = fuzz_write_file("input", data, size);

    int pid = UNTOUCHED;
    int pid_ok = parse_pid_text(bytes.data(), static_cast<int>(size), &pid);
    FUZZ_CHECK(pid_ok == 0 || pid_ok == 1);
    FUZZ_CHECK(pid_ok == 1 || pid == UNTOUCHED);
    int file_pid = UNTOUCHED;
    FUZZ_CHECK(get_main_pid_from_file(path, &file_pid) == pid_ok);
    FUZZ_CHECK(file_pid == pid);

    // The settings text ends at its first NUL; the file reader stops there too.
    int mode = UNTOUCHED;
    int mode_ok = parse_service_settings_text(bytes.c_str(), &mode);
    FUZZ_CHECK(mode_ok == 0 || mode_ok == 1);
    FUZZ_CHECK(mode_ok == 1 ? mode != -1 : mode == UNTOUCHED);
    int file_mode = UNTOUCHED;
    FUZZ_CHECK(get_service_settings_from_file(path, &file_mode) == mode_ok);
    FUZZ_CHECK(file_mode == mode);

    // Fed in two pieces cut where the first byte says, the scan reads what
    // scan_int reads in the whole text.
    if (size > 0) {
        int whole = UNTOUCHED;
        int whole_ok = scan_int(bytes.c_str(), &whole);
        const int text_size = static_cast<int>(strlen(bytes.c_str()));
        const int cut = text_size == 0 ? 0 : data[0] % (text_size + 1);
        int_scan scan;
        int_scan_start(&scan);
        int taken = int_scan_feed(&scan, bytes.c_str(), cut);
        FUZZ_CHECK(taken >= 0 && taken <= cut);
        int_scan_feed(&scan, bytes.c_str() + taken, text_size - taken);
        int pieces = UNTOUCHED;
        FUZZ_CHECK(int_scan_result(&scan, &pieces) == whole_ok);
        FUZZ_CHECK(pieces == whole);
    }

    // The whole input as a command line: a match means the name is there,
    // and main's rule holds for the first word exactly.
    int match = cmdline_first_word_is(bytes.data(), static_cast<int>(size), "main");
    FUZZ_CHECK(match == 0 || match == 1);
    FUZZ_CHECK(match == 0 || memmem(data, size, "main", 4) != nullptr);
    int is_main = cmdline_is_main(bytes.data(), static_cast<int>(size));
    FUZZ_CHECK(is_main == 0 || is_main == 1);
    if (is_main) {
        bool ended = false;
        std::string word = first_word(bytes, &ended);
        FUZZ_CHECK(ended);
        FUZZ_CHECK(word == "main" ||
                   (word.size() >= 5 && word.compare(word.size() - 5, 5, "/main") == 0));
    }

    char head[512];
    size_t head_size = size < sizeof(head) - 1 ? size : sizeof(head) - 1;
    memcpy(head, data, head_size);
    head[head_size] = '\0';
    int number = UNTOUCHED;
    int number_ok = get_number_from_line(head, &number);
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
