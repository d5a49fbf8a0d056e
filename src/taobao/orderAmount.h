#pragma once

#include <QString>
#include <QtGlobal>

class TQJson;

// The gateway writes "" or "--" where it has no amount yet: read like a missing amount.
bool IsAmountPlaceholder(const TQJson& AAmount);

// An amount node of an order page in fen: numbers and number texts exactly as DecimalTextToFen, hexadecimal texts
// ("0x10") as whole units, null and the placeholders as 0. Raises EQuenlarError for any other node (true, a word, an
// array) and for a value that does not fit 64 bits.
qint64 AmountToFen(const TQJson& AAmount);

// A refund record's amount as a floating-point value: 0 when absent or a placeholder; raises EQuenlarError for a
// node that is not a number.
double AmountValue(const TQJson* AAmount);

// The error line of a record lost to an unreadable amount, inside the catch of the error that says why: AWhat names
// the record's kind (and account), the ids name the record.
void LogUnreadableAmount(const QString& AWhat, const QString& AParentId, const QString& AChildId);
