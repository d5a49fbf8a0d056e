// Linked into every program of a ThreadSanitizer build (and only there): child processes started past the
// sanitizer's clone interceptor.
//
// QProcess starts a program with clone(CLONE_VM | CLONE_VFORK): the child runs in this process's memory, on the
// calling thread's thread-local storage, until it execs. GCC 12's ThreadSanitizer intercepts clone as a fork and
// runs its after-fork bookkeeping in that child, which therefore lands in the parent's own state: the calling thread
// ignores synchronisation from then on (every lock it takes later is invisible, so ordered accesses are reported as
// races), the runtime's locks are released twice (the crash in CreateThreadContext when threads are started soon
// after), and the parent is marked as forked while multi-threaded (it dies at its next thread start unless told not
// to). A child that shares our memory never needs that bookkeeping, so such a clone goes straight to the C library;
// every other clone still passes the sanitizer.

#include <dlfcn.h>
#include <sched.h>
#include <sys/types.h>

#include <cstdarg>

namespace {

using TClone = int (*)(int (*)(void*), void*, int, void*, ...);

TClone CloneIn(void* AHandle) noexcept
{
    return reinterpret_cast<TClone>(dlsym(AHandle, "clone"));
}

// The C library's own clone. Its handle is kept for the process's life: the library stays loaded anyway.
TClone LibraryClone() noexcept
{
    void* const library = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    return library != nullptr ? CloneIn(library) : nullptr;
}

} // namespace

extern "C" int clone(int (*AFn)(void*), void* AStack, int AFlags, void* AArg, ...) noexcept
{
    // The C library reads the optional arguments only when the flags ask for them; forwarding all three, read or
    // not, is what the sanitizer's own wrapper does too.
    va_list optional;
    va_start(optional, AArg);
    pid_t* const parentTid = va_arg(optional, pid_t*);
    void* const tls = va_arg(optional, void*);
    pid_t* const childTid = va_arg(optional, pid_t*);
    va_end(optional);
    static const TClone sanitizer = CloneIn(RTLD_NEXT);
    static const TClone library = LibraryClone();
    const bool sharesOurMemory = (AFlags & CLONE_VM) != 0 && (AFlags & CLONE_THREAD) == 0;
    const TClone target = sharesOurMemory && library != nullptr ? library : sanitizer;
    return target(AFn, AStack, AFlags, AArg, parentTid, tls, childTid);
}
