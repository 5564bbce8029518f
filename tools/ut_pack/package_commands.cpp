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
    const option options[] = {
        {"--scramble", &scramble, nullptr, nullptr, nullptr, 0},
        {"--force", &force, nullptr, nullptr, nullptr, 0},
        {"--sign", nullptr, &sign_key, nullptr, nullptr, 0},
        {"--password-file", nullptr, &password_file, nullptr, nullptr, 0},
    };
    int status = EXIT_OK;
    if (!take_options(&argc, argv, options, 4, &status)) {
        return status;
    }
    if (argc != 2) {
        error("expects [--sign SECRET_KEY [--password-file FILE]] [--scramble] [--force] FOLDER "
              "PACKAGE (see ut_pack create --help)");
        return EXIT_USAGE;
    }
    const char* folder_arg = argv[0];
    const char* package = argv[1];
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
    static char comment[MINISIGN_TRUSTED_COMMENT_MAX];
    char signature_path[PATH_MAX];
    if (!signature_path_of(package, signature_path, sizeof(signature_path))) {
        return EXIT_USAGE;
    }
    if (sign_key != nullptr && (!trusted_comment(nullptr, package, comment, sizeof(comment)) ||
                                !load_signing_key(sign_key, password_file, &key))) {
        return EXIT_FAILED;
    }
    status = write_package(package, folder, &files, scramble, sign_key != nullptr ? &key : nullptr,
                           comment, signature_path);
    forget_signing_key(&key);
    return status;
}

int cmd_list(int argc, char** argv) {
    int status = EXIT_OK;
    if (!take_options(&argc, argv, nullptr, 0, &status)) {
        return status;
    }
    if (argc != 1) {
        error("expects PACKAGE (see ut_pack list --help)");
        return EXIT_USAGE;
    }
    const char* package = argv[0];
    static intake in;
    if (!take_in(package, &in)) {
        return EXIT_FAILED;
    }
    const packed_info* info = &in.info;
    printf("package: %s\n", esc(package));
    const int record_shown = in.info_read && !in.not_a_package;
    if (record_shown) {
        printf("  %s, %lld bytes, %d entries\n", in.scrambled ? "scrambled" : "plain", in.length,
               static_cast<int>(info->files_count));
    } else {
        printf("  %lld bytes\n", in.length);
    }
    if (in.crc_known && record_shown) {
        printf("  checksum: stored 0x%04x, computed 0x%04x: %s\n", in.stored_crc, in.computed_crc,
               in.stored_crc == in.computed_crc ? "match" : "MISMATCH: the package is damaged");
    }
    if (record_shown && in.length < in.needed_length) {
        printf("  cut short: %lld bytes where its record needs %lld\n", in.length,
               in.needed_length);
    }
    if (!in.taken_in) {
        printf("  the daemon refuses it: %s\n", in.refusal);
    }
    report_signature_file(package);
    if (record_shown) {
        printf("  %-3s %-32s %10s %10s\n", "#", "name", "offset", "size");
        for (int i = 0; i < info->files_count; ++i) {
            const packed_entry* e = &info->entries[i];
            printf("  %-3d %-32s %10d %10d\n", i + 1, entry_name(e),
                   static_cast<int>(e->start_pointer), static_cast<int>(e->size));
        }
    }
    if (in.taken_in && in.work_list_loaded) {
        // The rows as the daemon will walk them: from the work list it
        // unpacked, entries of the same name joined.
        static row_review reviews[WORK_LIST_ROWS];
        review_work_list(&in.list, &in.files, in.folder, reviews);
        print_rows(&in.list, reviews);
    } else if (in.taken_in) {
        printf("work list: none the daemon can load: %s\n",
               in.has_work_list ? in.work_list_why : "no " WORK_LIST_NAME " in the package");
    }
    const int faults = package_faults(package, &in, 0);
    end_intake(&in);
    return faults > 0 ? EXIT_FAILED : EXIT_OK;
}

int cmd_verify(int argc, char** argv) {
    const char* key_paths[MINISIGN_KEYRING_MAX];
    int keys_given = 0;
    const option options[] = {
        {"--key", nullptr, nullptr, key_paths, &keys_given, MINISIGN_KEYRING_MAX},
    };
    int status = EXIT_OK;
    if (!take_options(&argc, argv, options, 1, &status)) {
        return status;
    }
    static minisign_keyring keys;
    if (!load_public_keys(key_paths, keys_given, &keys)) {
        return EXIT_FAILED;
    }
    if (argc != 1) {
        error("expects [--key PUBLIC_KEY]... PACKAGE (see ut_pack verify --help)");
        return EXIT_USAGE;
    }
    const char* package = argv[0];
    static intake in;
    if (!take_in(package, &in, keys_given > 0 ? &keys : nullptr)) {
        return EXIT_FAILED;
    }
    status = package_faults(package, &in, 1) > 0 ? EXIT_FAILED : EXIT_OK;
    if (in.taken_in && in.work_list_loaded) {
        // What the board will run badly, from the files as the daemon has
        // them.
        static row_review reviews[WORK_LIST_ROWS];
        char list_path[PATH_MAX];
        join(list_path, sizeof(list_path), in.folder, WORK_LIST_NAME);
        review_work_list(&in.list, &in.files, in.folder, reviews);
        warn_rows(&in.list, reviews, 0);
        static folder_listing entries;
        entries.count = 0;
        for (int i = 0; i < in.info.files_count && i < PACKAGE_MAX_FILES; ++i) {
            snprintf(entries.names[entries.count++], sizeof(entries.names[0]), "%.31s",
                     in.info.entries[i].name);
        }
        warn_package(package, list_path, &in.list, &entries);
        warn_stray_files(&entries);
    }
    if (status == EXIT_OK) {
        printf("%s: good: the daemon takes it in and loads its work list (%d rows)\n", esc(package),
               static_cast<int>(in.list.count));
        if (keys_given == 0) {
            report_signature_file(package);
        }
    }
    end_intake(&in);
    return status;
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
