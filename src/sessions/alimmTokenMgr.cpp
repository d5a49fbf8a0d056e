#include "sessions/alimmTokenMgr.h"

#include "foundation/qerror.h"
#include "foundation/textutil.h"

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <algorithm>
#include <optional>

namespace {

struct TPcreCodeFree {
    void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct TPcreMatchFree {
    void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};

// The value of the _tb_token_ cookie runs from right after the name (so it starts with the '=') to the next ';'.
// A pair that ends the text without ';' is not taken.
class TTbTokenPattern {
public:
    TTbTokenPattern()
    {
        static const char16_t kPattern[] = u"(?<=_tb_token_)([\\s\\S]*?)(?=;)";
        int error = 0;
        PCRE2_SIZE offset = 0;
        FCode.reset(
            pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kPattern), PCRE2_ZERO_TERMINATED, 0, &error, &offset, nullptr));
        if (!FCode)
            throw EQuenlarError(QStringLiteral("The _tb_token_ expression does not compile"));
    }

    // The first non-empty match, as PCRE's not-empty rule gives it.
    std::optional<QString> FirstMatch(const QString& text) const
    {
        const std::unique_ptr<pcre2_match_data, TPcreMatchFree> match(
            pcre2_match_data_create_from_pattern(FCode.get(), nullptr));
        if (!match)
            return std::nullopt;
        const int rc = pcre2_match(FCode.get(), reinterpret_cast<PCRE2_SPTR>(text.utf16()),
            static_cast<PCRE2_SIZE>(text.size()), 0, PCRE2_NOTEMPTY, match.get(), nullptr);
        if (rc < 1)
            return std::nullopt;
        const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(match.get());
        return text.mid(static_cast<qsizetype>(ovector[0]), static_cast<qsizetype>(ovector[1] - ovector[0]));
    }

private:
    std::unique_ptr<pcre2_code, TPcreCodeFree> FCode;
};

const TTbTokenPattern& TbTokenPattern()
{
    // A compiled pattern is read-only while matching, so all threads share one.
    static const TTbTokenPattern pattern;
    return pattern;
}

} // namespace

TAlimmTokenData TAlimmTokenRecord::Snapshot() const
{
    const std::scoped_lock lock(FCS);
    return FData;
}

QString TAlimmTokenRecord::userId() const
{
    const std::scoped_lock lock(FCS);
    return FData.userId;
}

QString TAlimmTokenRecord::userName() const
{
    const std::scoped_lock lock(FCS);
    return FData.userName;
}

qint64 TAlimmTokenRecord::authTime() const
{
    const std::scoped_lock lock(FCS);
    return FData.authTime;
}

qint64 TAlimmTokenRecord::expTime() const
{
    const std::scoped_lock lock(FCS);
    return FData.expTime;
}

QString TAlimmTokenRecord::token() const
{
    const std::scoped_lock lock(FCS);
    return FData.token;
}

QString TAlimmTokenRecord::cookies() const
{
    const std::scoped_lock lock(FCS);
    return FData.cookies;
}

QString TAlimmTokenRecord::_tb_token_() const
{
    const std::scoped_lock lock(FCS);
    return FData._tb_token_;
}

bool TAlimmTokenRecord::isLogin() const
{
    const std::scoped_lock lock(FCS);
    return FData.isLogin;
}

bool TAlimmTokenRecord::listed() const
{
    const std::scoped_lock lock(FCS);
    return FData.listed;
}

bool TAlimmTokenRecord::readLock() const
{
    const std::scoped_lock lock(FCS);
    return FData.readLock;
}

void TAlimmTokenRecord::setIsLogin(bool AValue)
{
    const std::scoped_lock lock(FCS);
    FData.isLogin = AValue;
}

void TAlimmTokenRecord::setReadLock(bool AValue)
{
    const std::scoped_lock lock(FCS);
    FData.readLock = AValue;
}

PAlimmTokenData TAlimmTokenMgr::Find(const QString& trimmedUserId) const
{
    for (const auto& record : List) {
        if (Trim(record->FData.userId) == trimmedUserId)
            return record.get();
    }
    return nullptr;
}

void TAlimmTokenMgr::updateToken(TAlimmTokenData token)
{
    const QString key = Trim(token.userId);
    // The search runs under the lock too: two refreshes of a new account at once must not append it twice.
    const std::scoped_lock lock(FCS);
    if (const PAlimmTokenData record = Find(key)) {
        record->FData.authTime = token.authTime;
        record->FData.expTime = token.expTime;
        record->FData.token = std::move(token.token);
        record->FData.listed = true;
        return;
    }
    token.isLogin = false;
    token.listed = true;
    List.push_back(std::make_unique<TAlimmTokenRecord>(TAlimmTokenRecord::TKey(), FCS, std::move(token)));
}

void TAlimmTokenMgr::keepListed(const std::vector<QString>& AUserIds)
{
    const std::scoped_lock lock(FCS);
    for (const std::unique_ptr<TAlimmTokenRecord>& record : List) {
        const QString key = Trim(record->FData.userId);
        record->FData.listed = std::find(AUserIds.begin(), AUserIds.end(), key) != AUserIds.end();
    }
}

void TAlimmTokenMgr::updateCookies(const QString& userId, const QString& cookies)
{
    const QString key = Trim(userId);
    // Matching runs before the lock: the expression needs nothing the store guards.
    const std::optional<QString> pair = TbTokenPattern().FirstMatch(cookies);
    const std::scoped_lock lock(FCS);
    const PAlimmTokenData record = Find(key);
    if (!record)
        return;
    record->FData.cookies = cookies;
    record->FData.isLogin = true;
    if (pair)
        record->FData._tb_token_ = QStringLiteral("_tb_token_") + Trim(*pair);
}

PAlimmTokenData TAlimmTokenMgr::get()
{
    const std::scoped_lock lock(FCS);
    if (List.empty())
        return nullptr;
    if (FReadIndex < 0 || static_cast<std::size_t>(FReadIndex) >= List.size())
        FReadIndex = 0;
    TAlimmTokenRecord* record = List[static_cast<std::size_t>(FReadIndex)].get();
    ++FReadIndex;
    if (record->FData.readLock)
        return nullptr;
    record->FData.readLock = true;
    return record;
}

PAlimmTokenData TAlimmTokenMgr::get(const QString& userId) const
{
    const QString key = Trim(userId);
    const std::scoped_lock lock(FCS);
    return Find(key);
}

PAlimmTokenData TAlimmTokenMgr::GetItem(qint32 index) const
{
    const std::scoped_lock lock(FCS);
    if (index < 0 || static_cast<std::size_t>(index) >= List.size())
        return nullptr;
    return List[static_cast<std::size_t>(index)].get();
}

qint32 TAlimmTokenMgr::count() const
{
    const std::scoped_lock lock(FCS);
    return static_cast<qint32>(List.size());
}

bool HasWebSession(const TAlimmTokenRecord& AAccount)
{
    return !Trim(AAccount.cookies()).isEmpty();
}
