// Amount texts: exact or refused, never undefined; the same number written another way gives the same fen.
#include "foundation/decimaltext.h"

#include <QString>

#include <cstdint>
#include <cstdlib>
#include <optional>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize)
{
    const QString text = QString::fromLatin1(reinterpret_cast<const char*>(AData), qsizetype(ASize));
    const std::optional<qint64> fen = DecimalTextToFen(text);
    const std::optional<TDecimalParts> parts = SplitDecimalText(text);
    if (!parts || parts->FHasExponent || (parts->FInteger.isEmpty() && parts->FFraction.isEmpty()))
        return 0;
    // A trailing zero in the fraction, or an exponent of 0, changes nothing.
    const QString point = parts->FHasPoint ? QString() : QStringLiteral(".");
    if (DecimalTextToFen(text + point + u'0') != fen || DecimalTextToFen(text + QStringLiteral("e0")) != fen)
        std::abort();
    // Shifting the point one place right and the exponent one place left changes nothing either.
    if (parts->FFraction.size() > 0) {
        const QString sign = parts->FSign != 0 ? QString(QChar(parts->FSign)) : QString();
        const QString shifted = sign + parts->FInteger.toString() + parts->FFraction.first(1).toString() + u'.'
            + parts->FFraction.sliced(1).toString() + QStringLiteral("e-1");
        if (DecimalTextToFen(shifted) != fen)
            std::abort();
    }
    return 0;
}
