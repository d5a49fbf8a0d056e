#pragma once

#include "app/appOptions.h"

// Runs Quenlar without a window under the application object that main created; returns the exit code.
int RunHeadless(const TAppOptions& AOptions);
