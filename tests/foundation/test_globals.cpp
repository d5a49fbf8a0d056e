#include "foundation/globals.h"

#include <gtest/gtest.h>

namespace {

struct TFirst { };
struct TSecond { };

} // namespace

// Every process-wide object's accessor is this slot; one test covers them all.
TEST(Globals, AScopeInstallsAnObjectAndRemovesItAgainOnePerType)
{
    TFirst first;
    TSecond second;
    EXPECT_EQ(TGlobal<TFirst>::Get(), nullptr);
    {
        const TGlobalScope<TFirst> scope(&first);
        EXPECT_EQ(TGlobal<TFirst>::Get(), &first);
        EXPECT_EQ(TGlobal<TSecond>::Get(), nullptr);
        {
            const TGlobalScope<TSecond> inner(&second);
            EXPECT_EQ(TGlobal<TSecond>::Get(), &second);
            EXPECT_EQ(TGlobal<TFirst>::Get(), &first);
        }
        EXPECT_EQ(TGlobal<TSecond>::Get(), nullptr);
    }
    EXPECT_EQ(TGlobal<TFirst>::Get(), nullptr);
}
