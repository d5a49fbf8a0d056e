#include "sync/signInMessage.h"

#include "foundation/qerror.h"
#include "foundation/qjson.h"
#include "foundation/textutil.h"

namespace {

QString MemberText(const TQJson& ADoc, QStringView AName)
{
    const TQJson* node = ADoc.ItemByPath(AName);
    if (!node)
        return {};
    try {
        return node->AsString();
    } catch (const EQuenlarError&) {
        return {};
    }
}

qint64 MemberInteger(const TQJson& ADoc, QStringView AName)
{
    const TQJson* node = ADoc.ItemByPath(AName);
    if (!node)
        return 0;
    try {
        return node->AsInt64();
    } catch (const EQuenlarError&) {
        return 0;
    }
}

} // namespace

bool TSignInMessage::Succeeded() const
{
    return !Trim(memberid).isEmpty();
}

TSignInMessage TSignInMessage::FromDatagram(const QByteArray& AData)
{
    return FromText(QString::fromUtf8(AData));
}

TSignInMessage TSignInMessage::FromText(const QString& AText)
{
    TQJson doc;
    doc.TryParse(AText);
    TSignInMessage message;
    message.cmd = MemberInteger(doc, u"cmd");
    message.processId = MemberInteger(doc, u"processId");
    message.userId = MemberText(doc, u"userId");
    message.nickname = MemberText(doc, u"nickname");
    message.memberid = MemberText(doc, u"memberid");
    message.cookies = MemberText(doc, u"cookies");
    return message;
}
