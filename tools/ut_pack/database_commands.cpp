#include "database_commands.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "common/test_utility/scoped_handle.h"
#include "common/test_utility/scramble.h"
#include "common/test_utility/test_utility.h"
#include "files.h"
#include "messages.h"
#include "options.h"
#include "temporaries.h"
#include "ut_pack.h"

namespace {

// Bytes 9 to 65 of a description block carry the text.
enum { DESCRIPTION_BLOCK_SIZE = 66, DESCRIPTION_TEXT_MAX = DESCRIPTION_BLOCK_SIZE - 9 };

const unsigned char* g_description;

int append_description(const char* path) {
    return add_description(path, g_description, DESCRIPTION_BLOCK_SIZE);
}

} // namespace

int cmd_db_scramble(int argc, char** argv) {
    int status = EXIT_OK;
    if (!take_options(&argc, argv, nullptr, 0, &status)) {
        return status;
    }
    if (argc != 1) {
        error("expects FILE (see ut_pack db-scramble --help)");
        return EXIT_USAGE;
    }
    const char* path = argv[0];
    if (!is_regular_file(path)) {
        return EXIT_FAILED;
    }
    struct stat st;
    if (stat(path, &st) == 0 && st.st_size < ENCRYPT_SECTOR_SIZE) {
        error("%s has %lld bytes: a database to scramble has at least %d", esc(path),
              static_cast<long long>(st.st_size), ENCRYPT_SECTOR_SIZE);
        return EXIT_FAILED;
    }
    int was_plain = is_encrypted(path) == 0;
    if (is_descriptioned(path)) {
        warning("%s carries a description block: its length keys the scrambling", esc(path));
    }
    if (!transform_through_copy(path, encrypt_db)) {
        return EXIT_FAILED;
    }
    printf("%s: %s\n", esc(path), was_plain ? "scrambled" : "restored");
    return EXIT_OK;
}

int cmd_db_status(int argc, char** argv) {
    int status = EXIT_OK;
    if (!take_options(&argc, argv, nullptr, 0, &status)) {
        return status;
    }
    if (argc != 1) {
        error("expects FILE (see ut_pack db-status --help)");
        return EXIT_USAGE;
    }
    const char* path = argv[0];
    if (!is_regular_file(path)) {
        return EXIT_FAILED;
    }
    printf("%s: %s\n", esc(path),
           is_encrypted(path) == 0 ? "plain database" : "scrambled (no database header)");
    unsigned char block[DESCRIPTION_BLOCK_SIZE];
    if (is_descriptioned(path)) {
        scoped_file g(fopen(path, "rb"));
        int have = g && fseeko(g.get(), -DESCRIPTION_BLOCK_SIZE, SEEK_END) == 0 &&
                   fread(block, 1, sizeof(block), g.get()) == sizeof(block);
        char text[DESCRIPTION_TEXT_MAX + 1];
        snprintf(text, sizeof(text), "%.*s", DESCRIPTION_TEXT_MAX,
                 have ? reinterpret_cast<const char*>(block + 9) : "(unreadable)");
        printf("description block: %s\n", esc(text));
    } else {
        printf("description block: none\n");
    }
    return EXIT_OK;
}

int cmd_describe(int argc, char** argv) {
    int status = EXIT_OK;
    if (!take_options(&argc, argv, nullptr, 0, &status)) {
        return status;
    }
    if (argc != 2) {
        error("expects FILE TEXT (see ut_pack describe --help)");
        return EXIT_USAGE;
    }
    const char* path = argv[0];
    const char* text = argv[1];
    if (strlen(text) > DESCRIPTION_TEXT_MAX) {
        error("the text has %zu bytes; a description block carries at most %d", strlen(text),
              DESCRIPTION_TEXT_MAX);
        return EXIT_USAGE;
    }
    if (!is_regular_file(path)) {
        return EXIT_FAILED;
    }
    if (is_descriptioned(path)) {
        error("%s already carries a description block", esc(path));
        return EXIT_FAILED;
    }
    static unsigned char block[DESCRIPTION_BLOCK_SIZE];
    memcpy(block, DESCRIPTION_MARK, 8); // the mark and, at byte 8, its NUL
    memcpy(block + 9, text, strlen(text));
    g_description = block;
    if (!transform_through_copy(path, append_description)) {
        return EXIT_FAILED;
    }
    printf("%s: description block appended\n", esc(path));
    return EXIT_OK;
}
