#include "foundation/qjson.h"

#include "foundation/qjsonnumbers.h"
#include "foundation/qjsonstore.h"

#include <limits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

constexpr char16_t kCR = u'\r';
constexpr char16_t kLF = u'\n';

bool IsBlank(char16_t c)
{
    return c <= 0x20;
}
bool IsDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}
int HexValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

} // namespace

// Iterative, so that no input can exhaust the stack; the nesting limit keeps the recursive encoder safe too.
class TQJsonParser {
public:
    TQJsonParser(TQJsonStore* AStore, QStringView AText)
        : FStore(AStore)
        , FPos(AText.data())
        , FEnd(AText.data() + AText.size())
    {
    }

    bool Parse(TQJson* ATarget)
    {
        bool ok = false;
        try {
            ok = ParseDocument(ATarget);
        } catch (...) {
            ok = false;
        }
        if (!ok)
            Unwind();
        return ok;
    }

private:
    // The reader's nodes are new, and a new node holds nothing to drop: its type is simply set. A node that held
    // something (the target of the parse) drops it first.
    static void SetType(TQJson* ANode, TQJsonDataType AType)
    {
        if (ANode->FDataType == jdtUnknown)
            ANode->FDataType = AType;
        else
            ANode->SetDataType(AType);
    }

    struct TFrame {
        TQJson* FNode;
        size_t FFirst; // first of its children in FPending
    };

    bool ParseDocument(TQJson* ATarget)
    {
        if (FPos != FEnd && FPos->unicode() == 0xFEFF)
            ++FPos;
        if (!SkipBlanks() || FPos == FEnd)
            return false;
        TakeComment(ATarget);
        const char16_t c = FPos->unicode();
        if (c == u'{' || c == u'[') {
            Open(ATarget, c);
            return ParseContainers();
        }
        if (!ParseScalar(ATarget))
            return false;
        if (!SkipBlanks())
            return false;
        return FPos == FEnd || *FPos == u',' || *FPos == u']' || *FPos == u'}';
    }

    void Open(TQJson* ANode, char16_t ABracket)
    {
        SetType(ANode, ABracket == u'{' ? jdtObject : jdtArray);
        ++FPos;
        FLastValue = nullptr;
        FStack.push_back({ANode, FPending.size()});
    }

    void Close()
    {
        const TFrame frame = FStack.back();
        FStack.pop_back();
        frame.FNode->FItems.assign(FPending.begin() + qsizetype(frame.FFirst), FPending.end());
        FPending.resize(frame.FFirst);
        FLastValue = frame.FNode;
        ++FPos;
    }

    // Children gathered so far still belong to their containers when parsing stops half-way.
    void Unwind()
    {
        while (!FStack.empty()) {
            const TFrame frame = FStack.back();
            FStack.pop_back();
            auto& items = frame.FNode->FItems;
            items.insert(items.end(), FPending.begin() + qsizetype(frame.FFirst), FPending.end());
            FPending.resize(frame.FFirst);
        }
    }

    bool ParseContainers()
    {
        bool afterValue = false;
        while (!FStack.empty()) {
            TQJson* container = FStack.back().FNode;
            const bool isObject = container->FDataType == jdtObject;
            const char16_t close = isObject ? u'}' : u']';
            if (!SkipBlanks() || FPos == FEnd)
                return false;
            char16_t c = FPos->unicode();
            if (afterValue) {
                if (c == close) {
                    Close();
                    continue;
                }
                if (c != u',')
                    return false;
                ++FPos;
                FLastValue = nullptr;
                if (!SkipBlanks() || FPos == FEnd)
                    return false;
                c = FPos->unicode();
            }
            if (c == close) {
                Close();
                afterValue = true;
                continue;
            }
            TQJson* child = FStore->Allocate(container);
            FPending.push_back(child);
            TakeComment(child);
            if (isObject && !ParseMemberName(child))
                return false;
            if (FPos == FEnd)
                return false;
            c = FPos->unicode();
            if (c == u'{' || c == u'[') {
                if (FStack.size() >= size_t(TQJson::MaxDepth))
                    return false;
                Open(child, c);
                afterValue = false;
                continue;
            }
            if (!ParseScalar(child))
                return false;
            afterValue = true;
        }
        return true;
    }

    // Name, colon and the blanks before the value.
    bool ParseMemberName(TQJson* AChild)
    {
        const char16_t c = FPos->unicode();
        if (c == u'"' || c == u'\'') {
            if (!ParseString(c, AChild->FName))
                return false;
        } else {
            const QChar* start = FPos;
            while (FPos != FEnd) {
                const char16_t u = FPos->unicode();
                if (u == u',' || u == u':' || u == u']' || u == u'}')
                    break;
                ++FPos;
            }
            const QChar* end = FPos;
            while (end != start && IsBlank(end[-1].unicode()))
                --end;
            if (FPos == FEnd || end == start)
                return false;
            AChild->FName.Refer(start, end - start);
        }
        if (!SkipBlanks() || FPos == FEnd || *FPos != u':')
            return false;
        ++FPos;
        return SkipBlanks();
    }

    bool ParseScalar(TQJson* ANode)
    {
        const char16_t c = FPos->unicode();
        bool ok = false;
        if (c == u'"' || c == u'\'') {
            SetType(ANode, jdtString);
            ok = ParseString(c, ANode->FValue);
        } else if (IsDigit(c) || c == u'-' || c == u'+') {
            ok = ParseNumber(ANode);
        } else {
            ok = ParseWord(ANode);
        }
        FLastValue = ANode;
        return ok;
    }

    bool MatchWord(const char16_t* AWord, qsizetype ALength)
    {
        if (FEnd - FPos < ALength)
            return false;
        for (qsizetype i = 0; i < ALength; ++i)
            if ((FPos[i].unicode() | 0x20) != AWord[i])
                return false;
        FPos += ALength;
        return true;
    }

    bool ParseWord(TQJson* ANode)
    {
        if (MatchWord(u"true", 4)) {
            SetType(ANode, jdtBoolean);
            ANode->FBoolean = true;
        } else if (MatchWord(u"false", 5)) {
            SetType(ANode, jdtBoolean);
            ANode->FBoolean = false;
        } else if (MatchWord(u"null", 4)) {
            SetType(ANode, jdtNull);
        } else {
            return false;
        }
        return true;
    }

    bool ParseNumber(TQJson* ANode)
    {
        const QChar* start = FPos;
        const bool negative = *FPos == u'-';
        if (*FPos == u'-' || *FPos == u'+')
            ++FPos;
        if (FPos == FEnd || !IsDigit(FPos->unicode()))
            return false;
        quint64 integer = 0;
        bool overflow = false;
        int intDigits = 0; // significant ones, for the decimal's capacity
        for (; FPos != FEnd && IsDigit(FPos->unicode()); ++FPos) {
            const unsigned digit = FPos->unicode() - u'0';
            if (integer > (quint64(std::numeric_limits<qint64>::max()) - digit) / 10)
                overflow = true;
            else
                integer = integer * 10 + digit;
            if (intDigits > 0 || digit != 0)
                ++intDigits;
        }
        int fracDigits = 0; // up to the last non-zero one
        if (FPos != FEnd && *FPos == u'.') {
            ++FPos;
            for (int seen = 0; FPos != FEnd && IsDigit(FPos->unicode()); ++FPos) {
                ++seen;
                if (*FPos != u'0')
                    fracDigits = seen;
            }
        }
        if (FPos != FEnd && (*FPos == u'e' || *FPos == u'E')) {
            ++FPos;
            if (FPos != FEnd && (*FPos == u'+' || *FPos == u'-'))
                ++FPos;
            while (FPos != FEnd && IsDigit(FPos->unicode()))
                ++FPos;
            double value = 0;
            if (!DecimalToDouble(QStringView(start, FPos), value))
                return false;
            SetType(ANode, jdtFloat);
            ANode->FFloat = value;
            ANode->FValue.Refer(start, FPos - start); // the exact number, for amounts
            return true;
        }
        if (!overflow && fracDigits == 0) {
            SetType(ANode, jdtInteger);
            ANode->FInteger = negative ? -qint64(integer) : qint64(integer);
            return true;
        }
        if (intDigits + fracDigits > 64)
            return false;
        SetType(ANode, jdtBcd);
        ANode->FValue.Refer(start, FPos - start);
        return true;
    }

    // A quoted text; escape-free texts point into the source, the others are decoded into an owned string.
    bool ParseString(char16_t AQuote, TQJson::TText& AOut)
    {
        const QChar* start = ++FPos;
        SkipPlainText(AQuote);
        for (; FPos != FEnd; ++FPos) {
            const char16_t c = FPos->unicode();
            if (c == u'\\' || (c == AQuote && FPos + 1 != FEnd && FPos[1] == AQuote))
                return ParseEscapedString(AQuote, start, AOut);
            if (c == AQuote) {
                AOut.Refer(start, FPos - start);
                ++FPos;
                return true;
            }
        }
        return false;
    }

    // Moves over the text before the first quote or backslash, eight units at a time where it can.
    void SkipPlainText([[maybe_unused]] char16_t AQuote)
    {
#ifdef __SSE2__
        const __m128i quote = _mm_set1_epi16(short(AQuote));
        const __m128i backslash = _mm_set1_epi16(short(u'\\'));
        while (FEnd - FPos >= 8) {
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(FPos));
            const int hits
                = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi16(units, quote), _mm_cmpeq_epi16(units, backslash)));
            if (hits != 0) {
                FPos += __builtin_ctz(unsigned(hits)) / 2;
                return;
            }
            FPos += 8;
        }
#endif
    }

    bool ParseEscapedString(char16_t AQuote, const QChar* AStart, TQJson::TText& AOut)
    {
        QString text;
        text.reserve(FPos - AStart + 16);
        const QChar* run = AStart;
        while (FPos != FEnd) {
            const char16_t c = FPos->unicode();
            if (c == AQuote) {
                text.append(run, FPos - run);
                if (FPos + 1 != FEnd && FPos[1] == AQuote) {
                    text.append(QChar(AQuote));
                    FPos += 2;
                    run = FPos;
                    continue;
                }
                ++FPos;
                AOut.Own(std::move(text));
                return true;
            }
            if (c != u'\\') {
                ++FPos;
                continue;
            }
            text.append(run, FPos - run);
            if (++FPos == FEnd)
                return false;
            char16_t unit = FPos->unicode();
            switch (unit) {
            case u'a':
                unit = 7;
                break;
            case u'b':
                unit = 8;
                break;
            case u'f':
                unit = 12;
                break;
            case u'n':
                unit = 10;
                break;
            case u'r':
                unit = 13;
                break;
            case u't':
                unit = 9;
                break;
            case u'v':
                unit = 11;
                break;
            case u'u': {
                if (FEnd - FPos < 5)
                    return false;
                unit = 0;
                for (int i = 1; i <= 4; ++i) {
                    const int digit = HexValue(FPos[i].unicode());
                    if (digit < 0)
                        return false;
                    unit = char16_t(unit * 16 + digit);
                }
                FPos += 4;
                break;
            }
            default:
                break; // the character itself, quotes, backslash and slash included
            }
            text.append(QChar(unit));
            run = ++FPos;
        }
        return false;
    }

    // Blanks and comments; false on a lone slash or an unterminated block comment. Most calls find none: that
    // case is decided here, inline.
    bool SkipBlanks()
    {
        if (FPos != FEnd && !IsBlank(FPos->unicode()) && FPos->unicode() != u'/')
            return true;
        return SkipBlanksAndComments();
    }

    bool SkipBlanksAndComments()
    {
        while (FPos != FEnd) {
            const char16_t c = FPos->unicode();
            if (IsBlank(c)) {
                ++FPos;
                continue;
            }
            if (c != u'/')
                return true;
            if (FEnd - FPos < 2)
                return false;
            const QChar* start = FPos + 2;
            if (FPos[1] == u'/') {
                const QChar* end = start;
                while (end != FEnd && *end != kLF && *end != kCR)
                    ++end;
                AttachComment(QStringView(start, end));
                FPos = end;
            } else if (FPos[1] == u'*') {
                const qsizetype close = QStringView(start, FEnd).indexOf(u"*/");
                if (close < 0)
                    return false;
                AttachComment(QStringView(start, close));
                FPos = start + close + 2;
            } else {
                return false;
            }
        }
        return true;
    }

    // A comment right after a value belongs to it; any other one to the node that comes next.
    void AttachComment(QStringView AText)
    {
        QString& comment = FLastValue != nullptr ? FLastValue->FComment : FComment;
        if (!comment.isEmpty())
            comment += u'\n';
        comment += AText;
        if (FLastValue != nullptr)
            FLastValue->FCommentStyle = jcsAfterValue;
    }

    void TakeComment(TQJson* ANode)
    {
        if (FComment.isEmpty())
            return;
        ANode->FComment = std::move(FComment);
        ANode->FCommentStyle = jcsBeforeName;
        FComment = QString();
    }

    TQJsonStore* FStore;
    const QChar* FPos;
    const QChar* const FEnd;
    std::vector<TFrame> FStack;
    std::vector<TQJson*> FPending;
    QString FComment; // waiting for the next node
    TQJson* FLastValue = nullptr;
};

bool TQJson::TryParse(QStringView AText)
{
    return TryParse(AText.toString());
}

bool TQJson::TryParse(const QByteArray& AUtf8)
{
    return TryParse(QString::fromUtf8(AUtf8));
}

bool TQJson::TryParse(const QString& AText)
{
    try {
        if (IsContainer())
            ReleaseChildren();
        TQJsonStore* store = Store();
        const bool isRoot = FOwnStore != nullptr;
        if (isRoot) {
            // Nothing below the root is left, so the old texts can go once the root's own value no longer
            // points into them.
            if (FValue.FData != nullptr && FValue.FData != FValue.FOwned.constData())
                FValue.Own(FValue.ToString());
            store->DropSources();
        }
        QString source = AText; // shared, not copied, unless it has to be turned
        if (!AText.isEmpty() && AText.front().unicode() == 0xFFFE) {
            for (QChar& c : source)
                c = QChar(char16_t((c.unicode() << 8) | (c.unicode() >> 8)));
        }
        const QStringView kept = store->Keep(std::move(source));
        const bool ok = TQJsonParser(store, kept).Parse(this);
        if (!isRoot) {
            // The root drops its texts only when it is parsed again itself: a node parsed in place again and
            // again would pile them up, so its nodes copy what they use and the text goes at once.
            OwnTextsIn(kept);
            store->DropLastSource();
        }
        return ok;
    } catch (...) {
        return false;
    }
}

void TQJson::OwnTextsIn(QStringView ASource)
{
    const auto within = [ASource](const TText& AText) {
        return AText.FData >= ASource.data() && AText.FData < ASource.data() + ASource.size();
    };
    std::vector<TQJson*> pending {this};
    while (!pending.empty()) {
        TQJson* node = pending.back();
        pending.pop_back();
        if (within(node->FName))
            node->FName.Own(node->FName.ToString());
        if (within(node->FValue))
            node->FValue.Own(node->FValue.ToString());
        pending.insert(pending.end(), node->FItems.begin(), node->FItems.end());
    }
}
