// ut_pack's facts and verdict on a package as one JSON object on standard
// output (list --json, verify --json). Every text in it is as the tool
// prints it (control bytes and backslashes as \xNN), escaped once more for
// JSON only where JSON needs it; a byte that is not part of valid UTF-8
// shows as \xNN too, so that the object is always valid JSON.
#pragma once

#include "intake.h"
#include "package_check.h"
#include "signature_commands.h"

// reviews: the rows' reviews when the work list was loaded, else null.
// good: the verdict; reason: why, as the tool says it.
void print_package_json(const char* package, const intake* in, const row_review* reviews,
                        const signature_facts* signature, int good, const char* reason);
