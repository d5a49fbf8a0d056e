#include "sync/signin/signInMessage.h"

#include "foundation/qjson.h"
#include "foundation/textutil.h"

namespace {

// Reads one member of the types it may have; false when it is there with another type.
bool ReadMember(const TQJson& ADoc, QStringView AName, bool ANumberAllowed, QString& AOut)
{
    const TQJson* node = ADoc.ItemByPath(AName);
    if (!node)
        return true;
    switch (node->DataType()) {
    case jdtString:
        AOut = node->AsString();
        return true;
    case jdtInteger:
        if (!ANumberAllowed)
            return false;
        AOut = QString::number(node->AsInt64());
        return true;
    default:
        return false;
    }
}

bool ReadInteger(const TQJson& ADoc, QStringView AName, qint64& AOut)
{
    const TQJson* node = ADoc.ItemByPath(AName);
    if (!node)
        return true;
    if (node->DataType() != jdtInteger)
        return false;
    AOut = node->AsInt64();
    return true;
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
    TSignInMessage message;
    if (!doc.TryParse(AText) || !doc.IsObject())
        return message;
    // A sign-in is exactly the number 1000: "1000", 1000.0 or true are no sign-in, and a member of another type
    // than the browser sends makes the whole datagram ill-formed rather than read as something it is not.
    message.wellFormed = ReadInteger(doc, u"cmd", message.cmd) && ReadInteger(doc, u"processId", message.processId)
        && ReadMember(doc, u"userId", true, message.userId) && ReadMember(doc, u"nickname", false, message.nickname)
        && ReadMember(doc, u"memberid", true, message.memberid) && ReadMember(doc, u"cookies", false, message.cookies)
        && ReadMember(doc, u"secret", false, message.secret);
    if (!message.wellFormed)
        message = TSignInMessage();
    return message;
}
