#include "intake.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "common/test_utility/scramble.h"
#include "common/test_utility/test_utility.h"
#include "common/test_utility/text_escape.h"
#include "files.h"
#include "messages.h"
#include "signature_commands.h"
#include "temporaries.h"
#include "ut_pack.h"

int is_plain_record(const packed_info* info) {
    return info->pack_struct_size == PACK_INFO_SIZE &&
           info->entries[0].start_pointer == PACK_INFO_SIZE;
}

namespace {

// The bytes a record describes: its entries' data end, and the checksum.
long long described_length(const packed_info* info) {
    long long end = PACK_INFO_SIZE;
    for (int i = 0; i < info->files_count && i < PACK_MAX_FILES; ++i) {
        const packed_entry* e = &info->entries[i];
        if (e->size > 0 && e->start_pointer >= 0 &&
            static_cast<long long>(e->start_pointer) + e->size > end) {
            end = static_cast<long long>(e->start_pointer) + e->size;
        }
    }
    return end + 2;
}

// 1 when the unscrambled record is one the daemon's reader takes: a wrong
// record, not the host, is then the reason of a failed unpacking.
int record_is_refused(const intake* in) {
    const packed_info* info = &in->info;
    if (in->crc_known && in->scrambled && in->stored_crc != in->computed_crc) {
        return 1;
    }
    if (in->scrambled && info->pack_struct_size != info->entries[0].start_pointer) {
        return 1;
    }
    if (info->files_count < 0 || info->files_count > PACK_MAX_FILES) {
        return 1;
    }
    for (int i = 0; i < info->files_count; ++i) {
        const char* name = info->entries[i].name;
        if (info->entries[i].start_pointer < 0 || memchr(name, '\0', PACK_NAME_SIZE) == nullptr ||
            name[0] == '\0' || strchr(name, '/') != nullptr || strcmp(name, ".") == 0 ||
            strcmp(name, "..") == 0 || has_control_bytes(name)) {
            return 1;
        }
    }
    return 0;
}

// Reads the record and the checksums of the copy, unscrambling a scrambled
// copy for the look and scrambling it back, so that the daemon's own steps
// then start from the package as it travels.
int look_at_copy(intake* in) {
    packed_info raw;
    if (!get_info_of_packed(in->package, &raw)) {
        return 1; // not a package: the daemon's steps say so below
    }
    in->scrambled = !is_plain_record(&raw);
    if (in->scrambled && !crypt_file(in->package)) {
        return 0;
    }
    in->info_read = get_info_of_packed(in->package, &in->info);
    in->crc_known = read_crc16_of_file(in->package, 0, &in->stored_crc) &&
                    calc_crc16_of_file(in->package, 2, &in->computed_crc);
    in->needed_length = described_length(&in->info);
    return !in->scrambled || crypt_file(in->package);
}

// 1 when the record, read plain or unscrambled, is no package's at all: a
// count of entries the format cannot hold, or a scrambled record whose size
// is not where its first entry begins. The daemon refuses such a file with
// a reason about its checksum or its record; the engineer is told what it
// is.
int is_no_record(const intake* in) {
    const packed_info* info = &in->info;
    return info->files_count < 0 || info->files_count > PACK_MAX_FILES ||
           (in->scrambled && info->pack_struct_size != info->entries[0].start_pointer);
}

// The daemon's reason, without the private folder's path: the names in it
// are those of the package.
void refusal_without_folder(intake* in, const char* reason) {
    if (!in->info_read) {
        snprintf(in->refusal, sizeof(in->refusal),
                 "not a package: %lld bytes, fewer than its %d-byte record", in->length,
                 PACK_INFO_SIZE);
        return;
    }
    if (in->not_a_package) {
        snprintf(in->refusal, sizeof(in->refusal),
                 "not a package: its first %d bytes are no package's record, plain or "
                 "scrambled (is it the right file?)",
                 PACK_INFO_SIZE);
        return;
    }
    const size_t skip = strlen(in->folder);
    size_t n = 0;
    for (const char* p = reason; *p != '\0' && n + 1 < sizeof(in->refusal);) {
        if (strncmp(p, in->folder, skip) == 0) {
            p += skip;
            continue;
        }
        in->refusal[n++] = *p++;
    }
    in->refusal[n] = '\0';
}

} // namespace

int record_known(const intake* in) {
    return in->info_read && !in->not_a_package;
}

void end_intake(intake* in) {
    remove_temporary(in->slot);
}

int take_in(const char* package, intake* in, const minisign_keyring* keys) {
    memset(in, 0, sizeof(*in));
    in->slot = -1;
    if (!is_regular_file(package)) {
        return 0;
    }
    in->slot = temp_folder(in->folder, sizeof(in->folder));
    if (in->slot < 0) {
        error("cannot make a temporary folder in %s: %s", esc(temp_root()), strerror(errno));
        return 0;
    }
    if (strlen(in->folder) + PACKAGE_NAME_MAX > LIBRARY_PATH_MAX) {
        error("the temporary folder %s is too long for the library (at most %d bytes with a "
              "name): set TMPDIR to a shorter one",
              esc(temp_root()), LIBRARY_PATH_MAX - PACKAGE_NAME_MAX - 17);
        end_intake(in);
        return 0;
    }
    join(in->package, sizeof(in->package), in->folder, PACKAGE_COPY_NAME);
    struct stat st;
    if (!copy_one_file(package, in->package) || stat(in->package, &st) != 0) {
        error("cannot copy %s into a temporary folder in %s: %s", esc(package), esc(temp_root()),
              strerror(errno));
        end_intake(in);
        return 0;
    }
    in->length = static_cast<long long>(st.st_size);
    in->copied = 1;
    if (!look_at_copy(in)) {
        error("cannot read %s in a temporary folder in %s: %s", esc(package), esc(temp_root()),
              strerror(errno));
        end_intake(in);
        return 0;
    }
    // With keys, the board's signature check comes first, on the copy.
    if (keys != nullptr && !check_signature_for_board("verify", package, in->package, keys)) {
        end_intake(in);
        return 0;
    }

    in->not_a_package = in->info_read && is_no_record(in);
    if (in->not_a_package) {
        refusal_without_folder(in, "");
        return 1;
    }
    errno = 0;
    in->taken_in = unpack_files(in->package, in->folder);
    const int unpack_errno = errno;
    refusal_without_folder(in, library_reason());
    if (!in->taken_in && in->info_read && !record_is_refused(in) && is_host_error(unpack_errno)) {
        // A sound package that could not be written out: the host's fault.
        error("cannot unpack %s in a temporary folder in %s: %s", esc(package), esc(temp_root()),
              strerror(unpack_errno));
        end_intake(in);
        return 0;
    }
    if (!in->taken_in) {
        return 1;
    }
    delete_test_file(in->package);
    char list_path[PATH_MAX];
    join(list_path, sizeof(list_path), in->folder, WORK_LIST_NAME);
    in->has_work_list = is_file_existed(list_path);
    if (in->has_work_list) {
        in->work_list_loaded = get_work_list_from_file(list_path, &in->list);
        if (!in->work_list_loaded &&
            !explain_work_list(list_path, in->work_list_why, sizeof(in->work_list_why))) {
            snprintf(in->work_list_why, sizeof(in->work_list_why), "%s", library_reason());
        }
    }
    list_folder_files(in->folder, &in->files);
    return 1;
}

namespace {

// One fault of a package: said when `say`, added to the reason.
__attribute__((format(printf, 5, 6))) void fault(int say, int* faults, char* reason, int size,
                                                 const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (say) {
        error("%s", text);
    }
    if (reason != nullptr) {
        const size_t n = *faults == 0 ? 0 : strlen(reason);
        snprintf(reason + n, static_cast<size_t>(size) - n, "%s%s", n > 0 ? "; " : "", text);
    }
    ++*faults;
}

} // namespace

int package_faults(const char* package, const intake* in, int say, char* reason, int size) {
    int faults = 0;
    if (!in->taken_in) {
        fault(say, &faults, reason, size, "%s: the daemon refuses the package: %s", esc(package),
              in->refusal);
        return faults;
    }
    if (in->crc_known && in->stored_crc != in->computed_crc) {
        fault(say, &faults, reason, size,
              "%s: the checksum does not match (stored 0x%04x, computed 0x%04x): the package is "
              "damaged%s",
              esc(package), in->stored_crc, in->computed_crc,
              in->scrambled ? "" : " (the board would take a plain one in all the same)");
    }
    if (in->length < in->needed_length) {
        fault(say, &faults, reason, size, "%s: cut short: %lld bytes where its record needs %lld",
              esc(package), in->length, in->needed_length);
    }
    if (!in->has_work_list) {
        fault(say, &faults, reason, size, "%s: no %s in the package: the daemon would not run it",
              esc(package), WORK_LIST_NAME);
    } else if (!in->work_list_loaded) {
        fault(say, &faults, reason, size, "%s: the daemon refuses %s: %s", esc(package),
              WORK_LIST_NAME, in->work_list_why);
    }
    return faults;
}

// ---------------------------------------------------------------------------
// What the board will run badly: warnings, which `create` turns into a
// refusal unless forced.

int warn_rows(const work_list_table* list, const row_review* reviews, int as_errors) {
    int warnings = 0;
    for (int i = 0; i < list->count; ++i) {
        const row_review* r = &reviews[i];
        if (r->error && as_errors) {
            error("%s row %d: %s", WORK_LIST_NAME, i + 1, r->note);
        } else if (r->error || r->warning) {
            warning("%s row %d: %s", WORK_LIST_NAME, i + 1, r->note);
            warnings += r->warning;
        }
    }
    return warnings;
}

int warn_package(const char* package, const char* list_path, const work_list_table* list,
                 const folder_listing* files) {
    int warnings = 0;
    if (listing_has(files, PACKAGE_COPY_NAME)) {
        ++warnings;
        warning("a file named %s is lost on the board: the daemon keeps its copy of the package "
                "under that name in the folder it unpacks into, and deletes it",
                PACKAGE_COPY_NAME);
    }
    if (work_list_does_nothing(list)) {
        ++warnings;
        warning("%s has no row the daemon acts on (%s runs a script, %s a built-in): the "
                "package does nothing",
                WORK_LIST_NAME, TASK_ROW_SCRIPT, TASK_ROW_FUNCTION);
    }
    if (line_ends_of_file(list_path) == LINE_ENDS_CR_ONLY) {
        ++warnings;
        warning("%s has line ends of a carriage return alone: the daemon reads such lines as "
                "one and runs its first row only",
                WORK_LIST_NAME);
    }
    char base[PATH_MAX];
    base_name(package, base, sizeof(base));
    if (strcmp(base, PACKAGE_NAME) != 0) {
        ++warnings;
        warning("%s: the daemon takes in a package named %s only: give it that name on the "
                "stick",
                esc(package), PACKAGE_NAME);
    }
    return warnings;
}

void warn_stray_files(const folder_listing* files) {
    for (int i = 0; i < files->count; ++i) {
        const char* name = files->names[i];
        const size_t length = strlen(name);
        if (name[0] == '.') {
            warning("%s is a hidden file: it is packed like any other and takes one of the "
                    "package's %d places; remove it from the folder unless the task needs it",
                    esc(name), PACKAGE_MAX_FILES);
        } else if (length > 0 && name[length - 1] == '~') {
            warning("%s is an editor's backup file: it is packed like any other and takes one of "
                    "the package's %d places; remove it from the folder unless the task needs it",
                    esc(name), PACKAGE_MAX_FILES);
        }
    }
}

void print_rows(const work_list_table* list, const row_review* reviews) {
    printf("work list: %d rows\n", static_cast<int>(list->count));
    printf("  %-3s %-6s %-34s %s\n", "#", "code", "name", "the daemon");
    for (int i = 0; i < list->count; ++i) {
        const task_row* row = &list->rows[i];
        const row_review* r = &reviews[i];
        char code[4 * TASK_ROW_STATE_SIZE + 3];
        snprintf(code, sizeof(code), "<%s>", esc(row->state));
        printf("  %-3d %-6s %-34s %s%s%s\n", i + 1, code, esc(row->name), row_fate_text(r->fate),
               r->note[0] != '\0' ? ": " : "", r->note);
    }
}

const char* entry_name(const packed_entry* e) {
    char name[PACK_NAME_SIZE + 1];
    memcpy(name, e->name, PACK_NAME_SIZE);
    name[PACK_NAME_SIZE] = '\0';
    return esc(name);
}
