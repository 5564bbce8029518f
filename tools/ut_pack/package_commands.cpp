#include "package_commands.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "common/test_utility/file_pack.h"
#include "common/test_utility/scoped_handle.h"
#include "common/test_utility/scramble.h"
#include "files.h"
#include "intake.h"
#include "json_report.h"
#include "messages.h"
#include "options.h"
#include "package_check.h"
#include "signature_commands.h"
#include "temporaries.h"
#include "ut_pack.h"

namespace {

// Writes the package (and its signature with a key) under temporary names
// beside it, then names them: a failure leaves neither.
int write_package(const char* package, const char* folder, const folder_listing* files,
                  int scramble, const signing_key* key, const char* comment,
                  const char* signature_path) {
    char temp[PATH_MAX];
    const int slot = temp_file_beside(package, temp, sizeof(temp));
    if (slot < 0) {
        error("cannot write beside %s: %s", esc(package), strerror(errno));
        return EXIT_FAILED;
    }
    if (!library_takes(temp, " with the temporary name it is written under")) {
        remove_temporary(slot);
        return EXIT_USAGE;
    }
    static pack_writer writer;
    errno = 0;
    int ok = pack_begin(&writer, temp);
    for (int i = 0; ok && i < files->count; ++i) {
        char path[PATH_MAX];
        snprintf(path, sizeof(path), "%s%s", folder, files->names[i]);
        ok = pack_add_file(&writer, path, files->names[i]);
    }
    ok = ok && pack_finish(&writer);
    ok = ok && (!scramble || crypt_file(temp));
    if (!ok) {
        const int saved = errno;
        if (is_host_error(saved)) {
            error("cannot write %s: %s", esc(package), strerror(saved));
        } else {
            error("packing failed: %s", library_reason());
        }
        remove_temporary(slot);
        return EXIT_FAILED;
    }
    static char signature[MINISIGN_SIGNATURE_FILE_MAX];
    char key_id[MINISIGN_KEY_ID_TEXT_SIZE] = "";
    char signature_temp[PATH_MAX];
    int signature_slot = -1;
    if (key != nullptr) {
        if (!make_signature(key, comment, temp, signature, sizeof(signature), key_id)) {
            remove_temporary(slot);
            return EXIT_FAILED;
        }
        signature_slot = write_beside(signature_path, signature, strlen(signature), 0644,
                                      signature_temp, sizeof(signature_temp));
        if (signature_slot < 0) {
            remove_temporary(slot);
            return EXIT_FAILED;
        }
    }
    struct stat old;
    if (!put_in_place(slot, temp, package, stat(package, &old) == 0 ? &old : nullptr)) {
        remove_temporary(signature_slot);
        return EXIT_FAILED;
    }
    struct stat st;
    stat(package, &st);
    printf("%s: %d files, %lld bytes, %s\n", esc(package), files->count,
           static_cast<long long>(st.st_size), scramble ? "scrambled" : "plain");
    for (int i = 0; i < files->count; ++i) {
        char path[PATH_MAX];
        struct stat file;
        snprintf(path, sizeof(path), "%s%s", folder, files->names[i]);
        printf("  %-32s %10lld bytes\n", esc(files->names[i]),
               lstat(path, &file) == 0 ? static_cast<long long>(file.st_size) : -1LL);
    }
    if (key == nullptr) {
        return remove_stale_signature(package) ? EXIT_OK : EXIT_FAILED;
    }
    if (!move_into_place(signature_slot, signature_temp, signature_path)) {
        return EXIT_FAILED;
    }
    printf("%s: signed by key id %s\n", esc(signature_path), key_id);
    return EXIT_OK;
}

} // namespace

int cmd_create(int argc, char** argv) {
    int scramble = 0;
    int force = 0;
    const char* sign_key = nullptr;      // --sign SECRET_KEY
    const char* password_file = nullptr; // --password-file FILE
    static field_options fields;         // --board, --type, --sequence
    const option options[] = {
        {"--scramble", &scramble, nullptr, nullptr, nullptr, 0},
        {"--force", &force, nullptr, nullptr, nullptr, 0},
        {"--sign", nullptr, &sign_key, nullptr, nullptr, 0},
        {"--password-file", nullptr, &password_file, nullptr, nullptr, 0},
        FIELD_OPTIONS(fields),
    };
    int status = EXIT_OK;
    if (!take_options(&argc, argv, options, sizeof(options) / sizeof(options[0]), &status)) {
        return status;
    }
    if (argc != 2) {
        error("expects [--sign SECRET_KEY [--password-file FILE] [--board ID]... [--type TYPE]... "
              "[--sequence N]] [--scramble] [--force] FOLDER PACKAGE (see ut_pack create --help)");
        return EXIT_USAGE;
    }
    const char* folder_arg = argv[0];
    const char* package = argv[1];
    if (has_fields(&fields) && sign_key == nullptr) {
        error("--board, --type and --sequence go into the signature: give --sign");
        return EXIT_USAGE;
    }
    // The trusted comment, its fields checked, before anything else.
    static char comment[MINISIGN_TRUSTED_COMMENT_MAX];
    if (sign_key != nullptr &&
        !trusted_comment(nullptr, &fields, package, comment, sizeof(comment))) {
        return EXIT_USAGE;
    }
    char folder[PATH_MAX];
    if (!folder_with_slash(folder_arg, folder, sizeof(folder))) {
        error("folder path too long: %s", esc(folder_arg));
        return EXIT_USAGE;
    }

    static folder_listing files;
    char why[4 * 512 + 1];
    if (!list_folder_for_package(folder_arg, &files, why, sizeof(why))) {
        error("%s", why);
        return EXIT_FAILED;
    }
    if (!listing_has(&files, WORK_LIST_NAME)) {
        error("no %s in %s: the daemon would not run the package", WORK_LIST_NAME, esc(folder_arg));
        return EXIT_FAILED;
    }
    char list_path[PATH_MAX];
    if (!join(list_path, sizeof(list_path), folder, WORK_LIST_NAME) ||
        !library_takes(list_path, "")) {
        return EXIT_USAGE;
    }
    static work_list_table list;
    if (!get_work_list_from_file(list_path, &list)) {
        if (!explain_work_list(list_path, why, sizeof(why))) {
            snprintf(why, sizeof(why), "%s", library_reason());
        }
        error("the daemon refuses %s: %s", esc(list_path), why);
        return EXIT_FAILED;
    }
    static row_review reviews[WORK_LIST_ROWS];
    int errors = review_work_list(&list, &files, folder, reviews);
    int warnings = warn_rows(&list, reviews, 1);
    warnings += warn_package(package, list_path, &list, &files);
    warn_stray_files(&files);
    if (errors > 0) {
        error("%d row(s) of %s the daemon would fail: nothing written", errors, WORK_LIST_NAME);
        return EXIT_FAILED;
    }
    if (warnings > 0 && !force) {
        error("%d warning(s): the board would run this package badly; nothing written "
              "(--force writes it all the same)",
              warnings);
        return EXIT_FAILED;
    }

    // The package goes where the user says, never into the folder packed.
    char real_folder[PATH_MAX];
    char package_parent[PATH_MAX];
    char real_parent[PATH_MAX];
    parent_folder(package, package_parent, sizeof(package_parent));
    if (realpath(folder_arg, real_folder) != nullptr &&
        realpath(package_parent, real_parent) != nullptr && strcmp(real_folder, real_parent) == 0) {
        error("%s is inside %s: write the package elsewhere", esc(package), esc(folder_arg));
        return EXIT_USAGE;
    }

    // The format's offsets are signed 32-bit numbers: the largest file is
    // named, as the one to leave out.
    long long total = PACK_INFO_SIZE + 2;
    long long largest = -1;
    int largest_at = 0;
    for (int i = 0; i < files.count; ++i) {
        struct stat st;
        char path[PATH_MAX];
        snprintf(path, sizeof(path), "%s%s", folder, files.names[i]);
        if (lstat(path, &st) == 0) {
            total += static_cast<long long>(st.st_size);
            if (static_cast<long long>(st.st_size) > largest) {
                largest = static_cast<long long>(st.st_size);
                largest_at = i;
            }
        }
    }
    if (total > INT32_MAX) {
        error("the package would have %lld bytes, and a package stays below 2 GiB (%lld bytes): "
              "%s alone has %lld bytes; leave it out or make it smaller",
              total, static_cast<long long>(INT32_MAX), esc(files.names[largest_at]), largest);
        return EXIT_FAILED;
    }

    // The key and its password are checked before anything is written: a
    // failed signing leaves no package behind.
    static signing_key key;
    char signature_path[PATH_MAX];
    if (!signature_path_of(package, signature_path, sizeof(signature_path))) {
        return EXIT_USAGE;
    }
    if (sign_key != nullptr && !load_signing_key(sign_key, password_file, &key)) {
        return EXIT_FAILED;
    }
    status = write_package(package, folder, &files, scramble, sign_key != nullptr ? &key : nullptr,
                           comment, signature_path);
    forget_signing_key(&key);
    return status;
}

namespace {

// The list of a package as text on standard output.
void print_listing(const char* package, const intake* in, const row_review* reviews) {
    const packed_info* info = &in->info;
    printf("package: %s\n", esc(package));
    const int known = record_known(in);
    if (known) {
        printf("  %s, %lld bytes, %d entries\n", in->scrambled ? "scrambled" : "plain", in->length,
               static_cast<int>(info->files_count));
    } else {
        printf("  %lld bytes\n", in->length);
    }
    if (in->crc_known && known) {
        printf("  checksum: stored 0x%04x, computed 0x%04x: %s\n", in->stored_crc, in->computed_crc,
               in->stored_crc == in->computed_crc ? "match" : "MISMATCH: the package is damaged");
    }
    if (known && in->length < in->needed_length) {
        printf("  cut short: %lld bytes where its record needs %lld\n", in->length,
               in->needed_length);
    }
    if (!in->taken_in) {
        printf("  the daemon refuses it: %s\n", in->refusal);
    }
    report_signature_file(package);
    if (known) {
        printf("  %-3s %-32s %10s %10s\n", "#", "name", "offset", "size");
        for (int i = 0; i < info->files_count; ++i) {
            const packed_entry* e = &info->entries[i];
            printf("  %-3d %-32s %10d %10d\n", i + 1, entry_name(e),
                   static_cast<int>(e->start_pointer), static_cast<int>(e->size));
        }
    }
    if (reviews != nullptr) {
        print_rows(&in->list, reviews);
    } else if (in->taken_in) {
        printf("work list: none the daemon can load: %s\n",
               in->has_work_list ? in->work_list_why : "no " WORK_LIST_NAME " in the package");
    }
}

// What list and verify judge of a package: taken in as the daemon does (with
// the board's signature check when keys are given), its faults said when
// `say`, its rows reviewed as the daemon will walk them (from the work list
// it unpacked, entries of the same name joined), and the verdict's reason.
struct judgement {
    intake in;
    int taken; // take_in went through (else it said why)
    int rows_known;
    row_review reviews[WORK_LIST_ROWS];
    int good;
    char reason[4096];
};

void judge(const char* package, const minisign_keyring* keys, int say, judgement* j) {
    j->taken = take_in(package, &j->in, keys);
    j->rows_known = j->taken && j->in.taken_in && j->in.work_list_loaded;
    if (j->rows_known) {
        review_work_list(&j->in.list, &j->in.files, j->in.folder, j->reviews);
    }
    j->reason[0] = '\0';
    const int faults =
        j->taken ? package_faults(package, &j->in, say, j->reason, sizeof(j->reason)) : 1;
    j->good = faults == 0;
    if (j->good) {
        snprintf(j->reason, sizeof(j->reason),
                 "the daemon takes it in and loads its work list (%d rows)",
                 static_cast<int>(j->in.list.count));
    } else if (j->reason[0] == '\0') {
        snprintf(j->reason, sizeof(j->reason), "%s", first_error());
    }
}

void print_judgement_json(const char* package, const judgement* j) {
    static signature_facts signature;
    read_signature_facts(package, &signature);
    print_package_json(package, &j->in, j->rows_known ? j->reviews : nullptr, &signature, j->good,
                       j->reason);
}

} // namespace

int cmd_list(int argc, char** argv) {
    int json = 0;
    const option options[] = {
        {"--json", &json, nullptr, nullptr, nullptr, 0},
    };
    int status = EXIT_OK;
    if (!take_options(&argc, argv, options, 1, &status)) {
        return status;
    }
    if (argc != 1) {
        error("expects [--json] PACKAGE (see ut_pack list --help)");
        return EXIT_USAGE;
    }
    const char* package = argv[0];
    g_json_results = json;
    static judgement j;
    judge(package, nullptr, 0, &j);
    if (json) {
        print_judgement_json(package, &j);
    } else if (j.taken) {
        print_listing(package, &j.in, j.rows_known ? j.reviews : nullptr);
    }
    end_intake(&j.in);
    return j.good ? EXIT_OK : EXIT_FAILED;
}

int cmd_verify(int argc, char** argv) {
    const char* key_paths[MINISIGN_KEYRING_MAX];
    int keys_given = 0;
    const char* board_file = nullptr;  // --board-file FILE
    const char* ledger_file = nullptr; // --ledger FILE
    int json = 0;
    const option options[] = {
        {"--key", nullptr, nullptr, key_paths, &keys_given, MINISIGN_KEYRING_MAX},
        {"--board-file", nullptr, &board_file, nullptr, nullptr, 0},
        {"--ledger", nullptr, &ledger_file, nullptr, nullptr, 0},
        {"--json", &json, nullptr, nullptr, nullptr, 0},
    };
    int status = EXIT_OK;
    if (!take_options(&argc, argv, options, sizeof(options) / sizeof(options[0]), &status)) {
        return status;
    }
    if (argc != 1) {
        error("expects [--key PUBLIC_KEY]... [--board-file FILE [--ledger FILE]] [--json] "
              "PACKAGE (see ut_pack verify --help)");
        return EXIT_USAGE;
    }
    if (!use_board_files(board_file, ledger_file, keys_given)) {
        return EXIT_USAGE;
    }
    const char* package = argv[0];
    g_json_results = json;
    static minisign_keyring keys;
    static judgement j;
    if (!load_public_keys(key_paths, keys_given, &keys)) {
        // No package is judged without the keys it was meant for.
        if (json) {
            memset(&j.in, 0, sizeof(j.in));
            snprintf(j.reason, sizeof(j.reason), "%s", first_error());
            print_judgement_json(package, &j);
        }
        return EXIT_FAILED;
    }
    judge(package, keys_given > 0 ? &keys : nullptr, 1, &j);
    if (j.rows_known) {
        // What the board will run badly, from the files as the daemon has
        // them.
        char list_path[PATH_MAX];
        join(list_path, sizeof(list_path), j.in.folder, WORK_LIST_NAME);
        warn_rows(&j.in.list, j.reviews, 0);
        static folder_listing entries;
        entries.count = 0;
        for (int i = 0; i < j.in.info.files_count && i < PACKAGE_MAX_FILES; ++i) {
            snprintf(entries.names[entries.count++], sizeof(entries.names[0]), "%.31s",
                     j.in.info.entries[i].name);
        }
        warn_package(package, list_path, &j.in.list, &entries);
        warn_stray_files(&entries);
    }
    if (json) {
        if (j.good && keys_given > 0) {
            const size_t n = strlen(j.reason);
            snprintf(j.reason + n, sizeof(j.reason) - n,
                     "; the board holding the keys given takes its signature");
        }
        print_judgement_json(package, &j);
    } else if (j.good) {
        printf("%s: good: %s\n", esc(package), j.reason);
        if (keys_given == 0) {
            report_signature_file(package);
        }
    }
    end_intake(&j.in);
    return j.good ? EXIT_OK : EXIT_FAILED;
}

int cmd_extract(int argc, char** argv) {
    int status = EXIT_OK;
    if (!take_options(&argc, argv, nullptr, 0, &status)) {
        return status;
    }
    if (argc != 2) {
        error("expects PACKAGE FOLDER (see ut_pack extract --help)");
        return EXIT_USAGE;
    }
    const char* package = argv[0];
    const char* target = argv[1];
    char target_folder[PATH_MAX];
    if (!folder_with_slash(target, target_folder, sizeof(target_folder))) {
        error("folder path too long: %s", esc(target));
        return EXIT_USAGE;
    }
    struct stat st;
    const int target_exists = stat(target, &st) == 0;
    if (target_exists) {
        scoped_dir dir(opendir(target));
        if (!dir) {
            error("%s is not a folder that can be read: %s", esc(target), strerror(errno));
            return EXIT_USAGE;
        }
        while (struct dirent* e = readdir(dir.get())) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
                error("%s is not empty: the daemon unpacks into an emptied folder", esc(target));
                return EXIT_USAGE;
            }
        }
    }
    static intake in;
    if (!take_in(package, &in)) {
        return EXIT_FAILED;
    }
    if (!in.taken_in) {
        error("%s: the daemon refuses the package: %s", esc(package), in.refusal);
        end_intake(&in);
        return EXIT_FAILED;
    }
    // The files go into the folder, also on another file system: moved
    // where a rename can, copied where it cannot.
    int slot;
    {
        signals_held held;
        if (!target_exists && mkdir(target, 0777) != 0) {
            error("cannot make the folder %s: %s", esc(target), strerror(errno));
            end_intake(&in);
            return EXIT_FAILED;
        }
        slot = hold_temporary(target_exists ? TEMP_FOLDER_CONTENTS : TEMP_FOLDER, target);
    }
    folder_listing all;
    list_folder_files(in.folder, &all);
    for (int i = 0; i < all.count; ++i) {
        char from[PATH_MAX];
        char to[PATH_MAX];
        if (!join(from, sizeof(from), in.folder, all.names[i]) ||
            !join(to, sizeof(to), target_folder, all.names[i])) {
            error("cannot write into %s: path too long", esc(target));
            remove_temporary(slot);
            end_intake(&in);
            return EXIT_FAILED;
        }
        if (rename(from, to) != 0 && (errno != EXDEV || !copy_for_move(from, to))) {
            error("cannot write %s into %s: %s", esc(all.names[i]), esc(target), strerror(errno));
            remove_temporary(slot);
            end_intake(&in);
            return EXIT_FAILED;
        }
    }
    let_go(slot);
    end_intake(&in);
    for (int i = 0; i < all.count; ++i) {
        printf("%s%s\n", esc(target_folder), esc(all.names[i]));
    }
    return EXIT_OK;
}

int cmd_scramble(int argc, char** argv) {
    int status = EXIT_OK;
    if (!take_options(&argc, argv, nullptr, 0, &status)) {
        return status;
    }
    if (argc != 1) {
        error("expects FILE (see ut_pack scramble --help)");
        return EXIT_USAGE;
    }
    if (!transform_through_copy(argv[0], crypt_file)) {
        return EXIT_FAILED;
    }
    if (!remove_stale_signature(argv[0])) {
        return EXIT_FAILED;
    }
    packed_info info;
    const char* now = "scrambled";
    if (get_info_of_packed(argv[0], &info) && is_plain_record(&info)) {
        now = "a plain package again";
    }
    printf("%s: %s (the same command undoes it)\n", esc(argv[0]), now);
    return EXIT_OK;
}
