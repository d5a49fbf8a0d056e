#pragma once

#include <functional>

class TQJob;

// What a long operation polls to learn that it should end early: every page loop, wait and exchange of a pass takes
// one, so that neither a server that always answers "there is a next page" nor one that stalls can hold a pass, the
// stop button or the process end.
using TStopCheck = std::function<bool()>;

// A job's stop request as such a check.
TStopCheck StopCheckOf(const TQJob* AJob);
