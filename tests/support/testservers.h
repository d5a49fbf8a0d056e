#pragma once

// The test servers moved to the stand-in library; this name stays for tests written against the old place.
#include "standin/testservers.h"
