// The JSON reader on any bytes: no crash, no undefined behaviour, and whatever a parse keeps encodes to a text
// that reads back as the same tree, with and without escaping. Every getter either converts or raises our error.
#include "foundation/qerror.h"
#include "foundation/qjson.h"
#include "taobao/orderAmount.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void Check(bool ACondition)
{
    if (!ACondition)
        std::abort();
}

template <typename F> void ConvertOrRaise(F ACall)
{
    try {
        ACall();
    } catch (const EQuenlarError&) {
    }
}

// The getters of the first nodes: a getter that raises costs far more under the sanitizers than the parse, so
// reading every node of a large input would leave little time for new inputs.
void ReadFirstNodes(const TQJson& ARoot)
{
    std::vector<const TQJson*> pending {&ARoot};
    for (int read = 0; read < 16 && !pending.empty(); ++read) {
        const TQJson* node = pending.back();
        pending.pop_back();
        ConvertOrRaise([node] { (void)node->AsInt64(); });
        ConvertOrRaise([node] { (void)node->AsFloat(); });
        ConvertOrRaise([node] { (void)node->AsBoolean(); });
        ConvertOrRaise([node] { (void)AmountToFen(*node); });
        if (!node->IsContainer())
            (void)node->AsString();
        if (node->Parent() != nullptr && node->Parent()->IsObject())
            Check(node->Parent()->ItemByName(node->NameView()) != nullptr);
        for (int i = 0; i < node->Count(); ++i)
            pending.push_back(node->Items(i));
    }
}

void CheckRoundTrip(const TQJson& AJson)
{
    for (const bool escape : {false, true}) {
        const QString encoded = AJson.Encode(false, escape);
        TQJson back;
        Check(back.TryParse(encoded));
        Check(back.Encode(false, escape) == encoded);
    }
    const QString formatted = AJson.Encode(true, false);
    TQJson back;
    Check(back.TryParse(formatted));
    Check(back.Encode(true, false) == formatted);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize)
{
    const QByteArray bytes(reinterpret_cast<const char*>(AData), qsizetype(ASize));
    TQJson json;
    (void)json.TryParse(bytes);
    ReadFirstNodes(json);
    CheckRoundTrip(json);

    // The same text parsed into a member of a document, where the member's nodes must own their texts.
    TQJson document;
    TQJson* member = document.Add(QStringLiteral("m"));
    const bool ok = member->TryParse(bytes);
    Check(ok == json.TryParse(bytes));
    Check(document.ItemByPath(u"m") == member);
    CheckRoundTrip(document);

    // The input as a path.
    (void)json.ItemByPath(QString::fromUtf8(bytes.left(64)));
    return 0;
}
