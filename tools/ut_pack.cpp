// ut_pack: builds, checks and scrambles the task packages that usb_tools
// takes in from a USB stick, with the same library code as the daemon, so
// that a package it calls good is one the daemon accepts.
//
// Exit status: 0 success, 1 a check or an operation failed, 2 a usage error.
// Messages go to standard error, results to standard output.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/log/log_c.h"
#include "common/test_utility/file_pack.h"
#include "common/test_utility/scoped_handle.h"
#include "common/test_utility/scramble.h"
#include "common/test_utility/test_utility.h"
#include "common/test_utility/work_with_files.h"
#include "package_check.h"
#include "ut_pack_sign.h"

namespace {

enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

#define UT_PACK_VERSION "8"
#define WORK_LIST_NAME "work_list.f"
// The daemon copies the package into its temporary folder under this name
// before it unpacks it there; checks do the same in a private folder.
#define PACKAGE_COPY_NAME "command.f"

// Bytes 9 to 65 of a description block carry the text.
enum { DESCRIPTION_BLOCK_SIZE = 66, DESCRIPTION_TEXT_MAX = DESCRIPTION_BLOCK_SIZE - 9 };

const char* g_command = "ut_pack";

__attribute__((format(printf, 1, 2))) void error(const char* format, ...) {
    fprintf(stderr, "ut_pack: %s: error: ", g_command);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
}

__attribute__((format(printf, 1, 2))) void warning(const char* format, ...) {
    fprintf(stderr, "ut_pack: %s: warning: ", g_command);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
}

// The library's last error line, as the reason of a failed step.
const char* library_reason() {
    const char* last = log_last_error();
    return last[0] != '\0' ? last : "no reason given";
}

// ---------------------------------------------------------------------------
// Files and folders of the tool

mode_t current_umask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// Joins a folder (ending in "/") and a name; 0 when the path would be cut.
int join(char* out, size_t size, const char* folder, const char* name) {
    int n = snprintf(out, size, "%s%s", folder, name);
    return n >= 0 && static_cast<size_t>(n) < size ? 1 : 0;
}

// A folder path with the "/" the library's joins expect.
int folder_with_slash(const char* folder, char* out, int size) {
    size_t len = strlen(folder);
    int n = snprintf(out, static_cast<size_t>(size), "%s%s", folder,
                     len > 0 && folder[len - 1] == '/' ? "" : "/");
    return n < size ? 1 : 0;
}

// The folder that holds a path (for temporary files beside it).
void parent_folder(const char* path, char* out, int size) {
    char copy[PATH_MAX];
    snprintf(copy, sizeof(copy), "%s", path);
    snprintf(out, static_cast<size_t>(size), "%s", dirname(copy));
}

// Makes an empty temporary file beside `target` and writes its path into out.
int temp_file_beside(const char* target, char* out, int size) {
    char folder[PATH_MAX];
    parent_folder(target, folder, sizeof(folder));
    char base_copy[PATH_MAX];
    snprintf(base_copy, sizeof(base_copy), "%s", target);
    if (snprintf(out, static_cast<size_t>(size), "%s/.%s.ut_pack-XXXXXX", folder,
                 basename(base_copy)) >= size) {
        return 0;
    }
    scoped_fd fd(mkstemp(out));
    return fd ? 1 : 0;
}

// Makes a private temporary folder (path ends in "/"), beside `near` or in /tmp.
int temp_folder(const char* near, char* out, int size) {
    char folder[PATH_MAX] = "/tmp";
    if (near != nullptr) {
        parent_folder(near, folder, sizeof(folder));
    }
    if (snprintf(out, static_cast<size_t>(size), "%s/.ut_pack-XXXXXX", folder) >= size - 1) {
        return 0;
    }
    if (mkdtemp(out) == nullptr) {
        return 0;
    }
    strcat(out, "/");
    return 1;
}

// Flushes a finished file to its medium before it is renamed into place.
int sync_file(const char* path) {
    scoped_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    return fd && fsync(fd.get()) == 0 ? 1 : 0;
}

// Moves a finished temporary file over its target, keeping the target's
// permission bits when it existed.
int put_in_place(const char* temp, const char* target, const struct stat* old) {
    // A temporary file is private (0600); the result gets the target's bits,
    // or those of any new file.
    chmod(temp, old != nullptr ? old->st_mode & 07777 : 0666 & ~current_umask());
    if (!sync_file(temp) || rename(temp, target) != 0) {
        error("cannot write %s: %s", target, strerror(errno));
        return 0;
    }
    return 1;
}

// Transforms a file in place through a copy beside it, so that a failure
// never leaves it half transformed.
int transform_through_copy(const char* path, int (*transform)(const char*)) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
        error("%s is not a readable file", path);
        return 0;
    }
    char temp[PATH_MAX];
    if (!temp_file_beside(path, temp, sizeof(temp))) {
        error("cannot make a temporary file beside %s: %s", path, strerror(errno));
        return 0;
    }
    if (!copy_one_file(path, temp) || !transform(temp)) {
        error("%s: not changed: %s", path, library_reason());
        unlink(temp);
        return 0;
    }
    if (!put_in_place(temp, path, &st)) {
        unlink(temp);
        return 0;
    }
    return 1;
}

// A private copy of a package in a private folder, as the daemon makes it.
struct private_copy {
    char folder[PATH_MAX]; // ends in "/"
    char package[PATH_MAX];
};

int make_private_copy(const char* package, const char* near, private_copy* copy) {
    struct stat st;
    if (stat(package, &st) != 0) {
        error("cannot read %s: %s", package, strerror(errno));
        return 0;
    }
    if (!S_ISREG(st.st_mode)) {
        error("%s is not a file", package);
        return 0;
    }
    if (!temp_folder(near, copy->folder, sizeof(copy->folder))) {
        error("cannot make a temporary folder: %s", strerror(errno));
        return 0;
    }
    if (!join(copy->package, sizeof(copy->package), copy->folder, PACKAGE_COPY_NAME) ||
        !copy_one_file(package, copy->package)) {
        error("cannot copy %s: %s", package, library_reason());
        delete_test_folder(copy->folder);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Reading a package for the checks

int is_plain_record(const packed_info* info) {
    return info->pack_struct_size == PACK_INFO_SIZE &&
           info->entries[0].start_pointer == PACK_INFO_SIZE;
}

struct package_view {
    int scrambled;
    long long length;
    packed_info info;
    uint16_t stored_crc;
    uint16_t computed_crc;
    int crc_known;
};

// Reads the record of the private copy, unscrambling the copy when the
// record says it is scrambled, and both checksums.
int read_package(const private_copy* copy, package_view* view) {
    struct stat st;
    stat(copy->package, &st);
    view->length = static_cast<long long>(st.st_size);
    if (!get_info_of_packed(copy->package, &view->info)) {
        error("not a package: %s", library_reason());
        return 0;
    }
    view->scrambled = !is_plain_record(&view->info);
    if (view->scrambled) {
        if (!crypt_file(copy->package) || !get_info_of_packed(copy->package, &view->info)) {
            error("cannot unscramble: %s", library_reason());
            return 0;
        }
    }
    view->crc_known = read_crc16_of_file(copy->package, 0, &view->stored_crc) &&
                      calc_crc16_of_file(copy->package, 2, &view->computed_crc);
    return 1;
}

// The names of the package's entries in use, as a listing to review rows by.
void entry_names(const packed_info* info, folder_listing* names) {
    names->count = 0;
    for (int i = 0; i < info->files_count && i < PACK_MAX_FILES; ++i) {
        snprintf(names->names[names->count++], sizeof(names->names[0]), "%.31s",
                 info->entries[i].name);
    }
}

// Loads the work list the package carries (extracted into the private
// folder) and reviews it against the package's entries.
int load_work_list(const private_copy* copy, const packed_info* info, work_list_table* list,
                   folder_listing* names) {
    entry_names(info, names);
    int found = -1;
    for (int i = 0; i < info->files_count && i < PACK_MAX_FILES; ++i) {
        if (strncmp(info->entries[i].name, WORK_LIST_NAME, sizeof(info->entries[i].name)) == 0) {
            found = i;
        }
    }
    if (found < 0) {
        return 0;
    }
    char path[PATH_MAX];
    const packed_entry* e = &info->entries[found];
    if (!join(path, sizeof(path), copy->folder, "." WORK_LIST_NAME) ||
        !extract_file(copy->package, path, e->start_pointer, e->size)) {
        return 0;
    }
    int ok = get_work_list_from_file(path, list);
    unlink(path);
    return ok;
}

void print_rows(const work_list_table* list, const row_review* reviews) {
    printf("work list: %d rows\n", static_cast<int>(list->count));
    printf("  %-3s %-6s %-34s %s\n", "#", "code", "name", "the daemon");
    for (int i = 0; i < list->count; ++i) {
        const task_row* row = &list->rows[i];
        const row_review* r = &reviews[i];
        char code[8];
        snprintf(code, sizeof(code), "<%s>", row->state);
        printf("  %-3d %-6s %-34s %s%s%s\n", i + 1, code, row->name, row_fate_text(r->fate),
               r->note[0] != '\0' ? ": " : "", r->note);
    }
}

// Warns about every row that has something to say.
void warn_rows(const work_list_table* list, const row_review* reviews, int as_errors) {
    for (int i = 0; i < list->count; ++i) {
        const row_review* r = &reviews[i];
        if (r->error && as_errors) {
            error("%s row %d: %s", WORK_LIST_NAME, i + 1, r->note);
        } else if (r->error || r->warning) {
            warning("%s row %d: %s", WORK_LIST_NAME, i + 1, r->note);
        }
    }
}

// ---------------------------------------------------------------------------
// Commands

int cmd_create(int argc, char** argv) {
    int scramble = 0;
    int at = 0;
    const char* sign_key = nullptr;      // --sign SECRET_KEY
    const char* password_file = nullptr; // --password-file FILE
    for (; at < argc; ++at) {
        if (strcmp(argv[at], "--scramble") == 0) {
            scramble = 1;
        } else if (strcmp(argv[at], "--sign") == 0 && at + 1 < argc) {
            sign_key = argv[++at];
        } else if (strcmp(argv[at], "--password-file") == 0 && at + 1 < argc) {
            password_file = argv[++at];
        } else {
            break;
        }
    }
    if (argc - at != 2) {
        error("expects [--sign SECRET_KEY [--password-file FILE]] [--scramble] FOLDER PACKAGE "
              "(see ut_pack create --help)");
        return EXIT_USAGE;
    }
    const char* folder_arg = argv[at];
    const char* package = argv[at + 1];
    char folder[PATH_MAX];
    if (!folder_with_slash(folder_arg, folder, sizeof(folder))) {
        error("folder path too long: %s", folder_arg);
        return EXIT_USAGE;
    }

    static folder_listing files;
    char why[512];
    if (!list_folder_for_package(folder_arg, &files, why, sizeof(why))) {
        error("%s", why);
        return EXIT_FAILED;
    }
    if (!listing_has(&files, WORK_LIST_NAME)) {
        error("no %s in %s: the daemon would not run the package", WORK_LIST_NAME, folder_arg);
        return EXIT_FAILED;
    }
    char list_path[PATH_MAX];
    if (!join(list_path, sizeof(list_path), folder, WORK_LIST_NAME)) {
        error("folder path too long: %s", folder_arg);
        return EXIT_USAGE;
    }
    static work_list_table list;
    if (!get_work_list_from_file(list_path, &list)) {
        error("the daemon refuses %s: %s", list_path, library_reason());
        return EXIT_FAILED;
    }
    static row_review reviews[WORK_LIST_ROWS];
    int errors = review_work_list(&list, &files, reviews);
    warn_rows(&list, reviews, 1);
    if (errors > 0) {
        error("%d row(s) of %s the daemon would fail: nothing written", errors, WORK_LIST_NAME);
        return EXIT_FAILED;
    }

    // The package goes where the user says, never into the folder packed.
    char real_folder[PATH_MAX];
    char package_parent[PATH_MAX];
    char real_parent[PATH_MAX];
    parent_folder(package, package_parent, sizeof(package_parent));
    if (realpath(folder_arg, real_folder) != nullptr &&
        realpath(package_parent, real_parent) != nullptr && strcmp(real_folder, real_parent) == 0) {
        error("%s is inside %s: write the package elsewhere", package, folder_arg);
        return EXIT_USAGE;
    }

    long long total = PACK_INFO_SIZE + 2;
    for (int i = 0; i < files.count; ++i) {
        struct stat st;
        char path[PATH_MAX];
        snprintf(path, sizeof(path), "%s%s", folder, files.names[i]);
        if (stat(path, &st) == 0) {
            total += static_cast<long long>(st.st_size);
        }
    }
    if (total > INT32_MAX) {
        error("%lld bytes: a package stays below 2 GiB", total);
        return EXIT_FAILED;
    }

    char temp[PATH_MAX];
    if (!temp_file_beside(package, temp, sizeof(temp))) {
        error("cannot write beside %s: %s", package, strerror(errno));
        return EXIT_FAILED;
    }
    static pack_writer writer;
    int ok = pack_begin(&writer, temp);
    for (int i = 0; ok && i < files.count; ++i) {
        char path[PATH_MAX];
        snprintf(path, sizeof(path), "%s%s", folder, files.names[i]);
        ok = pack_add_file(&writer, path, files.names[i]);
    }
    ok = ok && pack_finish(&writer);
    ok = ok && (!scramble || crypt_file(temp));
    if (!ok) {
        error("packing failed: %s", library_reason());
        unlink(temp);
        return EXIT_FAILED;
    }
    struct stat old;
    if (!put_in_place(temp, package, stat(package, &old) == 0 ? &old : nullptr)) {
        unlink(temp);
        return EXIT_FAILED;
    }
    struct stat st;
    stat(package, &st);
    printf("%s: %d files, %lld bytes, %s\n", package, files.count,
           static_cast<long long>(st.st_size), scramble ? "scrambled" : "plain");
    if (sign_key != nullptr && !sign_package("create", sign_key, password_file, nullptr, package)) {
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

int cmd_list(int argc, char** argv) {
    if (argc != 1) {
        error("expects PACKAGE (see ut_pack list --help)");
        return EXIT_USAGE;
    }
    const char* package = argv[0];
    private_copy copy;
    if (!make_private_copy(package, nullptr, &copy)) {
        return EXIT_FAILED;
    }
    static package_view view;
    int status = EXIT_FAILED;
    if (read_package(&copy, &view)) {
        status = EXIT_OK;
        const packed_info* info = &view.info;
        printf("package: %s\n", package);
        printf("  %s, %lld bytes, %d entries\n", view.scrambled ? "scrambled" : "plain",
               view.length, static_cast<int>(info->files_count));
        if (view.crc_known) {
            printf("  checksum: stored 0x%04x, computed 0x%04x: %s\n", view.stored_crc,
                   view.computed_crc,
                   view.stored_crc == view.computed_crc
                       ? "match"
                       : (view.scrambled ? "MISMATCH (the daemon refuses it)"
                                         : "MISMATCH (not checked for a plain package)"));
        }
        if (!check_packed_info(info)) {
            printf("  the daemon refuses its record: %s\n", library_reason());
            status = EXIT_FAILED;
        } else {
            printf("  %-3s %-32s %10s %10s\n", "#", "name", "offset", "size");
            for (int i = 0; i < info->files_count; ++i) {
                const packed_entry* e = &info->entries[i];
                printf("  %-3d %-32.32s %10d %10d\n", i + 1, e->name,
                       static_cast<int>(e->start_pointer), static_cast<int>(e->size));
            }
            static work_list_table list;
            static folder_listing names;
            static row_review reviews[WORK_LIST_ROWS];
            if (load_work_list(&copy, info, &list, &names)) {
                review_work_list(&list, &names, reviews);
                print_rows(&list, reviews);
            } else {
                printf("work list: none the daemon can load\n");
            }
        }
    }
    report_signature_file(package);
    delete_test_folder(copy.folder);
    return status;
}

int cmd_verify(int argc, char** argv) {
    static minisign_keyring keys;
    int keys_given = 0;
    if (!take_key_options("verify", &argc, argv, &keys, &keys_given)) {
        return EXIT_FAILED;
    }
    if (argc != 1) {
        error("expects [--key PUBLIC_KEY]... PACKAGE (see ut_pack verify --help)");
        return EXIT_USAGE;
    }
    const char* package = argv[0];
    private_copy copy;
    if (!make_private_copy(package, nullptr, &copy)) {
        return EXIT_FAILED;
    }
    // With keys, the board's signature check comes first, on the copy.
    if (keys_given > 0 &&
        !check_signature_for_board("verify", package, copy.folder, copy.package, &keys)) {
        delete_test_folder(copy.folder);
        return EXIT_FAILED;
    }
    static packed_info info;
    const int scrambled = get_info_of_packed(copy.package, &info) && !is_plain_record(&info);
    static work_list_table list;
    char list_path[PATH_MAX];
    int status = EXIT_FAILED;
    // The daemon's own steps: unpack the copy into its folder (unscrambling it
    // there), then load the work list from there.
    if (!unpack_files(copy.package, copy.folder)) {
        error("%s: the daemon refuses the package: %s", package, library_reason());
    } else if (!join(list_path, sizeof(list_path), copy.folder, WORK_LIST_NAME) ||
               !is_file_existed(list_path)) {
        error("%s: no %s in the package", package, WORK_LIST_NAME);
    } else if (!get_work_list_from_file(list_path, &list)) {
        error("%s: the daemon refuses %s: %s", package, WORK_LIST_NAME, library_reason());
    } else {
        status = EXIT_OK;
    }
    if (status == EXIT_OK) {
        // Warnings a person wants to hear about, from the copy, plain by now.
        uint16_t stored = 0;
        uint16_t computed = 0;
        if (!scrambled && read_crc16_of_file(copy.package, 0, &stored) &&
            calc_crc16_of_file(copy.package, 2, &computed) && stored != computed) {
            warning("%s: the checksum is wrong (stored 0x%04x, computed 0x%04x); the "
                    "daemon does not check it on a plain package",
                    package, stored, computed);
        }
        static folder_listing names;
        static row_review reviews[WORK_LIST_ROWS];
        if (get_info_of_packed(copy.package, &info)) {
            entry_names(&info, &names);
            review_work_list(&list, &names, reviews);
            warn_rows(&list, reviews, 0);
        }
        printf("%s: good: the daemon takes it in and loads its work list (%d rows)\n", package,
               static_cast<int>(list.count));
        if (keys_given == 0) {
            report_signature_file(package);
        }
    }
    delete_test_folder(copy.folder);
    return status;
}

// Moves every file of a flat folder (ending in "/") into another folder.
int move_files(const char* from_folder, const char* to) {
    char to_folder[PATH_MAX];
    if (!folder_with_slash(to, to_folder, sizeof(to_folder))) {
        return 0;
    }
    scoped_dir dir(opendir(from_folder));
    if (!dir) {
        return 0;
    }
    while (struct dirent* e = readdir(dir.get())) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) {
            continue;
        }
        char from[PATH_MAX];
        char dest[PATH_MAX];
        if (!join(from, sizeof(from), from_folder, e->d_name) ||
            !join(dest, sizeof(dest), to_folder, e->d_name) || rename(from, dest) != 0) {
            return 0;
        }
    }
    return 1;
}

int cmd_extract(int argc, char** argv) {
    if (argc != 2) {
        error("expects PACKAGE FOLDER (see ut_pack extract --help)");
        return EXIT_USAGE;
    }
    const char* package = argv[0];
    const char* target = argv[1];
    struct stat st;
    int target_exists = stat(target, &st) == 0;
    if (target_exists) {
        scoped_dir dir(opendir(target));
        if (!dir) {
            error("%s is not a folder", target);
            return EXIT_USAGE;
        }
        while (struct dirent* e = readdir(dir.get())) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
                error("%s is not empty: the daemon unpacks into an emptied folder", target);
                return EXIT_USAGE;
            }
        }
    }
    private_copy copy;
    if (!make_private_copy(package, target, &copy)) {
        return EXIT_FAILED;
    }
    int ok = unpack_files(copy.package, copy.folder);
    if (!ok) {
        error("%s: the daemon refuses the package: %s", package, library_reason());
        delete_test_folder(copy.folder);
        return EXIT_FAILED;
    }
    // As the daemon does, the package copy goes once it is unpacked.
    delete_test_file(copy.package);
    int moved = 1;
    if (!target_exists) {
        char folder[PATH_MAX];
        snprintf(folder, sizeof(folder), "%.*s", static_cast<int>(strlen(copy.folder) - 1),
                 copy.folder);
        moved = rename(folder, target) == 0 && chmod(target, 0777 & ~current_umask()) == 0;
    } else {
        moved = move_files(copy.folder, target);
        rmdir(copy.folder);
    }
    if (!moved) {
        error("cannot move the files into %s: %s", target, strerror(errno));
        delete_test_folder(copy.folder);
        return EXIT_FAILED;
    }
    scoped_dir dir(opendir(target));
    while (struct dirent* e = dir ? readdir(dir.get()) : nullptr) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            printf("%s/%s\n", target, e->d_name);
        }
    }
    return EXIT_OK;
}

int cmd_scramble(int argc, char** argv) {
    if (argc != 1) {
        error("expects FILE (see ut_pack scramble --help)");
        return EXIT_USAGE;
    }
    if (!transform_through_copy(argv[0], crypt_file)) {
        return EXIT_FAILED;
    }
    packed_info info;
    const char* now = "scrambled";
    if (get_info_of_packed(argv[0], &info) && is_plain_record(&info)) {
        now = "a plain package again";
    }
    printf("%s: %s (the same command undoes it)\n", argv[0], now);
    return EXIT_OK;
}

int cmd_db_scramble(int argc, char** argv) {
    if (argc != 1) {
        error("expects FILE (see ut_pack db-scramble --help)");
        return EXIT_USAGE;
    }
    const char* path = argv[0];
    struct stat st;
    if (stat(path, &st) == 0 && st.st_size < ENCRYPT_SECTOR_SIZE) {
        error("%s has %lld bytes: a database to scramble has at least %d", path,
              static_cast<long long>(st.st_size), ENCRYPT_SECTOR_SIZE);
        return EXIT_FAILED;
    }
    int was_plain = is_encrypted(path) == 0;
    if (is_descriptioned(path)) {
        warning("%s carries a description block: its length keys the scrambling", path);
    }
    if (!transform_through_copy(path, encrypt_db)) {
        return EXIT_FAILED;
    }
    printf("%s: %s\n", path, was_plain ? "scrambled" : "restored");
    return EXIT_OK;
}

int cmd_db_status(int argc, char** argv) {
    if (argc != 1) {
        error("expects FILE (see ut_pack db-status --help)");
        return EXIT_USAGE;
    }
    const char* path = argv[0];
    scoped_file f(fopen(path, "rb"));
    if (!f) {
        error("cannot read %s: %s", path, strerror(errno));
        return EXIT_FAILED;
    }
    f.close();
    printf("%s: %s\n", path,
           is_encrypted(path) == 0 ? "plain database" : "scrambled (no database header)");
    unsigned char block[DESCRIPTION_BLOCK_SIZE];
    if (is_descriptioned(path)) {
        scoped_file g(fopen(path, "rb"));
        int have = g && fseeko(g.get(), -DESCRIPTION_BLOCK_SIZE, SEEK_END) == 0 &&
                   fread(block, 1, sizeof(block), g.get()) == sizeof(block);
        printf("description block: %.*s\n", DESCRIPTION_TEXT_MAX,
               have ? reinterpret_cast<const char*>(block + 9) : "(unreadable)");
    } else {
        printf("description block: none\n");
    }
    return EXIT_OK;
}

const unsigned char* g_description;

int append_description(const char* path) {
    return add_description(path, g_description, DESCRIPTION_BLOCK_SIZE);
}

int cmd_describe(int argc, char** argv) {
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
    if (is_descriptioned(path)) {
        error("%s already carries a description block", path);
        return EXIT_FAILED;
    }
    static unsigned char block[DESCRIPTION_BLOCK_SIZE];
    memcpy(block, DESCRIPTION_MARK, 8); // the mark and, at byte 8, its NUL
    memcpy(block + 9, text, strlen(text));
    g_description = block;
    if (!transform_through_copy(path, append_description)) {
        return EXIT_FAILED;
    }
    printf("%s: description block appended\n", path);
    return EXIT_OK;
}

// ---------------------------------------------------------------------------
// Command line

struct command {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* synopsis;
    const char* help;
};

const command kCommands[] = {
    {"create", cmd_create, "create [--sign SECRET_KEY] [--scramble] FOLDER PACKAGE",
     "Packs the files of FOLDER into PACKAGE, in name order, so that the same folder\n"
     "always gives the same bytes. FOLDER must hold work_list.f and plain files only\n"
     "(at most 20, names of at most 31 characters); every row of the work list is\n"
     "checked as the daemon will run it, and nothing is written when one would fail.\n"
     "PACKAGE is written beside FOLDER or anywhere else, never inside it.\n"
     "  --scramble   scramble the finished package as a whole\n"
     "  --sign SECRET_KEY  sign the finished package into PACKAGE.minisig, as `sign` does\n"
     "  --password-file FILE  the secret key's password, instead of asking on the terminal"},
    {"list", cmd_list, "list PACKAGE",
     "Shows a package, plain or scrambled: its entries with offsets and sizes, the\n"
     "stored and computed checksums, and each work list row with what the daemon will\n"
     "do with it, and whether PACKAGE.minisig is there and which key id it names.\n"
     "PACKAGE is not changed."},
    {"verify", cmd_verify, "verify [--key PUBLIC_KEY]... PACKAGE",
     "Exit status 0 exactly when the daemon would take the package in and load its work\n"
     "list, else 1 with the reason. Also warns about a plain package whose checksum is\n"
     "wrong, and about work list rows that will fail. PACKAGE is not changed.\n"
     "  --key PUBLIC_KEY  check PACKAGE.minisig as a board holding these keys does (a\n"
     "                    public-key file, or a folder of *.pub files; may be repeated)\n"
     "Without --key, tells whether PACKAGE.minisig is there and which key id it names."},
    {"keygen", cmd_keygen, "keygen [--no-password] SECRET_KEY PUBLIC_KEY",
     "Makes a new key pair in minisign's formats. The secret key is encrypted with a\n"
     "password asked for on the terminal, as minisign does it.\n"
     "  --no-password         leave the secret key unencrypted (build servers)\n"
     "  --password-file FILE  read the password from the first line of FILE"},
    {"sign", cmd_sign, "sign [-t COMMENT] SECRET_KEY PACKAGE",
     "Signs PACKAGE into PACKAGE.minisig in minisign's format (\"ED\": the BLAKE2b-512 of\n"
     "the package, signed with Ed25519). A minisign secret key works as well.\n"
     "  -t COMMENT            the trusted comment (default: timestamp:<seconds>\n"
     "                        file:<name> hashed, separated by tabs, as minisign)\n"
     "  --password-file FILE  read the password from the first line of FILE"},
    {"extract", cmd_extract, "extract PACKAGE FOLDER",
     "Unpacks what the daemon would unpack into FOLDER (made when missing; it must be\n"
     "empty). PACKAGE is not changed."},
    {"scramble", cmd_scramble, "scramble FILE",
     "Scrambles a whole file in place, as packages travel; the same command restores it."},
    {"db-scramble", cmd_db_scramble, "db-scramble FILE",
     "Scrambles the first and last 8000 bytes of a database file in place; the same\n"
     "command restores it."},
    {"db-status", cmd_db_status, "db-status FILE",
     "Tells a plain database from a scrambled one, and shows its description block."},
    {"describe", cmd_describe, "describe FILE TEXT",
     "Appends a 66-byte description block carrying TEXT (at most 57 bytes) to FILE."},
};

void usage(FILE* out) {
    fprintf(out, "ut_pack: builds, checks and scrambles usb_tools task packages\n\n"
                 "usage: ut_pack [-v] COMMAND ARGUMENTS\n\n");
    for (const command& c : kCommands) {
        fprintf(out, "  ut_pack %s\n", c.synopsis);
    }
    fprintf(out, "\n  -v          also show the library's progress lines on standard error\n"
                 "  --help      this text; ut_pack COMMAND --help for one command\n"
                 "  --version   the version\n\n"
                 "Exit status: 0 success, 1 a check or an operation failed, 2 a usage error.\n");
}

} // namespace

int main(int argc, char** argv) {
    int at = 1;
    int verbose = 0;
    while (at < argc && argv[at][0] == '-') {
        if (strcmp(argv[at], "-v") == 0) {
            verbose = 1;
        } else if (strcmp(argv[at], "--help") == 0 || strcmp(argv[at], "-h") == 0) {
            usage(stdout);
            return EXIT_OK;
        } else if (strcmp(argv[at], "--version") == 0) {
            printf("ut_pack " UT_PACK_VERSION "\n");
            return EXIT_OK;
        } else {
            fprintf(stderr, "ut_pack: unknown option %s\n", argv[at]);
            usage(stderr);
            return EXIT_USAGE;
        }
        ++at;
    }
    if (at >= argc) {
        usage(stderr);
        return EXIT_USAGE;
    }
    // The library's lines go to standard error (with -v), never into a
    // settings file or a log folder in the user's folder.
    log_to_stream(stderr, verbose ? LVL_DEBUG : 0);
    for (const command& c : kCommands) {
        if (strcmp(argv[at], c.name) == 0) {
            g_command = c.name;
            if (at + 1 < argc &&
                (strcmp(argv[at + 1], "--help") == 0 || strcmp(argv[at + 1], "-h") == 0)) {
                printf("usage: ut_pack %s\n\n%s\n", c.synopsis, c.help);
                return EXIT_OK;
            }
            return c.run(argc - at - 1, argv + at + 1);
        }
    }
    fprintf(stderr, "ut_pack: unknown command %s\n", argv[at]);
    usage(stderr);
    return EXIT_USAGE;
}
