#pragma once

#include <QString>
#include <QVariant>
#include <QVariantHash>

// An AMQP field table: string keys to values. On the wire a QString becomes a
// long string, a QByteArray a byte array, int/qlonglong/bool/double their AMQP
// types, a nested QAmqpTable or QVariantHash a table and a QVariantList an array.
class QAmqpTable : public QVariantHash {
public:
    QAmqpTable() = default;
    QAmqpTable(const QVariantHash& other) : QVariantHash(other) {}
};

Q_DECLARE_METATYPE(QAmqpTable)
