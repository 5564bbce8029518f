#include "json_report.h"

#include <stdio.h>
#include <string.h>

#include "common/test_utility/package_policy.h"
#include "messages.h"

namespace {

// The length of the UTF-8 sequence at p, or 0 when it is not a valid one
// (cut, overlong, a surrogate, above U+10FFFF).
int utf8_length(const unsigned char* p) {
    int n;
    unsigned int code;
    if (p[0] >= 0xc2 && p[0] <= 0xdf) {
        n = 2;
        code = p[0] & 0x1fu;
    } else if (p[0] >= 0xe0 && p[0] <= 0xef) {
        n = 3;
        code = p[0] & 0x0fu;
    } else if (p[0] >= 0xf0 && p[0] <= 0xf4) {
        n = 4;
        code = p[0] & 0x07u;
    } else {
        return 0;
    }
    for (int i = 1; i < n; ++i) {
        if ((p[i] & 0xc0) != 0x80) {
            return 0;
        }
        code = code << 6 | (p[i] & 0x3fu);
    }
    const unsigned int least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[n] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
        return 0;
    }
    return n;
}

// A text as the tool shows it, as a JSON string.
void json_shown(const char* shown) {
    putchar('"');
    const unsigned char* p = reinterpret_cast<const unsigned char*>(shown);
    while (*p != '\0') {
        const unsigned char c = *p;
        if (c == '"' || c == '\\') {
            printf("\\%c", c);
            ++p;
        } else if (c < 0x20 || c == 0x7f) {
            printf("\\u%04x", c);
            ++p;
        } else if (c < 0x80) {
            putchar(c);
            ++p;
        } else if (const int n = utf8_length(p)) {
            fwrite(p, 1, static_cast<size_t>(n), stdout);
            p += n;
        } else {
            printf("\\\\x%02x", c);
            ++p;
        }
    }
    putchar('"');
}

// A name from outside, escaped as the tool prints it, as a JSON string.
void json_name(const char* name) {
    json_shown(esc(name));
}

void print_entries(const intake* in) {
    printf("  \"entries\": [");
    if (record_known(in)) {
        for (int i = 0; i < in->info.files_count; ++i) {
            const packed_entry* e = &in->info.entries[i];
            printf("%s\n    {\"name\": ", i > 0 ? "," : "");
            json_shown(entry_name(e));
            printf(", \"offset\": %d, \"size\": %d}", static_cast<int>(e->start_pointer),
                   static_cast<int>(e->size));
        }
        printf(in->info.files_count > 0 ? "\n  " : "");
    }
    printf("],\n");
}

void print_rows_json(const intake* in, const row_review* reviews) {
    printf("  \"rows\": [");
    if (reviews != nullptr) {
        for (int i = 0; i < in->list.count; ++i) {
            const task_row* row = &in->list.rows[i];
            const row_review* r = &reviews[i];
            printf("%s\n    {\"code\": ", i > 0 ? "," : "");
            json_name(row->state);
            printf(", \"name\": ");
            json_name(row->name);
            // The action as list shows it: what the daemon does, and why.
            char action[sizeof(r->note) + 64];
            snprintf(action, sizeof(action), "%s%s%s", row_fate_text(r->fate),
                     r->note[0] != '\0' ? ": " : "", r->note);
            printf(", \"action\": ");
            json_shown(action);
            printf("}");
        }
        printf(in->list.count > 0 ? "\n  " : "");
    }
    printf("],\n");
}

// A list field of the comment ("A,B") as a JSON list, or null.
void print_list(const char* list, int length) {
    if (list == nullptr) {
        printf("null");
        return;
    }
    printf("[");
    for (int at = 0, first = 1; at <= length; first = 0) {
        const char* comma =
            static_cast<const char*>(memchr(list + at, ',', static_cast<size_t>(length - at)));
        const int end = comma != nullptr ? static_cast<int>(comma - list) : length;
        char item[POLICY_TEXT_SIZE];
        snprintf(item, sizeof(item), "%.*s", end - at, list + at);
        printf("%s", first ? "" : ", ");
        json_name(item);
        at = end + 1;
    }
    printf("]");
}

// The fields of the trusted comment that the board reads, as the board's
// own parser reads them; the sequence as a string of digits (it may pass
// the integers a JSON reader keeps exactly).
void print_fields(const signature_facts* signature) {
    comment_fields f;
    char why[POLICY_TEXT_SIZE];
    if (!policy_parse_fields(signature->trusted_comment, signature->trusted_comment_length, &f, why,
                             sizeof(why))) {
        printf("{\"malformed\": ");
        json_name(why);
        printf("}");
        return;
    }
    printf("{\"boards\": ");
    print_list(f.boards, f.boards_length);
    printf(", \"types\": ");
    print_list(f.types, f.types_length);
    if (f.has_sequence) {
        printf(", \"sequence\": \"%llu\"}", static_cast<unsigned long long>(f.sequence));
    } else {
        printf(", \"sequence\": null}");
    }
}

void print_signature(const signature_facts* signature) {
    printf("  \"signature\": ");
    if (signature->state != SIGNATURE_FOUND) {
        printf("null,\n");
        return;
    }
    printf("{\"file\": ");
    json_name(signature->file);
    printf(", \"key_id\": \"%s\", \"trusted_comment\": ", signature->key_id);
    json_name(signature->trusted_comment);
    printf(", \"fields\": ");
    print_fields(signature);
    printf("},\n");
}

} // namespace

void print_package_json(const char* package, const intake* in, const row_review* reviews,
                        const signature_facts* signature, int good, const char* reason) {
    const int known = record_known(in);
    printf("{\n  \"package\": ");
    json_name(package);
    printf(",\n");
    if (in->copied) {
        printf("  \"size\": %lld,\n", in->length);
    } else {
        printf("  \"size\": null,\n");
    }
    printf("  \"scrambled\": %s,\n", !known ? "null" : in->scrambled ? "true" : "false");
    if (known && in->crc_known) {
        printf("  \"checksum\": {\"stored\": \"0x%04x\", \"computed\": \"0x%04x\", \"ok\": %s},\n",
               in->stored_crc, in->computed_crc,
               in->stored_crc == in->computed_crc ? "true" : "false");
    } else {
        printf("  \"checksum\": null,\n");
    }
    print_entries(in);
    print_rows_json(in, reviews);
    print_signature(signature);
    printf("  \"verdict\": \"%s\",\n  \"reason\": ", good ? "good" : "refused");
    json_shown(reason);
    printf("\n}\n");
}
