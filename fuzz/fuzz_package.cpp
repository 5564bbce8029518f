// The package reader on arbitrary bytes, laid out as the daemon lays out its
// temporary folder: the package copy inside the folder it is unpacked into.
// Whatever the bytes, nothing may be written outside that folder, and
// nothing in it but plain files.
#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/test_utility/file_pack.h"
#include "common/test_utility/test_utility.h"
#include "fuzz_support.h"

namespace {

int only_entry_is(const char* folder, const char* name) {
    DIR* d = opendir(folder);
    FUZZ_CHECK(d != nullptr);
    int ok = 1;
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 &&
            strcmp(e->d_name, name) != 0) {
            ok = 0;
        }
    }
    closedir(d);
    return ok;
}

int holds_plain_files_only(const char* folder) {
    DIR* d = opendir(folder);
    FUZZ_CHECK(d != nullptr);
    int ok = 1;
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) {
            continue;
        }
        char path[512];
        snprintf(path, sizeof(path), "%s%s", folder, e->d_name);
        struct stat st;
        if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
            ok = 0;
        }
    }
    closedir(d);
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char folder[256];
    snprintf(folder, sizeof(folder), "%sut_temp/", fuzz_dir());
    FUZZ_CHECK(delete_test_folder(folder) == 1);
    FUZZ_CHECK(create_test_folder(folder) == 1);
    const char* package = fuzz_write_file("ut_temp/command.f", data, size);
    int ok = unpack_files(package, folder);
    FUZZ_CHECK(ok == 0 || ok == 1);
    FUZZ_CHECK(only_entry_is(fuzz_dir(), "ut_temp"));
    FUZZ_CHECK(holds_plain_files_only(folder));
    return 0;
}
