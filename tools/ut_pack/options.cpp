#include "options.h"

#include <string.h>

#include "messages.h"
#include "ut_pack.h"

int take_options(int* argc, char** argv, const option* options, int count, int* status) {
    int kept = 0;
    int only_arguments = 0;
    for (int i = 0; i < *argc; ++i) {
        const char* arg = argv[i];
        if (only_arguments || arg[0] != '-' || arg[1] == '\0') {
            argv[kept++] = argv[i];
            continue;
        }
        if (strcmp(arg, "--") == 0) {
            only_arguments = 1;
            continue;
        }
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            print_command_help();
            *status = EXIT_OK;
            return 0;
        }
        if (strcmp(arg, "-v") == 0) {
            show_library_lines();
            continue;
        }
        const option* o = nullptr;
        for (int k = 0; k < count && o == nullptr; ++k) {
            if (strcmp(arg, options[k].name) == 0) {
                o = &options[k];
            }
        }
        if (o == nullptr) {
            error("unknown option %s (see ut_pack %s --help)", esc(arg), g_command);
            *status = EXIT_USAGE;
            return 0;
        }
        if (o->flag != nullptr) {
            *o->flag = 1;
            continue;
        }
        if (i + 1 >= *argc) {
            error("%s needs a value (see ut_pack %s --help)", arg, g_command);
            *status = EXIT_USAGE;
            return 0;
        }
        const char* value = argv[++i];
        if (o->value != nullptr && *o->value != nullptr) {
            error("%s given twice", arg);
            *status = EXIT_USAGE;
            return 0;
        }
        if (o->value != nullptr) {
            *o->value = value;
        } else if (*o->count < o->most) {
            o->values[(*o->count)++] = value;
        } else {
            error("%s is given more than %d times", arg, o->most);
            *status = EXIT_USAGE;
            return 0;
        }
    }
    *argc = kept;
    return 1;
}
