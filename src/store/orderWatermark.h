#pragma once

#include <QtGlobal>

// How far an account's orders of one status have been read by update time, and when the last pass over the whole
// window was; Unix seconds. The cache keeps them and the order pass starts from them, so the record sits below both.
struct TOrderWatermark {
    qint64 updatedTo = 0;
    qint64 fullAt = 0;
};
