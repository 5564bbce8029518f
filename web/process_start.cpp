// What a process of the host has from its start and a WebAssembly one lacks:
// the usual umask. ut_pack reads it to give the files it writes their
// permission bits; emscripten's starts at 0777, which would give them none.
#include <sys/stat.h>

namespace {

__attribute__((constructor)) void usual_umask() {
    umask(022);
}

} // namespace
