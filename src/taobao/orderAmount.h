#pragma once

#include <QtGlobal>

class TQJson;

// An amount node of an order page in fen: numbers and number texts exactly as DecimalTextToFen, hexadecimal texts
// ("0x10") as whole units, null as 0. Raises EQuenlarError for any other node (true, a word, an array) and for a
// value that does not fit 64 bits.
qint64 AmountToFen(const TQJson& AAmount);
