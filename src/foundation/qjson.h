#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <memory>
#include <vector>

enum TQJsonDataType { jdtUnknown, jdtNull, jdtString, jdtInteger, jdtFloat, jdtBcd, jdtBoolean, jdtArray, jdtObject };

enum TQJsonCommentStyle { jcsInherited, jcsBeforeName, jcsAfterValue };

class TQJsonStore;
class TQJsonParser;

// A JSON document held as a tree of nodes. The object you create is the root; it owns every node below it, and
// the pointers handed out by ItemByPath/Items/Add stay valid until that node is removed or the root is destroyed.
// A document is used by one thread at a time.
class TQJson {
public:
    TQJson();
    ~TQJson();
    TQJson(const TQJson&) = delete;
    TQJson& operator=(const TQJson&) = delete;

    // Lenient parse into this node (comments, single quotes, unquoted names, trailing commas). Never throws:
    // false on any error, nodes parsed before the error stay in the tree. Nesting deeper than MaxDepth fails.
    bool TryParse(QStringView AText);
    // Shares the text's buffer instead of copying it while the root holds the tree; a node below the root copies
    // the names and texts it keeps instead, so parsing it again and again holds nothing more.
    bool TryParse(const QString& AText);
    bool TryParse(const QByteArray& AUtf8);
    static constexpr int MaxDepth = 1000;

    // Segments split at '.', '/' and '\'; "name[i]" or "[i]" selects by position. Nil when any step fails.
    TQJson* ItemByPath(QStringView APath) const;
    TQJson* ItemByName(QStringView AName) const; // first member of that name (case-sensitive), or nil
    int IndexOf(QStringView AName) const; // -1 when absent
    // The member's text (AsString), empty when it is absent: the one reading of an optional member. Untrimmed;
    // ids are compared after Trim.
    QString MemberText(QStringView AName) const;

    int Count() const { return static_cast<int>(FItems.size()); }
    TQJson* Items(int AIndex) const; // raises EQuenlarError outside 0 .. Count() - 1

    QString Name() const { return FName.ToString(); }
    QStringView NameView() const { return FName.View(); } // valid while the node is unchanged
    TQJsonDataType DataType() const { return FDataType; }
    void SetDataType(TQJsonDataType AType); // drops the old value, and the children of a container
    TQJson* Parent() const { return FParent; }
    bool IsNull() const { return FDataType == jdtNull || FDataType == jdtUnknown; }
    bool IsArray() const { return FDataType == jdtArray; }
    bool IsObject() const { return FDataType == jdtObject; }
    bool IsContainer() const { return FDataType == jdtArray || FDataType == jdtObject; }
    QString Comment() const { return FComment; }
    TQJsonCommentStyle CommentStyle() const { return FCommentStyle; }

    // Getters raise EQuenlarError("<type> 不是一个有效的 Numeric|Boolean 类型的值。") on a value they cannot convert.
    QString AsString() const;
    int AsInteger() const; // AsInt64 truncated to 32 bits
    qint64 AsInt64() const;
    double AsFloat() const;
    bool AsBoolean() const;
    // A number node's value as decimal text without rounding for a parsed float (the text as written);
    // AsString for every other node.
    QString NumberText() const;

    void SetAsString(const QString& AValue);
    void SetAsInteger(qint64 AValue);
    void SetAsFloat(double AValue); // raises for NaN and infinities
    void SetAsBoolean(bool AValue);
    void SetNull();

    // Appends a child named AName (names are not checked for duplicates); a scalar node becomes an object first.
    TQJson* Add(const QString& AName);
    void Clear(); // removes every child
    void Delete(int AIndex); // removes one child and its subtree; raises outside 0 .. Count() - 1

    QString Encode(bool ADoFormat, bool ADoEscape, const QString& AIndent = QStringLiteral("  ")) const;

    static QString TypeName(TQJsonDataType AType);

private:
    friend class TQJsonStore;
    friend class TQJsonParser;

    // A text that either points into a parsed source kept alive by the store, or owns its characters. Parsing
    // fills most names and values without allocating; the getters copy.
    struct TText {
        const QChar* FData = nullptr;
        qsizetype FSize = 0;
        QString FOwned;

        QStringView View() const { return QStringView(FData, FSize); }
        void Refer(const QChar* AData, qsizetype ASize)
        {
            if (!FOwned.isNull())
                FOwned = QString();
            FData = AData;
            FSize = ASize;
        }
        void Own(QString AValue);
        QString ToString() const;
        void Reset();
    };

    TQJson(TQJsonStore* AStore, TQJson* AParent);
    TQJsonStore* Store();
    TQJson* NewChild();
    void ResetValue();
    void ReleaseChildren();
    void OwnTextsIn(QStringView ASource);
    quint32 NameHash() const;
    QString BcdText() const;
    qint64 StringToInt64() const;
    double StringToFloat() const;
    [[noreturn]] void RaiseConvert(const char16_t* ATarget) const;
    void EncodeTo(
        QString& AOut, bool ADoFormat, bool ADoEscape, const QString& AIndent, int ALevel, bool AWithName) const;

    TText FName;
    TText FValue; // jdtString: the text; jdtBcd and parsed jdtFloat: the number's text as written
    union {
        qint64 FInteger;
        double FFloat;
        bool FBoolean;
    };
    std::vector<TQJson*> FItems; // children, owned through the store
    TQJson* FParent = nullptr;
    TQJsonStore* FStore = nullptr;
    std::unique_ptr<TQJsonStore> FOwnStore; // set on the root only
    QString FComment;
    mutable quint32 FNameHash = 0;
    TQJsonDataType FDataType = jdtUnknown;
    TQJsonCommentStyle FCommentStyle = jcsInherited;
};
