// ut_pack: builds, checks and scrambles the task packages that usb_tools
// takes in from a USB stick, with the same library code as the daemon, so
// that a package it calls good is one the daemon accepts and runs well.
//
// Exit status: 0 success, 1 a check or an operation failed, 2 a usage error.
// Messages go to standard error, results to standard output. Every name that
// comes from outside (a package, a folder, the command line) is printed
// escaped: control bytes show as \xNN and never reach the terminal.
//
// This file holds the command line; the commands live by group in
// package_commands (create, list, verify, extract, scramble),
// signature_commands (keygen, sign, and the board's signature check) and
// database_commands (db-scramble, db-status, describe). intake plays the
// daemon's intake of a package, package_check judges folders and work lists,
// json_report writes the verdict as JSON (--json), options takes each
// command's options, temporaries holds the temporary files and their removal
// on signals (the one part bound to Linux system calls), files and messages
// the paths and the escaped messages.

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "database_commands.h"
#include "messages.h"
#include "options.h"
#include "package_commands.h"
#include "signature_commands.h"
#include "temporaries.h"
#include "ut_pack.h"

namespace {

struct command {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* synopsis;
    const char* help;
};

const command kCommands[] = {
    {"create", cmd_create,
     "create [--sign SECRET_KEY [--board ID]... [--type TYPE]... [--sequence N]] [--scramble] "
     "[--force] FOLDER PACKAGE",
     "Packs the files of FOLDER into PACKAGE, in name order, so that the same folder\n"
     "always gives the same bytes. FOLDER must hold work_list.f and plain files only\n"
     "(at most 20, names of at most 31 bytes); every row of the work list is checked\n"
     "as the daemon will run it, and nothing is written when one would fail. Nor is\n"
     "anything written after a warning about what the board would run badly (a script\n"
     "with CRLF line ends, a script row after remove_temp_folder, a row the daemon\n"
     "passes over, a work list that does nothing, a PACKAGE not named command.f, a\n"
     "file named command.f in FOLDER), unless --force is given. PACKAGE is written\n"
     "beside FOLDER or anywhere else, never inside it. An old PACKAGE.minisig is\n"
     "removed (it signs the old bytes) unless --sign signs the new ones.\n"
     "  --scramble   scramble the finished package as a whole\n"
     "  --force      write the package in spite of warnings\n"
     "  --sign SECRET_KEY  sign the finished package into PACKAGE.minisig, as `sign` does;\n"
     "               the key and its password are checked before anything is written\n"
     "  --board, --type, --sequence  fields of the signed comment, as for `sign`\n"
     "  --password-file FILE  the secret key's password, instead of asking on the terminal"},
    {"list", cmd_list, "list [--json] PACKAGE",
     "Shows a package, plain or scrambled: its entries with offsets and sizes, the\n"
     "stored and computed checksums, and each row of the work list the daemon will\n"
     "load (entries of the same name joined, as the daemon unpacks them) with what\n"
     "the daemon will do with it, and whether PACKAGE.minisig is there and which key\n"
     "id it names, with the fields of its trusted comment that boards read. Exit\n"
     "status as verify's. PACKAGE is not changed.\n"
     "  --json  the facts and the verdict as one JSON object instead (see the README)"},
    {"verify", cmd_verify,
     "verify [--key PUBLIC_KEY]... [--board-file FILE [--ledger FILE]] [--json] PACKAGE",
     "Exit status 0 exactly when the daemon would take the package in and load its\n"
     "work list and the package is whole: its checksum matches (plain ones too) and\n"
     "it is as long as its record says; else 1 with the reason. Warns about rows that\n"
     "will fail and what the board will run badly. PACKAGE is not changed.\n"
     "  --key PUBLIC_KEY  check PACKAGE.minisig as a board holding these keys does (a\n"
     "                    public-key file, or a folder of *.pub files; may be repeated)\n"
     "  --board-file FILE  with --key: the board's /etc/usb_tools/board; the board's\n"
     "                    decision on the trusted comment's boards, types, sequence\n"
     "  --ledger FILE     with --board-file: the board's /var/lib/usb_tools/ledger, for\n"
     "                    the sequence\n"
     "  --json  the facts and the verdict as one JSON object on standard output\n"
     "Without --key, tells whether PACKAGE.minisig is there and which key id it names.\n"
     "Both show the fields of the trusted comment that boards read."},
    {"keygen", cmd_keygen, "keygen [--no-password] SECRET_KEY PUBLIC_KEY",
     "Makes a new key pair in minisign's formats. The secret key is encrypted with a\n"
     "password asked for on the terminal, as minisign does it. Never overwrites a\n"
     "file: an existing path, or one path for both keys, is refused.\n"
     "  --no-password         leave the secret key unencrypted (build servers)\n"
     "  --password-file FILE  read the password from the first line of FILE"},
    {"sign", cmd_sign,
     "sign [-t COMMENT] [--board ID]... [--type TYPE]... [--sequence N] SECRET_KEY PACKAGE",
     "Signs PACKAGE into PACKAGE.minisig in minisign's format (\"ED\": the BLAKE2b-512 of\n"
     "the package, signed with Ed25519). A minisign secret key works as well.\n"
     "  -t COMMENT            the trusted comment (default: timestamp:<seconds>\n"
     "                        file:<name> hashed, separated by tabs, as minisign);\n"
     "                        its fields boards:, types:, sequence: are checked\n"
     "  --board ID            only the board with this id takes it in (repeatable)\n"
     "  --type TYPE           only boards of this type take it in (repeatable)\n"
     "  --sequence N          at most once per board, and only after lower sequences\n"
     "                        of the key (1 to 9223372036854775807)\n"
     "  --password-file FILE  read the password from the first line of FILE"},
    {"extract", cmd_extract, "extract PACKAGE FOLDER",
     "Unpacks what the daemon would unpack into FOLDER (made when missing; it must be\n"
     "empty), on any file system. PACKAGE is not changed."},
    {"scramble", cmd_scramble, "scramble FILE",
     "Scrambles a whole file in place, as packages travel; the same command restores it.\n"
     "An old FILE.minisig is removed: it signs the old bytes."},
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

int run(int argc, char** argv) {
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
            fprintf(stderr, "ut_pack: unknown option %s\n", esc(argv[at]));
            usage(stderr);
            return EXIT_USAGE;
        }
        ++at;
    }
    if (at >= argc) {
        usage(stderr);
        return EXIT_USAGE;
    }
    show_library_errors();
    if (verbose) {
        show_library_lines();
    }
    catch_ending_signals();
    for (const command& c : kCommands) {
        if (strcmp(argv[at], c.name) == 0) {
            g_command = c.name;
            return c.run(argc - at - 1, argv + at + 1);
        }
    }
    fprintf(stderr, "ut_pack: unknown command %s\n", esc(argv[at]));
    usage(stderr);
    return EXIT_USAGE;
}

// The results are written when standard output is flushed: a result that
// could not be written (a full disk, a closed file) fails the command.
int finish(int status) {
    errno = 0;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        const int saved = errno != 0 ? errno : EIO;
        error("cannot write the results to standard output: %s", strerror(saved));
        return status == EXIT_OK ? EXIT_FAILED : status;
    }
    return status;
}

} // namespace

void print_command_help() {
    for (const command& c : kCommands) {
        if (strcmp(g_command, c.name) == 0) {
            printf("usage: ut_pack %s\n\n%s\n", c.synopsis, c.help);
        }
    }
}

int main(int argc, char** argv) {
    return finish(run(argc, argv));
}
