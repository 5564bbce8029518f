// The keys folder on arbitrary bytes: the first line of the input is a file
// name, the rest the file's content. The name filter takes "*.pub" in any
// letter case and nothing hidden, and gives a reason for every name it
// leaves; a folder holding that one file yields one key exactly when the
// name is a key file's and its content parses, and otherwise one report.
#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/test_utility/minisign.h"
#include "fuzz_support.h"

namespace {

minisign_keyring g_ring;
int g_reports;
int g_reported_as_key;

void count_report(const char*, int named_as_key, const char* why) {
    FUZZ_CHECK(why != nullptr && why[0] != '\0');
    ++g_reports;
    g_reported_as_key = named_as_key;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const char* end_of_name = static_cast<const char*>(memchr(text, '\n', size));
    const size_t name_length = end_of_name != nullptr ? static_cast<size_t>(end_of_name - text) : 0;
    if (end_of_name == nullptr || name_length == 0 || name_length > 200 ||
        memchr(text, '\0', name_length) != nullptr || memchr(text, '/', name_length) != nullptr) {
        return 0;
    }
    char name[201];
    memcpy(name, text, name_length);
    name[name_length] = '\0';
    const uint8_t* content = data + name_length + 1;
    const size_t content_size = size - name_length - 1;

    // The filter: a reason for each name it leaves; letter case never counts.
    const char* why = nullptr;
    const int is_key_name = minisign_key_file_name(name, &why);
    FUZZ_CHECK(is_key_name == 0 || is_key_name == 1);
    FUZZ_CHECK(is_key_name == 1 || (why != nullptr && why[0] != '\0'));
    char upper[201];
    for (size_t i = 0; i <= name_length; ++i) {
        upper[i] = static_cast<char>(toupper(static_cast<unsigned char>(name[i])));
    }
    FUZZ_CHECK(minisign_key_file_name(upper, &why) == is_key_name);
    FUZZ_CHECK(!is_key_name ||
               (name[0] != '.' && name_length > 4 && strcmp(upper + name_length - 4, ".PUB") == 0));

    // The parser on the content alone.
    minisign_public_key key;
    const int parses = minisign_parse_public_key(reinterpret_cast<const char*>(content),
                                                 static_cast<int>(content_size), &key, &why);

    // The folder holding that one file (not "." or "..", which the folder
    // has anyway).
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        return 0;
    }
    char folder[256];
    snprintf(folder, sizeof(folder), "%skeys/", fuzz_dir());
    mkdir(folder, 0700);
    char path[512];
    snprintf(path, sizeof(path), "%s%s", folder, name);
    FILE* f = fopen(path, "wb");
    if (f == nullptr) {
        return 0;
    }
    const size_t written = content_size > 0 ? fwrite(content, 1, content_size, f) : 0;
    fclose(f);
    FUZZ_CHECK(written == content_size);
    g_ring.count = 0;
    g_reports = 0;
    g_reported_as_key = -1;
    FUZZ_CHECK(minisign_add_key_folder(folder, &g_ring, count_report) == 1);
    const int taken = is_key_name && parses && content_size <= MINISIGN_KEY_FILE_MAX;
    FUZZ_CHECK(g_ring.count == taken);
    FUZZ_CHECK(g_reports == 1 - taken);
    FUZZ_CHECK(taken || g_reported_as_key == is_key_name);
    FUZZ_CHECK(!taken || memcmp(&g_ring.keys[0], &key, sizeof(key)) == 0);
    unlink(path);
    return 0;
}
