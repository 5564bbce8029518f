#include "package_policy.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "scoped_handle.h"
#include "text_escape.h"

namespace {

__attribute__((format(printf, 3, 4))) int fail(char* why, int size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(why, static_cast<size_t>(size), format, args);
    va_end(args);
    return 0;
}

int is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

int is_name_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

// [A-Za-z0-9._-]{1,63}
int is_name(const char* text, int length) {
    if (length < 1 || length >= POLICY_VALUE_SIZE) {
        return 0;
    }
    for (int i = 0; i < length; ++i) {
        if (!is_name_char(text[i])) {
            return 0;
        }
    }
    return 1;
}

int equals(const char* text, int length, const char* word) {
    return static_cast<int>(strlen(word)) == length &&
           memcmp(text, word, static_cast<size_t>(length)) == 0;
}

// Cuts [*start, *start + *length) of its blanks and CRs at both ends.
void trim(const char** start, int* length) {
    while (*length > 0 && is_blank((*start)[0])) {
        ++*start;
        --*length;
    }
    while (*length > 0 && is_blank((*start)[*length - 1])) {
        --*length;
    }
}

// A list "A,B,C" of names, none empty.
int is_name_list(const char* text, int length) {
    int at = 0;
    for (;;) {
        int end = at;
        while (end < length && text[end] != ',') {
            ++end;
        }
        if (!is_name(text + at, end - at)) {
            return 0;
        }
        if (end == length) {
            return 1;
        }
        at = end + 1;
    }
}

int list_holds(const char* list, int length, const char* name) {
    const int n = static_cast<int>(strlen(name));
    int at = 0;
    while (at <= length) {
        int end = at;
        while (end < length && list[end] != ',') {
            ++end;
        }
        if (end - at == n && memcmp(list + at, name, static_cast<size_t>(n)) == 0) {
            return 1;
        }
        at = end + 1;
    }
    return 0;
}

// The "require" value: "target", "sequence", or both, separated by ",".
int parse_require(const char* text, int length, board_identity* out) {
    int at = 0;
    for (;;) {
        int end = at;
        while (end < length && text[end] != ',') {
            ++end;
        }
        const char* word = text + at;
        int word_length = end - at;
        trim(&word, &word_length);
        if (equals(word, word_length, "target") && !out->require_target) {
            out->require_target = 1;
        } else if (equals(word, word_length, "sequence") && !out->require_sequence) {
            out->require_sequence = 1;
        } else {
            return 0;
        }
        if (end == length) {
            return 1;
        }
        at = end + 1;
    }
}

// A list for a person: at most 120 bytes of it, cut with "...".
void shown_list(const char* list, int length, char* out, int size) {
    char raw[128];
    const int n = length < 120 ? length : 120;
    memcpy(raw, list, static_cast<size_t>(n));
    snprintf(raw + n, sizeof(raw) - static_cast<size_t>(n), "%s", length > n ? "..." : "");
    escape_text(raw, out, size);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The key id as minisign prints it (16 upper-case hex digits) back to bytes.
int parse_key_id(const char* text, uint8_t key_id[MINISIGN_KEY_ID_SIZE]) {
    for (int i = 0; i < MINISIGN_KEY_ID_SIZE; ++i) {
        const int high = hex_value(text[2 * i]);
        const int low = hex_value(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return 0;
        }
        key_id[MINISIGN_KEY_ID_SIZE - 1 - i] = static_cast<uint8_t>(high << 4 | low);
    }
    return 1;
}

// Appends a formatted piece to a text of `size` bytes.
__attribute__((format(printf, 3, 4))) void append(char* out, int size, const char* format, ...) {
    const size_t used = strlen(out);
    if (used + 1 >= static_cast<size_t>(size)) {
        return;
    }
    va_list args;
    va_start(args, format);
    vsnprintf(out + used, static_cast<size_t>(size) - used, format, args);
    va_end(args);
}

__attribute__((format(printf, 2, 3))) void refuse(policy_decision* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(out->reason, sizeof(out->reason), format, args);
    va_end(args);
    out->taken = 0;
}

// One target field (boards or types) against this board's value. 1 when it
// is listed (the summary says so); 0 when refused.
int match_target(const char* field, const char* list, int length, const char* mine,
                 const char* this_board_is, const char* missing, policy_decision* out) {
    char shown[POLICY_TEXT_SIZE];
    shown_list(list, length, shown, sizeof(shown));
    if (mine[0] == '\0') {
        refuse(out, "made for %s %s; this board has no %s", field, shown, missing);
        return 0;
    }
    if (!list_holds(list, length, mine)) {
        refuse(out, "made for %s %s; this board %s %s", field, shown, this_board_is, mine);
        return 0;
    }
    append(out->summary, sizeof(out->summary), "%s%s %s: this board %s %s",
           out->summary[0] != '\0' ? "; " : "", field, shown, this_board_is, mine);
    return 1;
}

// The next of a comment's fields, which tabs separate: 0 once there is none.
int next_field(const char* comment, int length, int* at, const char** field, int* n) {
    if (*at > length) {
        return 0;
    }
    int end = *at;
    while (end < length && comment[end] != '\t') {
        ++end;
    }
    *field = comment + *at;
    *n = end - *at;
    *at = end + 1;
    return 1;
}

int read_bounded(const char* path, char* buf, int size, int* length, char* why, int why_size) {
    const char* reason = "";
    if (minisign_read_small_file(path, 1, buf, size, length, &reason)) {
        return POLICY_FILE_READ;
    }
    if (strcmp(reason, "missing") == 0) {
        return POLICY_FILE_ABSENT;
    }
    fail(why, why_size, "%s", reason);
    return POLICY_FILE_BROKEN;
}

} // namespace

int policy_parse_board_file(const char* text, int length, board_identity* out, char* why,
                            int why_size) {
    memset(out, 0, sizeof(*out));
    int seen_id = 0;
    int seen_type = 0;
    int seen_require = 0;
    int line = 0;
    for (int at = 0; at < length;) {
        ++line;
        int end = at;
        while (end < length && text[end] != '\n') {
            if (text[end] == '\0') {
                return fail(why, why_size, "line %d: a NUL byte", line);
            }
            ++end;
        }
        const char* start = text + at;
        int n = end - at;
        at = end + 1;
        trim(&start, &n);
        if (n == 0) {
            continue;
        }
        const char* equal = static_cast<const char*>(memchr(start, '=', static_cast<size_t>(n)));
        if (equal == nullptr) {
            return fail(why, why_size, "line %d: not \"key = value\"", line);
        }
        const char* key = start;
        int key_length = static_cast<int>(equal - start);
        const char* value = equal + 1;
        int value_length = n - key_length - 1;
        trim(&key, &key_length);
        trim(&value, &value_length);
        int* seen;
        if (equals(key, key_length, "id")) {
            seen = &seen_id;
        } else if (equals(key, key_length, "type")) {
            seen = &seen_type;
        } else if (equals(key, key_length, "require")) {
            seen = &seen_require;
        } else {
            return fail(why, why_size, "line %d: unknown key (only id, type and require)", line);
        }
        if (*seen) {
            return fail(why, why_size, "line %d: a key given twice", line);
        }
        *seen = 1;
        if (seen == &seen_require) {
            if (!parse_require(value, value_length, out)) {
                return fail(why, why_size, "line %d: require takes target, sequence or both", line);
            }
            continue;
        }
        if (!is_name(value, value_length)) {
            return fail(why, why_size, "line %d: bad value (1 to 63 of A-Z a-z 0-9 . _ -)", line);
        }
        char* target = seen == &seen_id ? out->id : out->type;
        memcpy(target, value, static_cast<size_t>(value_length));
        target[value_length] = '\0';
    }
    return 1;
}

int policy_parse_sequence(const char* text, int length, uint64_t* out) {
    if (length < 1 || length > 19 || text[0] == '0') {
        return 0;
    }
    uint64_t value = 0;
    for (int i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return 0;
        }
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    // 19 digits never wrap 64 bits; the top half is not a signed number.
    if (value > 0x7FFFFFFFFFFFFFFFull) {
        return 0;
    }
    *out = value;
    return 1;
}

int policy_parse_fields(const char* comment, int length, comment_fields* out, char* why,
                        int why_size) {
    memset(out, 0, sizeof(*out));
    const char* field;
    int n;
    for (int at = 0; next_field(comment, length, &at, &field, &n);) {
        const char* colon = static_cast<const char*>(memchr(field, ':', static_cast<size_t>(n)));
        if (colon == nullptr) {
            continue;
        }
        const int name_length = static_cast<int>(colon - field);
        const char* value = colon + 1;
        const int value_length = n - name_length - 1;
        if (equals(field, name_length, "boards") || equals(field, name_length, "types")) {
            const int boards = field[0] == 'b';
            const char** list = boards ? &out->boards : &out->types;
            if (*list != nullptr) {
                return fail(why, why_size, "the field %s is given twice",
                            boards ? "boards" : "types");
            }
            if (!is_name_list(value, value_length)) {
                return fail(why, why_size,
                            "the field %s is not a list of names (1 to 63 of A-Z a-z 0-9 . _ -, "
                            "separated by \",\")",
                            boards ? "boards" : "types");
            }
            *list = value;
            (boards ? out->boards_length : out->types_length) = value_length;
        } else if (equals(field, name_length, "sequence")) {
            if (out->has_sequence) {
                return fail(why, why_size, "the field sequence is given twice");
            }
            if (!policy_parse_sequence(value, value_length, &out->sequence)) {
                return fail(why, why_size,
                            "the field sequence is not a number from 1 to 9223372036854775807");
            }
            out->has_sequence = 1;
        }
    }
    return 1;
}

int policy_parse_ledger(const char* text, int length, sequence_ledger* out, char* why,
                        int why_size) {
    out->count = 0;
    int line = 0;
    for (int at = 0; at < length;) {
        ++line;
        const char* end =
            static_cast<const char*>(memchr(text + at, '\n', static_cast<size_t>(length - at)));
        if (end == nullptr) {
            return fail(why, why_size, "line %d: no line end", line);
        }
        const int n = static_cast<int>(end - (text + at));
        const char* start = text + at;
        at += n + 1;
        uint8_t key_id[MINISIGN_KEY_ID_SIZE];
        uint64_t sequence = 0;
        if (n < 18 || start[16] != ' ' || !parse_key_id(start, key_id) ||
            !policy_parse_sequence(start + 17, n - 17, &sequence)) {
            return fail(why, why_size, "line %d: not \"<key id> <sequence>\"", line);
        }
        if (policy_ledger_find(out, key_id) >= 0) {
            return fail(why, why_size, "line %d: a key id given twice", line);
        }
        if (out->count >= POLICY_LEDGER_LINES) {
            return fail(why, why_size, "more than %d lines", POLICY_LEDGER_LINES);
        }
        memcpy(out->lines[out->count].key_id, key_id, MINISIGN_KEY_ID_SIZE);
        out->lines[out->count].sequence = sequence;
        ++out->count;
    }
    return 1;
}

int policy_format_ledger(const sequence_ledger* ledger, char* out, int size) {
    int used = 0;
    if (size < 1) {
        return -1;
    }
    out[0] = '\0';
    for (int i = 0; i < ledger->count; ++i) {
        char id[MINISIGN_KEY_ID_TEXT_SIZE];
        minisign_key_id_text(ledger->lines[i].key_id, id);
        const int n = snprintf(out + used, static_cast<size_t>(size - used), "%s %llu\n", id,
                               static_cast<unsigned long long>(ledger->lines[i].sequence));
        if (n < 0 || n >= size - used) {
            return -1;
        }
        used += n;
    }
    return used;
}

int policy_ledger_find(const sequence_ledger* ledger, const uint8_t key_id[MINISIGN_KEY_ID_SIZE]) {
    for (int i = 0; i < ledger->count; ++i) {
        if (memcmp(ledger->lines[i].key_id, key_id, MINISIGN_KEY_ID_SIZE) == 0) {
            return i;
        }
    }
    return -1;
}

int policy_ledger_set(sequence_ledger* ledger, const uint8_t key_id[MINISIGN_KEY_ID_SIZE],
                      uint64_t sequence) {
    int at = policy_ledger_find(ledger, key_id);
    if (at < 0) {
        if (ledger->count >= POLICY_LEDGER_LINES) {
            return 0;
        }
        at = ledger->count++;
        memcpy(ledger->lines[at].key_id, key_id, MINISIGN_KEY_ID_SIZE);
    }
    ledger->lines[at].sequence = sequence;
    return 1;
}

void policy_decide(const char* comment, int comment_length,
                   const uint8_t key_id[MINISIGN_KEY_ID_SIZE], int board_state,
                   const board_identity* board, const char* board_why, int ledger_state,
                   const sequence_ledger* ledger, const char* ledger_why, policy_decision* out) {
    out->taken = 1;
    out->reason[0] = '\0';
    out->summary[0] = '\0';
    out->sequenced = 0;
    out->sequence = 0;
    if (board_state == POLICY_FILE_BROKEN) {
        refuse(out, "board file %s: %s", POLICY_BOARD_FILE, board_why != nullptr ? board_why : "");
        return;
    }
    static const board_identity none = {};
    if (board_state != POLICY_FILE_READ || board == nullptr) {
        board = &none;
    }
    comment_fields fields;
    char why[POLICY_TEXT_SIZE];
    if (!policy_parse_fields(comment, comment_length, &fields, why, sizeof(why))) {
        refuse(out, "malformed trusted comment: %s", why);
        return;
    }
    if (board->require_target && fields.boards == nullptr && fields.types == nullptr) {
        refuse(out, "no boards or types named; this board requires a target");
        return;
    }
    if (board->require_sequence && !fields.has_sequence) {
        refuse(out, "no sequence; this board requires one");
        return;
    }
    if ((fields.boards != nullptr && !match_target("boards", fields.boards, fields.boards_length,
                                                   board->id, "is", "id", out)) ||
        (fields.types != nullptr && !match_target("types", fields.types, fields.types_length,
                                                  board->type, "is of type", "type", out))) {
        return;
    }
    if (!fields.has_sequence) {
        return;
    }
    out->sequenced = 1;
    out->sequence = fields.sequence;
    const unsigned long long sequence = static_cast<unsigned long long>(fields.sequence);
    char id[MINISIGN_KEY_ID_TEXT_SIZE];
    minisign_key_id_text(key_id, id);
    if (ledger_state == POLICY_FILE_BROKEN || ledger == nullptr) {
        refuse(out, "sequence %llu of key id %s: the ledger %s%s cannot be used: %s", sequence, id,
               POLICY_LEDGER_FOLDER, POLICY_LEDGER_NAME,
               ledger_why != nullptr ? ledger_why : "not read");
        return;
    }
    const int at = policy_ledger_find(ledger, key_id);
    if (at >= 0 && ledger->lines[at].sequence >= fields.sequence) {
        refuse(out, "sequence %llu of key id %s; this board has taken in %llu", sequence, id,
               static_cast<unsigned long long>(ledger->lines[at].sequence));
        return;
    }
    if (at < 0 && ledger->count >= POLICY_LEDGER_LINES) {
        refuse(out, "sequence %llu of key id %s: the ledger is full (%d key ids)", sequence, id,
               POLICY_LEDGER_LINES);
        return;
    }
    if (at >= 0) {
        append(out->summary, sizeof(out->summary), "%ssequence %llu: above %llu taken in before",
               out->summary[0] != '\0' ? "; " : "", sequence,
               static_cast<unsigned long long>(ledger->lines[at].sequence));
    } else {
        append(out->summary, sizeof(out->summary),
               "%ssequence %llu: the first of its key id on this board",
               out->summary[0] != '\0' ? "; " : "", sequence);
    }
}

void policy_comment_text(const char* comment, int length, char* out, int size) {
    if (size < 1) {
        return;
    }
    out[0] = '\0';
    const char* field;
    int n;
    for (int at = 0; next_field(comment, length, &at, &field, &n);) {
        if (equals(field, n, "hashed") || n == 0) {
            continue;
        }
        char raw[POLICY_TEXT_SIZE];
        snprintf(raw, sizeof(raw), "%.*s", n < 300 ? n : 300, field);
        char* colon = strchr(raw, ':');
        uint64_t seconds = 0;
        struct tm utc;
        if (colon != nullptr && colon - raw == 9 && memcmp(raw, "timestamp", 9) == 0 &&
            policy_parse_sequence(colon + 1, static_cast<int>(strlen(colon + 1)), &seconds) &&
            seconds < 253402300800ull) { // before the year 10000
            const time_t t = static_cast<time_t>(seconds);
            if (gmtime_r(&t, &utc) != nullptr) {
                strftime(raw, sizeof(raw), "timestamp %Y-%m-%d %H:%M:%S UTC", &utc);
                colon = nullptr;
            }
        }
        if (colon != nullptr) {
            *colon = ' ';
        }
        char shown[4 * POLICY_TEXT_SIZE];
        escape_text(raw, shown, sizeof(shown));
        append(out, size, "%s%s", out[0] != '\0' ? ", " : "", shown);
    }
}

int policy_read_board_file(const char* path, board_identity* out, char* why, int why_size) {
    memset(out, 0, sizeof(*out));
    char text[POLICY_BOARD_FILE_MAX];
    int length = 0;
    const int state = read_bounded(path, text, sizeof(text), &length, why, why_size);
    if (state != POLICY_FILE_READ) {
        return state;
    }
    return policy_parse_board_file(text, length, out, why, why_size) ? POLICY_FILE_READ
                                                                     : POLICY_FILE_BROKEN;
}

int policy_read_ledger(const char* path, sequence_ledger* out, char* why, int why_size) {
    out->count = 0;
    static char text[POLICY_LEDGER_FILE_MAX];
    int length = 0;
    const int state = read_bounded(path, text, sizeof(text), &length, why, why_size);
    if (state != POLICY_FILE_READ) {
        return state;
    }
    return policy_parse_ledger(text, length, out, why, why_size) ? POLICY_FILE_READ
                                                                 : POLICY_FILE_BROKEN;
}

int policy_write_ledger(const char* folder, const char* name, const sequence_ledger* ledger,
                        char* why, int why_size) {
    static char text[POLICY_LEDGER_FILE_MAX];
    const int length = policy_format_ledger(ledger, text, sizeof(text));
    char path[256];
    char temp[256];
    if (length < 0 ||
        snprintf(path, sizeof(path), "%s%s", folder, name) >= static_cast<int>(sizeof(path)) ||
        snprintf(temp, sizeof(temp), "%s%s.tmp", folder, name) >= static_cast<int>(sizeof(temp))) {
        return fail(why, why_size, "name or text too long");
    }
    // A temporary left by a power cut: whatever stands there is removed, never
    // opened through.
    if (unlink(temp) != 0 && errno != ENOENT) {
        return fail(why, why_size, "cannot remove %s: %s", temp, strerror(errno));
    }
    scoped_fd fd(open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        return fail(why, why_size, "cannot create %s: %s", temp, strerror(errno));
    }
    for (int done = 0; done < length;) {
        const ssize_t n = write(fd.get(), text + done, static_cast<size_t>(length - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int saved = n < 0 ? errno : ENOSPC;
            unlink(temp);
            return fail(why, why_size, "cannot write %s: %s", temp, strerror(saved));
        }
        done += static_cast<int>(n);
    }
    if (fsync(fd.get()) != 0) {
        const int saved = errno;
        unlink(temp);
        return fail(why, why_size, "cannot sync %s: %s", temp, strerror(saved));
    }
    if (rename(temp, path) != 0) {
        const int saved = errno;
        unlink(temp);
        return fail(why, why_size, "cannot rename %s: %s", temp, strerror(saved));
    }
    // On vfat a file's size and first cluster live in its folder entry, and
    // the rename makes a new entry: the file is synced again under its new
    // name, then the folder.
    scoped_fd dir(open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fsync(fd.get()) != 0 || fd.close() != 0 || !dir || fsync(dir.get()) != 0) {
        return fail(why, why_size, "cannot sync %s%s: %s", folder, name, strerror(errno));
    }
    return 1;
}
