#include "standin/operatorbackend.h"

#include "standin/signatures.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QString>

#include <cstdlib>

namespace {

std::string Field(const TFormFields& AFields, const char* AName)
{
    return FieldValue(AFields, AName);
}

QString Text(const std::string& AText)
{
    return QString::fromStdString(AText);
}

bool IsString(const QJsonObject& AObject, const char* AName)
{
    return AObject.value(QLatin1String(AName)).isString();
}

} // namespace

TOperatorBackend::TOperatorBackend(
    const TDemoData& AData, TStandInLedger& ALedger, std::string APhone, std::string APassword, std::uint64_t ASeed)
    : FData(AData)
    , FLedger(ALedger)
    , FPhone(std::move(APhone))
    , FPassword(std::move(APassword))
    , FUid(std::to_string(10000 + ASeed % 90000))
    , FToken(Md5Hex("operator-session-" + std::to_string(ASeed), false))
{
}

void TOperatorBackend::Register(TTestServer& AService, TTestServer& AIntake, TFaultInjector& AFaults)
{
    const auto bind = [this](void (TOperatorBackend::*AMethod)(const httplib::Request&, httplib::Response&)) {
        return [this, AMethod](const httplib::Request& req, httplib::Response& res) { (this->*AMethod)(req, res); };
    };
    AService.Post("/client/dbmove/login", AFaults.Guard(TStandInHost::Operator, bind(&TOperatorBackend::Login)));
    AService.Post("/client/alimmtoken/getSyncOrderToken",
        AFaults.Guard(TStandInHost::Operator, bind(&TOperatorBackend::AccountList)));
    AService.Post(
        "/client/tbrefund/order/sync", AFaults.Guard(TStandInHost::Operator, bind(&TOperatorBackend::RefundBatch)));
    AIntake.Post(
        "/orders/tborder/invalid/push", AFaults.Guard(TStandInHost::Intake, bind(&TOperatorBackend::InvalidBatch)));
}

void TOperatorBackend::Reply(httplib::Response& ARes, int ACode, const std::string& AMsg, const QJsonValue& AData)
{
    QJsonObject envelope {{QStringLiteral("code"), ACode}, {QStringLiteral("msg"), Text(AMsg)},
        {QStringLiteral("time"), QDateTime::currentMSecsSinceEpoch()}};
    if (!AData.isUndefined())
        envelope.insert(QStringLiteral("data"), AData);
    ARes.status = 200;
    ARes.set_content(
        QJsonDocument(envelope).toJson(QJsonDocument::Compact).toStdString(), "application/json;charset=UTF-8");
}

void TOperatorBackend::Refuse(httplib::Response& ARes, long long& ACounter, int ACode, const std::string& AMsg)
{
    {
        const std::scoped_lock lock(FMutex);
        ++ACounter;
    }
    Reply(ARes, ACode, AMsg);
}

bool TOperatorBackend::Verify(const httplib::Request& AReq, httplib::Response& ARes, TNeed ANeed, TFormFields& AFields)
{
    if (AReq.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) != 0) {
        Refuse(ARes, FBadRequest, 400, "请求格式错误");
        return false;
    }
    AFields = DecodeForm(AReq.body);
    const std::string sign = Field(AFields, "sign");
    if (sign.empty() || sign != OperatorSign(AFields, kOperatorSecret)) {
        Refuse(ARes, FBadSign, 403, "签名错误");
        return false;
    }
    char* end = nullptr;
    const std::string stamp = Field(AFields, "timestamp");
    const long long timestamp = std::strtoll(stamp.c_str(), &end, 10);
    if (stamp.empty() || *end != '\0'
        || std::llabs(timestamp - QDateTime::currentSecsSinceEpoch()) > kTimestampToleranceS) {
        Refuse(ARes, FBadTimestamp, 408, "请求时间戳无效");
        return false;
    }
    if (ANeed == TNeed::Session && (Field(AFields, "token") != FToken || Field(AFields, "uid") != FUid)) {
        Refuse(ARes, FBadSession, 401, "登录已失效,请重新登录");
        return false;
    }
    return true;
}

void TOperatorBackend::Login(const httplib::Request& AReq, httplib::Response& ARes)
{
    TFormFields fields;
    // A stale session from an earlier run may come along with a login; the login itself is what counts.
    if (!Verify(AReq, ARes, TNeed::Signature, fields))
        return;
    if (Field(fields, "phone") != FPhone || Field(fields, "pwd") != FPassword) {
        Refuse(ARes, FBadLogin, 1001, "账号或密码错误");
        return;
    }
    {
        const std::scoped_lock lock(FMutex);
        ++FLogins;
    }
    Reply(ARes, 200, "登录成功",
        QJsonObject {{QStringLiteral("uid"), Text(FUid)}, {QStringLiteral("token"), Text(FToken)}});
}

void TOperatorBackend::AccountList(const httplib::Request& AReq, httplib::Response& ARes)
{
    TFormFields fields;
    if (!Verify(AReq, ARes, TNeed::Session, fields))
        return;
    QJsonArray accounts;
    const std::string fault = ListItemFault();
    for (const TDemoAccount& account : FData.Accounts()) {
        QJsonObject item {{QStringLiteral("userId"), Text(account.userId)},
            {QStringLiteral("userName"), Text(account.userName)}, {QStringLiteral("authTime"), account.authTime},
            {QStringLiteral("exptime"), account.expTime}, {QStringLiteral("accessToken"), Text(account.accessToken)}};
        if (accounts.isEmpty() && fault == "times") {
            item[QStringLiteral("authTime")] = QStringLiteral("abc");
            item[QStringLiteral("exptime")] = QStringLiteral("abc");
        } else if (accounts.isEmpty() && fault == "userid") {
            item.remove(QStringLiteral("userId"));
        }
        accounts.append(item);
    }
    Reply(ARes, 200, "success", accounts);
}

bool TOperatorBackend::ParseListItemFault(const std::string& AText)
{
    return AText.empty() || AText == "times" || AText == "userid";
}

void TOperatorBackend::SetListItemFault(const std::string& AFault)
{
    const std::scoped_lock lock(FMutex);
    FListItemFault = ParseListItemFault(AFault) ? AFault : std::string();
}

std::string TOperatorBackend::ListItemFault() const
{
    const std::scoped_lock lock(FMutex);
    return FListItemFault;
}

// The ledger's name of the kind, the order's id fields, and the fields a well-formed order has besides its ids.
struct TStandInBatchKind {
    const char* ledgerName;
    const char* childKey;
    const char* parentKey;
    bool (*wellFormed)(const QJsonObject& AOrder);
};

namespace {

const TStandInBatchKind kRefundBatch {"refund", "childOrderNo", "parentOrderNo", [](const QJsonObject& AOrder) {
                                          return IsString(AOrder, "refundStatus")
                                              && AOrder.value(QStringLiteral("refundAmount")).isDouble()
                                              && AOrder.value(QStringLiteral("refundFinishTime")).isDouble();
                                      }};

const TStandInBatchKind kInvalidBatch {"invalid", "tradeId", "tradeParentId", [](const QJsonObject& AOrder) {
                                           return AOrder.value(QStringLiteral("tkStatus")).isDouble()
                                               && IsString(AOrder, "payPrice") && IsString(AOrder, "pubShareFee");
                                       }};

} // namespace

void TOperatorBackend::RefundBatch(const httplib::Request& AReq, httplib::Response& ARes)
{
    Batch(AReq, ARes, TNeed::Session, kRefundBatch);
}

void TOperatorBackend::InvalidBatch(const httplib::Request& AReq, httplib::Response& ARes)
{
    Batch(AReq, ARes, TNeed::Signature, kInvalidBatch);
}

void TOperatorBackend::Batch(
    const httplib::Request& AReq, httplib::Response& ARes, TNeed ANeed, const TStandInBatchKind& AKind)
{
    TFormFields fields;
    if (!Verify(AReq, ARes, ANeed, fields))
        return;
    const std::string text = Field(fields, "orders");
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text));
    std::vector<std::pair<TStandInLedger::TKey, QJsonObject>> orders;
    bool wellFormed = document.isArray() && !document.array().isEmpty();
    for (const auto& value : document.array()) {
        const QJsonObject order = value.toObject();
        const QString child = order.value(QLatin1String(AKind.childKey)).toString();
        const QString parent = order.value(QLatin1String(AKind.parentKey)).toString();
        wellFormed = wellFormed && value.isObject() && !child.isEmpty() && !parent.isEmpty() && AKind.wellFormed(order);
        orders.emplace_back(TStandInLedger::TKey {parent.toStdString(), child.toStdString()}, order);
    }
    if (!wellFormed) {
        Refuse(ARes, FBadRequest, 400, "orders 格式错误");
        return;
    }
    FLedger.AcceptBatch(AKind.ledgerName, text, orders);
    Reply(ARes, 200, "success");
}

QJsonObject TOperatorBackend::Rejections() const
{
    const std::scoped_lock lock(FMutex);
    return QJsonObject {{QStringLiteral("logins"), FLogins}, {QStringLiteral("badSign"), FBadSign},
        {QStringLiteral("badTimestamp"), FBadTimestamp}, {QStringLiteral("badSession"), FBadSession},
        {QStringLiteral("badLogin"), FBadLogin}, {QStringLiteral("badRequest"), FBadRequest}};
}
