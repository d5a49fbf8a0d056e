#include "foundation/cpuload.h"

#include <algorithm>
#include <cstdio>

namespace {

// The processor times of the first line of /proc/stat: all of them, and the idle and I/O-wait share.
bool ReadTimes(quint64& ATotal, quint64& AIdle)
{
    std::FILE* stat = std::fopen("/proc/stat", "r");
    if (!stat)
        return false;
    unsigned long long v[8] = {};
    const int n = std::fscanf(
        stat, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]);
    std::fclose(stat);
    if (n < 4)
        return false;
    ATotal = 0;
    for (const unsigned long long x : v)
        ATotal += x;
    AIdle = v[3] + v[4];
    return true;
}

} // namespace

int TCpuLoad::Sample()
{
    quint64 total = 0;
    quint64 idle = 0;
    if (!ReadTimes(total, idle))
        return -1;
    const quint64 dTotal = total - FTotal;
    const quint64 dIdle = idle - FIdle;
    const bool first = FTotal == 0;
    FTotal = total;
    FIdle = idle;
    if (first || dTotal == 0)
        return -1;
    return static_cast<int>(100 * (dTotal - std::min(dIdle, dTotal)) / dTotal);
}
