#include "foundation/stopCheck.h"

#include "foundation/qworker.h"

TStopCheck StopCheckOf(const TQJob* AJob)
{
    return [AJob] { return AJob->IsStopRequested(); };
}
