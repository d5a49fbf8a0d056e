#pragma once

#include "foundation/decimaltext.h"

#include <QStringView>

#include <algorithm>

// What the two node trees (TQJson, TQMsgPack) share: the name hash and the path syntax.

// FNV-1a over the code units; 0 is kept for "not computed yet".
inline quint32 NodeNameHash(QStringView AName)
{
    quint32 hash = 2166136261u;
    for (const QChar c : AName)
        hash = (hash ^ c.unicode()) * 16777619u;
    return hash == 0 ? 1 : hash;
}

// Walks a path from ANode: segments split at '.', '/' and '\', empty ones skipped; "name[i]" or "[i]" (several
// indices allowed) selects by position. AByName(node, name) and AByIndex(node, index) answer the step's node or
// nil. Nil when a step fails, an index is not plain digits, or the path has no segment.
template <class TNode, class TByName, class TByIndex>
TNode* WalkNodePath(TNode* ANode, QStringView APath, TByName AByName, TByIndex AByIndex)
{
    constexpr qint64 kNoIndex = qint64(1) << 31; // past any node's count
    bool stepped = false;
    qsizetype pos = 0;
    while (pos < APath.size()) {
        qsizetype end = pos;
        while (end < APath.size() && APath[end] != u'.' && APath[end] != u'/' && APath[end] != u'\\')
            ++end;
        const QStringView segment = APath.sliced(pos, end - pos);
        pos = end + 1;
        if (segment.isEmpty())
            continue;
        stepped = true;
        qsizetype bracket = segment.indexOf(u'[');
        if (bracket < 0)
            bracket = segment.size();
        if (bracket > 0 && (ANode = AByName(ANode, segment.first(bracket))) == nullptr)
            return nullptr;
        while (bracket < segment.size()) {
            const qsizetype close = segment.indexOf(u']', bracket);
            if (segment[bracket] != u'[' || close < 0)
                return nullptr;
            const QStringView digits = segment.sliced(bracket + 1, close - bracket - 1);
            const std::optional<quint64> index = digits.size() > 10 ? std::nullopt : DigitsValue(digits, 10);
            if (!index || (ANode = AByIndex(ANode, std::min(qint64(*index), kNoIndex))) == nullptr)
                return nullptr;
            bracket = close + 1;
        }
    }
    return stepped ? ANode : nullptr;
}
