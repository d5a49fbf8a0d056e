#pragma once

#include "standin/demodata.h"

#include <QJsonArray>
#include <QJsonObject>

#include <string>

// How the TOP gateway writes its replies, and the order and refund records in them.

// Compact JSON with every '/' written "\/", as the gateway writes it.
std::string TopGatewayJson(const QJsonObject& AReply);
// TOP's JSON form of a list: the items under their type's name inside an object; an empty object for none.
QJsonObject TopList(const char* AItemName, const QJsonArray& AItems);
// An order record with the fields, placeholders and nesting of the live gateway's.
QJsonObject TopOrderRecord(const TDemoOrder& AOrder, int AShown, qint64 ANow, const TDemoAccount& AAccount);
// A refund record as the refund method's documentation gives it.
QJsonObject TopRefundRecord(const TDemoRefund& ARefund, qint64 ANow);
