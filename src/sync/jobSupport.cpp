#include "sync/jobSupport.h"

#include "foundation/mainthreadcalls.h"
#include "foundation/textutil.h"

namespace {

class TClosureCall : public TMainThreadCall {
public:
    explicit TClosureCall(std::function<void()> ACall)
        : FCall(std::move(ACall))
    {
    }
    void Run() override { FCall(); }

private:
    std::function<void()> FCall;
};

} // namespace

bool HasWebSession(const TAlimmTokenRecord& AAccount)
{
    return !Trim(AAccount.cookies()).isEmpty();
}

void RunOnMainFor(const void* AOwner, std::function<void()> ACall)
{
    if (TMainThreadCalls* calls = MainThreadCalls())
        calls->Post(AOwner, std::make_unique<TClosureCall>(std::move(ACall)));
}

void SkipMainThreadCalls(const void* AOwner)
{
    if (TMainThreadCalls* calls = MainThreadCalls())
        calls->Skip(AOwner);
}
