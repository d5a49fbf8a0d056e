#pragma once

// True on the thread of the application object; false when there is none, since then no thread runs the main
// loop.
bool IsMainThread();
