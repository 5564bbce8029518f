// Runs the benchmarks of one program inside a private temporary working
// folder, removed afterwards.
#pragma once

#include <string>

namespace ut_bench {

// The temporary folder the benchmarks run in (absolute, no trailing "/").
const std::string& work_dir();

int run(int argc, char** argv);

} // namespace ut_bench
