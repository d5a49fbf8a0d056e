#pragma once

#include <QtGlobal>

// System-wide processor load between two samples, for the scheduler's monitor.
class TCpuLoad {
public:
    // Percent busy since the previous sample; -1 for the first sample or when the platform does not report it.
    int Sample();

private:
    quint64 FTotal = 0;
    quint64 FIdle = 0;
};
