#include "foundation/qjson.h"

#include "foundation/decimaltext.h"
#include "foundation/nodepath.h"
#include "foundation/qerror.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <new>
#include <string>

namespace {

struct alignas(TQJson) TNodeSlot {
    unsigned char FBytes[sizeof(TQJson)];
};

// Node chunks stay below the allocator's mapping threshold and are kept per thread for the next document: a reply
// page needs a few hundred kilobytes of nodes, which would otherwise go back to the system after each parse and be
// faulted in again on the next one.
class TNodeChunkCache {
public:
    static constexpr size_t kChunkNodes = 32 * 1024 / sizeof(TQJson);
    using TChunk = std::unique_ptr<TNodeSlot[]>;

    TNodeChunkCache() = default;
    TNodeChunkCache(const TNodeChunkCache&) = delete;
    TNodeChunkCache& operator=(const TNodeChunkCache&) = delete;
    ~TNodeChunkCache() { FGone = true; }

    static TChunk Take()
    {
        if (!FGone && !ThisThread().FChunks.empty()) {
            TChunk chunk = std::move(ThisThread().FChunks.back());
            ThisThread().FChunks.pop_back();
            return chunk;
        }
        return std::make_unique_for_overwrite<TNodeSlot[]>(kChunkNodes);
    }

    // A document destroyed while its thread ends (a thread-local one) frees its chunks instead.
    static void Give(TChunk AChunk)
    {
        if (!FGone && ThisThread().FChunks.size() < kKeptChunks)
            ThisThread().FChunks.push_back(std::move(AChunk));
    }

private:
    static constexpr size_t kKeptChunks = 64; // 2 MB per thread

    static TNodeChunkCache& ThisThread()
    {
        thread_local TNodeChunkCache cache;
        return cache;
    }

    std::vector<TChunk> FChunks;
    static thread_local bool FGone;
};

thread_local bool TNodeChunkCache::FGone = false;

} // namespace

// Owns the nodes of one tree (allocated in chunks, so a parse costs no allocation per node) and the parsed
// texts that names and values point into.
class TQJsonStore {
public:
    TQJsonStore() = default;
    TQJsonStore(const TQJsonStore&) = delete;
    TQJsonStore& operator=(const TQJsonStore&) = delete;
    ~TQJsonStore() // every node has been released by the root before
    {
        for (auto& chunk : FChunks)
            TNodeChunkCache::Give(std::move(chunk));
    }

    TQJson* Allocate(TQJson* AParent)
    {
        void* slot = FFree;
        if (slot != nullptr) {
            FFree = *static_cast<void**>(slot);
        } else {
            if (FNext == FEnd)
                Grow();
            slot = FNext++;
        }
        return new (slot) TQJson(this, AParent);
    }

    // Destroys the node only: the caller has taken its children away before.
    void Release(TQJson* ANode)
    {
        ANode->~TQJson();
        void* slot = ANode;
        *static_cast<void**>(slot) = FFree;
        FFree = slot;
    }

    QStringView Keep(QString AText)
    {
        FSources.push_back(std::move(AText));
        return FSources.back();
    }
    void DropSources() { FSources.clear(); }
    void DropLastSource() { FSources.pop_back(); }

private:
    void Grow()
    {
        FChunks.push_back(TNodeChunkCache::Take());
        FNext = FChunks.back().get();
        FEnd = FNext + TNodeChunkCache::kChunkNodes;
    }

    std::vector<TNodeChunkCache::TChunk> FChunks;
    TNodeSlot* FNext = nullptr;
    TNodeSlot* FEnd = nullptr;
    void* FFree = nullptr;
    std::vector<QString> FSources; // moving a QString keeps its buffer, so views stay valid
};

namespace {

constexpr char16_t kCR = u'\r';
constexpr char16_t kLF = u'\n';

bool IsBlank(char16_t c)
{
    return c <= 0x20;
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

// The characters of a number text as ASCII for std::from_chars; callers have checked that they are ASCII.
struct TAsciiBuffer {
    explicit TAsciiBuffer(QStringView AText)
    {
        FText.resize(size_t(AText.size()));
        for (qsizetype i = 0; i < AText.size(); ++i)
            FText[size_t(i)] = char(AText[i].unicode());
    }
    const char* Begin() const { return FText.data(); }
    const char* End() const { return FText.data() + FText.size(); }
    std::string FText;
};

// Nearest double of a decimal text (optional '-', digits, fraction, exponent). Underflow gives 0; false on
// overflow or a malformed text.
bool DecimalToDouble(QStringView AText, double& AValue)
{
    if (!AText.isEmpty() && AText.front() == u'+')
        AText = AText.mid(1);
    const TAsciiBuffer ascii(AText);
    double value = 0;
    const auto [end, ec] = std::from_chars(ascii.Begin(), ascii.End(), value);
    if (end != ascii.End())
        return false;
    if (ec == std::errc::result_out_of_range) {
        // from_chars reports underflow and overflow alike; only a negative exponent can underflow.
        const qsizetype e = AText.indexOf(u'e', 0, Qt::CaseInsensitive);
        if (e >= 0 && e + 1 < AText.size() && AText[e + 1] == u'-') {
            AValue = 0;
            return true;
        }
        return false;
    }
    if (ec != std::errc() || !std::isfinite(value))
        return false;
    AValue = value;
    return true;
}

// A text read as a number: "$", "&", "0x" hexadecimal, or -digits[.digits][e[sign]digits]. Integer texts are
// kept exact so that 18-19 digit ids survive.
struct TTextNumber {
    bool FIsInteger = false;
    qint64 FInteger = 0;
    double FFloat = 0;
};

bool ReadHex(QStringView ADigits, TTextNumber& AResult)
{
    const std::optional<quint64> value = DigitsValue(ADigits, 16);
    if (!value)
        return false;
    AResult.FIsInteger = true;
    AResult.FInteger = qint64(*value);
    return true;
}

// The value of a whole number text with its sign, when it fits 64 bits.
std::optional<qint64> SignedInteger(QStringView ADigits, bool ANegative)
{
    const std::optional<quint64> magnitude = DigitsValue(ADigits, 10);
    constexpr quint64 kMax = quint64(std::numeric_limits<qint64>::max());
    if (!magnitude || *magnitude > kMax + (ANegative ? 1 : 0))
        return std::nullopt;
    return ANegative ? qint64(0 - *magnitude) : qint64(*magnitude);
}

bool ReadTextNumber(QStringView AText, TTextNumber& AResult)
{
    if (AText.isEmpty())
        return false;
    if (AText.front() == u'$' || AText.front() == u'&')
        return ReadHex(AText.mid(1), AResult);
    if (AText.size() > 1 && AText[0] == u'0' && (AText[1] == u'x' || AText[1] == u'X'))
        return ReadHex(AText.mid(2), AResult);

    const std::optional<TDecimalParts> parts = SplitDecimalText(AText);
    if (!parts || parts->FSign == u'+' || parts->FInteger.isEmpty() || (parts->FHasPoint && parts->FFraction.isEmpty()))
        return false;
    if (!parts->FHasPoint && !parts->FHasExponent) {
        if (const std::optional<qint64> value = SignedInteger(parts->FInteger, parts->Negative())) {
            AResult.FIsInteger = true;
            AResult.FInteger = *value;
            return true;
        }
    }
    AResult.FIsInteger = false;
    return DecimalToDouble(AText, AResult.FFloat);
}

// Truncation toward zero; false when the value lies outside the 64-bit range.
bool TruncToInt64(double AValue, qint64& AResult)
{
    constexpr double kLimit = 9223372036854775808.0; // 2^63
    if (!(AValue >= -kLimit && AValue < kLimit))
        return false;
    AResult = qint64(AValue);
    return true;
}

// Shortest text with at most 15 significant digits: the value rounded to 15 digits without its trailing zeros
// (two different texts of 15 digits or fewer never name the same double). Near the largest double those 15
// digits round up past it and would no longer parse: there the shortest text that reads back, of up to 17.
// Plain notation for 0 and 1e-4 <= |v| < 1e15, otherwise mantissa "E" exponent.
QString FloatText(double AValue)
{
    if (AValue == 0)
        return QStringLiteral("0");
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, AValue, std::chars_format::scientific, 14);
    double back = 0;
    if (std::from_chars(buffer, result.ptr, back).ec == std::errc::result_out_of_range && std::abs(AValue) > 1)
        result = std::to_chars(buffer, buffer + sizeof buffer, AValue, std::chars_format::scientific);
    std::string_view text(buffer, size_t(result.ptr - buffer));
    // text is "[-]d[.ddd]e[+-]xx"
    const bool negative = text.front() == '-';
    if (negative)
        text.remove_prefix(1);
    const size_t ePos = text.find('e');
    std::string digits;
    for (const char c : text.substr(0, ePos))
        if (c != '.')
            digits.push_back(c);
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    int exponent = 0;
    std::string_view expText = text.substr(ePos + 1);
    if (expText.front() == '+')
        expText.remove_prefix(1);
    std::from_chars(expText.data(), expText.data() + expText.size(), exponent);

    std::string out;
    if (negative)
        out.push_back('-');
    if (exponent >= -4 && exponent < 15) {
        if (exponent >= 0) {
            const size_t intDigits = size_t(exponent) + 1;
            if (digits.size() <= intDigits) {
                out += digits;
                out.append(intDigits - digits.size(), '0');
            } else {
                out += digits.substr(0, intDigits);
                out.push_back('.');
                out += digits.substr(intDigits);
            }
        } else {
            out += "0.";
            out.append(size_t(-exponent - 1), '0');
            out += digits;
        }
    } else {
        out.push_back(digits.front());
        if (digits.size() > 1) {
            out.push_back('.');
            out += digits.substr(1);
        }
        out.push_back('E');
        out += std::to_string(exponent);
    }
    return QString::fromLatin1(out.data(), qsizetype(out.size()));
}

void AppendIndent(QString& AOut, const QString& AIndent, int ALevel)
{
    for (int i = 0; i < ALevel; ++i)
        AOut += AIndent;
}

void AppendEscaped(QString& AOut, QStringView AText, bool ADoEscape)
{
    static constexpr char16_t kHex[] = u"0123456789abcdef";
    const QChar* run = AText.data();
    const QChar* const end = AText.data() + AText.size();
    for (const QChar* p = run; p != end; ++p) {
        const char16_t c = p->unicode();
        const bool plain = c >= 0x20 && c != u'"' && c != u'\\' && (!ADoEscape || c < 0x7F);
        if (plain)
            continue;
        AOut.append(run, p - run);
        run = p + 1;
        switch (c) {
        case u'"':
            AOut += u"\\\"";
            break;
        case u'\\':
            AOut += u"\\\\";
            break;
        case 8:
            AOut += u"\\b";
            break;
        case 9:
            AOut += u"\\t";
            break;
        case 10:
            AOut += u"\\n";
            break;
        case 12:
            AOut += u"\\f";
            break;
        case 13:
            AOut += u"\\r";
            break;
        default: {
            const char16_t escaped[]
                = {u'\\', u'u', kHex[(c >> 12) & 15], kHex[(c >> 8) & 15], kHex[(c >> 4) & 15], kHex[c & 15]};
            AOut.append(reinterpret_cast<const QChar*>(escaped), 6);
        }
        }
    }
    AOut.append(run, end - run);
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
        ANode->SetDataType(ABracket == u'{' ? jdtObject : jdtArray);
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
            ANode->SetDataType(jdtString);
            ok = ParseString(c, ANode->FValue);
        } else if (IsAsciiDigit(c) || c == u'-' || c == u'+') {
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
            ANode->SetAsBoolean(true);
        } else if (MatchWord(u"false", 5)) {
            ANode->SetAsBoolean(false);
        } else if (MatchWord(u"null", 4)) {
            ANode->SetNull();
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
        if (FPos == FEnd || !IsAsciiDigit(FPos->unicode()))
            return false;
        quint64 integer = 0;
        bool overflow = false;
        int intDigits = 0; // significant ones, for the decimal's capacity
        for (; FPos != FEnd && IsAsciiDigit(FPos->unicode()); ++FPos) {
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
            for (int seen = 0; FPos != FEnd && IsAsciiDigit(FPos->unicode()); ++FPos) {
                ++seen;
                if (*FPos != u'0')
                    fracDigits = seen;
            }
        }
        if (FPos != FEnd && (*FPos == u'e' || *FPos == u'E')) {
            ++FPos;
            if (FPos != FEnd && (*FPos == u'+' || *FPos == u'-'))
                ++FPos;
            while (FPos != FEnd && IsAsciiDigit(FPos->unicode()))
                ++FPos;
            double value = 0;
            if (!DecimalToDouble(QStringView(start, FPos), value))
                return false;
            ANode->SetDataType(jdtFloat);
            ANode->FFloat = value;
            ANode->FValue.Refer(start, FPos - start); // the exact number, for amounts
            return true;
        }
        if (!overflow && fracDigits == 0) {
            ANode->SetAsInteger(negative ? -qint64(integer) : qint64(integer));
            return true;
        }
        if (intDigits + fracDigits > 64)
            return false;
        ANode->SetDataType(jdtBcd);
        ANode->FValue.Refer(start, FPos - start);
        return true;
    }

    // A quoted text; escape-free texts point into the source, the others are decoded into an owned string.
    bool ParseString(char16_t AQuote, TQJson::TText& AOut)
    {
        const QChar* start = ++FPos;
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

    // Blanks and comments; false on a lone slash or an unterminated block comment.
    bool SkipBlanks()
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

void TQJson::TText::Refer(const QChar* AData, qsizetype ASize)
{
    if (!FOwned.isNull())
        FOwned = QString();
    FData = AData;
    FSize = ASize;
}

void TQJson::TText::Own(QString AValue)
{
    FOwned = std::move(AValue);
    FData = FOwned.constData();
    FSize = FOwned.size();
}

QString TQJson::TText::ToString() const
{
    if (!FOwned.isNull() && FData == FOwned.constData())
        return FOwned;
    return FData == nullptr ? QString() : QString(FData, FSize);
}

void TQJson::TText::Reset()
{
    Refer(nullptr, 0);
}

TQJson::TQJson()
    : FInteger(0)
{
}

TQJson::TQJson(TQJsonStore* AStore, TQJson* AParent)
    : FInteger(0)
    , FParent(AParent)
    , FStore(AStore)
{
}

TQJson::~TQJson()
{
    ReleaseChildren();
}

TQJsonStore* TQJson::Store()
{
    if (FStore == nullptr) {
        FOwnStore = std::make_unique<TQJsonStore>();
        FStore = FOwnStore.get();
    }
    return FStore;
}

// Walks the subtree with a list instead of recursion: a parsed tree may be deep.
void TQJson::ReleaseChildren()
{
    if (FItems.empty())
        return;
    std::vector<TQJson*> pending;
    pending.swap(FItems);
    while (!pending.empty()) {
        TQJson* node = pending.back();
        pending.pop_back();
        pending.insert(pending.end(), node->FItems.begin(), node->FItems.end());
        node->FItems.clear();
        FStore->Release(node);
    }
}

void TQJson::ResetValue()
{
    ReleaseChildren();
    FValue.Reset();
    FInteger = 0;
}

void TQJson::SetDataType(TQJsonDataType AType)
{
    if (FDataType == AType)
        return;
    ResetValue();
    FDataType = AType;
}

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

TQJson* TQJson::NewChild()
{
    if (!IsContainer())
        SetDataType(jdtObject);
    TQJson* child = Store()->Allocate(this);
    FItems.push_back(child);
    return child;
}

TQJson* TQJson::Add(const QString& AName)
{
    TQJson* child = NewChild();
    child->FName.Own(AName);
    return child;
}

void TQJson::Clear()
{
    ReleaseChildren();
}

void TQJson::Delete(int AIndex)
{
    TQJson* child = Items(AIndex);
    FItems.erase(FItems.begin() + AIndex);
    child->ReleaseChildren();
    FStore->Release(child);
}

TQJson* TQJson::Items(int AIndex) const
{
    if (AIndex < 0 || AIndex >= Count())
        throw EQuenlarError(QStringLiteral("Argument out of range"));
    return FItems[size_t(AIndex)];
}

quint32 TQJson::NameHash() const
{
    if (FNameHash == 0)
        FNameHash = NodeNameHash(FName.View());
    return FNameHash;
}

TQJson* TQJson::ItemByName(QStringView AName) const
{
    if (FDataType != jdtObject)
        return nullptr;
    quint32 hash = 0;
    for (TQJson* child : FItems) {
        // Only names of the same length get hashed, and each at most once.
        if (child->FName.FSize != AName.size())
            continue;
        if (hash == 0)
            hash = NodeNameHash(AName);
        if (child->NameHash() == hash && child->FName.View() == AName)
            return child;
    }
    return nullptr;
}

int TQJson::IndexOf(QStringView AName) const
{
    const TQJson* child = ItemByName(AName);
    for (int i = 0; child != nullptr && i < Count(); ++i)
        if (FItems[size_t(i)] == child)
            return i;
    return -1;
}

QString TQJson::MemberText(QStringView AName) const
{
    const TQJson* member = ItemByName(AName);
    return member != nullptr ? member->AsString() : QString();
}

TQJson* TQJson::ItemByPath(QStringView APath) const
{
    return WalkNodePath(
        const_cast<TQJson*>(this), APath, [](TQJson* ANode, QStringView AName) { return ANode->ItemByName(AName); },
        [](TQJson* ANode, qint64 AIndex) { return AIndex < ANode->Count() ? ANode->FItems[size_t(AIndex)] : nullptr; });
}

QString TQJson::TypeName(TQJsonDataType AType)
{
    switch (AType) {
    case jdtUnknown:
        return QStringLiteral("Unknown");
    case jdtNull:
        return QStringLiteral("Null");
    case jdtString:
        return QStringLiteral("String");
    case jdtInteger:
        return QStringLiteral("Integer");
    case jdtFloat:
        return QStringLiteral("Float");
    case jdtBcd:
        return QStringLiteral("Bcd");
    case jdtBoolean:
        return QStringLiteral("Boolean");
    case jdtArray:
        return QStringLiteral("Array");
    case jdtObject:
        return QStringLiteral("Object");
    }
    return QStringLiteral("Unknown");
}

void TQJson::RaiseConvert(const char16_t* ATarget) const
{
    QString message = TypeName(FDataType);
    message += u" 不是一个有效的 ";
    message += QStringView(ATarget);
    message += u" 类型的值。";
    throw EQuenlarError(message);
}

// Digits with the point before the fraction, without superfluous zeros.
QString TQJson::BcdText() const
{
    QStringView text = FValue.View();
    bool negative = false;
    if (!text.isEmpty() && (text.front() == u'-' || text.front() == u'+')) {
        negative = text.front() == u'-';
        text = text.mid(1);
    }
    const qsizetype point = text.indexOf(u'.');
    QStringView integer = point < 0 ? text : text.left(point);
    QStringView fraction = point < 0 ? QStringView() : text.mid(point + 1);
    while (!integer.isEmpty() && integer.front() == u'0')
        integer = integer.mid(1);
    while (!fraction.isEmpty() && fraction.back() == u'0')
        fraction.chop(1);
    QString out;
    out.reserve(text.size() + 2);
    if (negative && (!integer.isEmpty() || !fraction.isEmpty()))
        out += u'-';
    if (integer.isEmpty())
        out += u'0';
    else
        out += integer;
    if (!fraction.isEmpty()) {
        out += u'.';
        out += fraction;
    }
    return out;
}

qint64 TQJson::StringToInt64() const
{
    TTextNumber number;
    if (!ReadTextNumber(FValue.View(), number))
        RaiseConvert(u"Numeric");
    if (number.FIsInteger)
        return number.FInteger;
    qint64 value = 0;
    if (!TruncToInt64(number.FFloat, value))
        RaiseConvert(u"Numeric");
    return value;
}

double TQJson::StringToFloat() const
{
    TTextNumber number;
    if (!ReadTextNumber(FValue.View(), number))
        RaiseConvert(u"Numeric");
    return number.FIsInteger ? double(number.FInteger) : number.FFloat;
}

QString TQJson::AsString() const
{
    switch (FDataType) {
    case jdtString:
        return FValue.ToString();
    case jdtInteger:
        return QString::number(FInteger);
    case jdtFloat:
        return FloatText(FFloat);
    case jdtBcd:
        return BcdText();
    case jdtBoolean:
        return FBoolean ? QStringLiteral("true") : QStringLiteral("false");
    case jdtArray:
    case jdtObject:
        return Encode(true, false, QStringLiteral("  "));
    default:
        return QString();
    }
}

QString TQJson::NumberText() const
{
    if (FDataType == jdtFloat && FValue.FData != nullptr)
        return FValue.ToString();
    return AsString();
}

qint64 TQJson::AsInt64() const
{
    switch (FDataType) {
    case jdtNull:
        return 0;
    case jdtString:
        return StringToInt64();
    case jdtInteger:
        return FInteger;
    case jdtFloat: {
        qint64 value = 0;
        if (!TruncToInt64(FFloat, value))
            RaiseConvert(u"Numeric");
        return value;
    }
    case jdtBcd: {
        const QString text = BcdText();
        const bool negative = text.startsWith(u'-');
        const QStringView unsignedText = QStringView(text).sliced(negative ? 1 : 0);
        const qsizetype point = unsignedText.indexOf(u'.');
        const std::optional<qint64> value
            = SignedInteger(point < 0 ? unsignedText : unsignedText.first(point), negative);
        if (!value)
            RaiseConvert(u"Numeric");
        return *value;
    }
    case jdtBoolean:
        return FBoolean ? 1 : 0;
    default:
        RaiseConvert(u"Numeric");
    }
}

int TQJson::AsInteger() const
{
    return static_cast<int>(static_cast<quint32>(static_cast<quint64>(AsInt64())));
}

double TQJson::AsFloat() const
{
    switch (FDataType) {
    case jdtNull:
        return 0;
    case jdtString:
        return StringToFloat();
    case jdtInteger:
        return double(FInteger);
    case jdtFloat:
        return FFloat;
    case jdtBcd: {
        double value = 0;
        if (!DecimalToDouble(BcdText(), value))
            RaiseConvert(u"Numeric");
        return value;
    }
    case jdtBoolean:
        return FBoolean ? 1 : 0;
    default:
        RaiseConvert(u"Numeric");
    }
}

bool TQJson::AsBoolean() const
{
    switch (FDataType) {
    case jdtString: {
        const QStringView text = FValue.View();
        if (text.compare(u"true", Qt::CaseInsensitive) == 0)
            return true;
        if (text.compare(u"false", Qt::CaseInsensitive) == 0)
            return false;
        TTextNumber number;
        if (!ReadTextNumber(text, number))
            RaiseConvert(u"Boolean");
        return number.FIsInteger ? number.FInteger != 0 : number.FFloat != 0;
    }
    case jdtInteger:
        return FInteger != 0;
    case jdtFloat:
        return FFloat != 0;
    case jdtBcd:
        for (const QChar c : FValue.View())
            if (c.unicode() >= u'1' && c.unicode() <= u'9')
                return true;
        return false;
    case jdtBoolean:
        return FBoolean;
    default:
        RaiseConvert(u"Boolean");
    }
}

void TQJson::SetAsString(const QString& AValue)
{
    SetDataType(jdtString);
    FValue.Own(AValue);
}

void TQJson::SetAsInteger(qint64 AValue)
{
    SetDataType(jdtInteger);
    FInteger = AValue;
}

void TQJson::SetAsFloat(double AValue)
{
    if (!std::isfinite(AValue))
        throw EQuenlarError(QStringLiteral("NaN/+∞/-∞不受JSON规范支持。"));
    SetDataType(jdtFloat);
    FValue.Reset();
    FFloat = AValue;
}

void TQJson::SetAsBoolean(bool AValue)
{
    SetDataType(jdtBoolean);
    FBoolean = AValue;
}

void TQJson::SetNull()
{
    SetDataType(jdtNull);
}

QString TQJson::Encode(bool ADoFormat, bool ADoEscape, const QString& AIndent) const
{
    QString out;
    EncodeTo(out, ADoFormat, ADoEscape, AIndent, 0, false);
    return out;
}

void TQJson::EncodeTo(
    QString& AOut, bool ADoFormat, bool ADoEscape, const QString& AIndent, int ALevel, bool AWithName) const
{
    if (AWithName) {
        if (ADoFormat)
            AppendIndent(AOut, AIndent, ALevel);
        AOut += u'"';
        AppendEscaped(AOut, FName.View(), ADoEscape);
        AOut += u"\":";
    }
    switch (FDataType) {
    case jdtString:
        AOut += u'"';
        AppendEscaped(AOut, FValue.View(), ADoEscape);
        AOut += u'"';
        break;
    case jdtInteger:
    case jdtFloat:
    case jdtBcd:
    case jdtBoolean:
        AOut += AsString();
        break;
    case jdtObject:
        if (FItems.empty()) {
            AOut += u"{}";
            break;
        }
        AOut += u'{';
        if (ADoFormat)
            AOut += u"\r\n";
        for (const TQJson* child : FItems) {
            child->EncodeTo(AOut, ADoFormat, ADoEscape, AIndent, ALevel + 1, true);
            AOut += ADoFormat ? QStringView(u",\r\n") : QStringView(u",");
        }
        AOut.chop(ADoFormat ? 3 : 1);
        if (ADoFormat) {
            AOut += u"\r\n";
            AppendIndent(AOut, AIndent, ALevel);
        }
        AOut += u'}';
        break;
    case jdtArray: {
        AOut += u'[';
        bool nested = false;
        for (const TQJson* child : FItems) {
            if (ADoFormat && child->IsContainer()) {
                nested = true;
                AOut += u"\r\n";
                AppendIndent(AOut, AIndent, ALevel + 1);
            }
            child->EncodeTo(AOut, ADoFormat, ADoEscape, AIndent, ALevel + 1, false);
            AOut += u',';
        }
        if (!FItems.empty())
            AOut.chop(1);
        if (nested) {
            AOut += u"\r\n";
            AppendIndent(AOut, AIndent, ALevel);
        }
        AOut += u']';
        break;
    }
    default:
        AOut += u"null";
        break;
    }
}
