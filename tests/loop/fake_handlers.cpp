// Scripted state handlers for testing the supervisor loop on its own. The
// loop (src/usb_tools.cpp) is linked with these instead of the real handlers;
// each handler and each sleep writes one trace line on standard output, and
// the process ends after FAKE_PASSES five-second sleeps.
//
//   FAKE_USB    "22", "26", "fail" or any other state code to move to
//   FAKE_TASK   "24", "26" or "fail"
//   FAKE_EXEC   "ok" or "fail"
//   FAKE_REGIM  main_regim per settings read, comma separated; the last repeats
//   FAKE_MEM    per memory check: "ok", "kill" or "fail"; the last repeats.
//               The n-th check that is not "fail" sets cur_rss_mem to n.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "src/data_ut.h"
#include "src/service_task/service_task.h"
#include "src/start_task/execute_task.h"
#include "src/start_task/search_task.h"
#include "src/start_task/search_usb.h"
#include "src/start_task/signature_check.h"

namespace {

const char* env_or(const char* name, const char* fallback) {
    const char* value = getenv(name);
    return value != nullptr ? value : fallback;
}

// Item `index` of a comma-separated list; the last item repeats.
void list_item(const char* list, int index, char* out, size_t size) {
    const char* start = list;
    for (int i = 0; i < index; ++i) {
        const char* comma = strchr(start, ',');
        if (comma == nullptr) {
            break;
        }
        start = comma + 1;
    }
    size_t len = strcspn(start, ",");
    snprintf(out, size, "%.*s", static_cast<int>(len), start);
}

void trace(const char* text) {
    printf("%s\n", text);
    fflush(stdout);
}

int settings_calls;
int memory_calls;
int memory_readings;
int five_second_sleeps;

} // namespace

extern "C" unsigned int sleep(unsigned int seconds) {
    char line[32];
    snprintf(line, sizeof(line), "sleep %u", seconds);
    trace(line);
    if (seconds == 5 && ++five_second_sleeps >= atoi(env_or("FAKE_PASSES", "10"))) {
        _exit(0);
    }
    return 0;
}

int F_search_for_usb() {
    trace("usb");
    const char* how = env_or("FAKE_USB", "26");
    if (strcmp(how, "fail") == 0) {
        return 0;
    }
    cur_state = atoi(how);
    return 1;
}

int F_search_for_task() {
    trace("task");
    const char* how = env_or("FAKE_TASK", "26");
    if (strcmp(how, "fail") == 0) {
        return 0;
    }
    cur_state = atoi(how);
    return 1;
}

int F_execute_work_list() {
    trace("exec");
    cur_state = STATE_GET_SETTINGS;
    return strcmp(env_or("FAKE_EXEC", "ok"), "fail") == 0 ? 0 : 1;
}

int F_get_settings() {
    char item[16];
    list_item(env_or("FAKE_REGIM", "0"), settings_calls++, item, sizeof(item));
    main_regim = atoi(item);
    char line[32];
    snprintf(line, sizeof(line), "settings %d", main_regim);
    trace(line);
    return 1;
}

int F_memory_chack() {
    char item[16];
    list_item(env_or("FAKE_MEM", "ok"), memory_calls++, item, sizeof(item));
    char line[48];
    snprintf(line, sizeof(line), "mem %s", item);
    trace(line);
    cur_state = STATE_CHECK_MEM;
    if (strcmp(item, "fail") == 0) {
        return 0;
    }
    cur_rss_mem = ++memory_readings;
    if (strcmp(item, "kill") == 0) {
        cur_state = STATE_GET_SETTINGS;
    }
    return 1;
}

// No package is ever checked here.
const char* signature_note() {
    return "not checked";
}

// No board file here: nothing to warn about.
void warn_if_ledger_forgets() {}
