// The process's resident memory, for the benchmarks that watch it grow.
#pragma once

#include <unistd.h>

#include <fstream>

namespace mk27x::bench {

inline long ResidentKb() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace mk27x::bench
