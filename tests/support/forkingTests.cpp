// Linked into the test programs that launch programs: the multi-threaded test process forks, and ThreadSanitizer
// would end the child before it reaches exec. The child runs none of the test's code, so the check is off there.
extern "C" const char* __tsan_default_options()
{
    return "die_after_fork=0";
}
