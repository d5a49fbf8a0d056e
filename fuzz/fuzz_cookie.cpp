// The _tb_token_ pair taken from any cookie text, compared with a plain reading of its rule: the value runs from
// right after the first "_tb_token_" to the next ';' past its first character, and is taken only when that ';'
// exists.
#include "sessions/alimmTokenMgr.h"

#include "foundation/textutil.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize)
{
    // Half the inputs as UTF-8, half as raw UTF-16 code units, lone surrogates included.
    const QString cookies = ASize % 2 == 0 && ASize > 0 && AData[0] % 2 == 0
        ? QString(reinterpret_cast<const QChar*>(AData), qsizetype(ASize / 2))
        : QString::fromUtf8(reinterpret_cast<const char*>(AData), qsizetype(ASize));
    TAlimmTokenMgr store;
    TAlimmTokenData account;
    account.userId = QStringLiteral("u1");
    store.updateToken(account);
    store.updateCookies(QStringLiteral(" u1 "), cookies);
    const TAlimmTokenData after = store.get(QStringLiteral("u1"))->Snapshot();

    QString expected;
    const qsizetype name = cookies.indexOf(u"_tb_token_");
    if (name >= 0) {
        const qsizetype start = name + 10;
        const qsizetype end = cookies.indexOf(u';', start + 1);
        if (end >= 0)
            expected = QStringLiteral("_tb_token_") + Trim(QStringView(cookies).sliced(start, end - start));
    }
    if (after._tb_token_ != expected || after.cookies != cookies || !after.isLogin)
        std::abort();
    return 0;
}
