#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Message bodies as the devices and base stations send them, for the demo,
// load tests and benchmarks.
struct SampleBody {
    QByteArray body;
    QString what; // a short description, for printing
};

QByteArray jsonBody(qint32 modemId, int sequence);
QByteArray payloadBody(qint32 modemId, int sequence);
QByteArray heartbeatBody(qint32 baseStation);

// The demo mix: a JSON body and a protobuf payload for each of `devices`
// devices, a heartbeat, a JSON body that names no device, and a body that
// is neither JSON nor protobuf.
QList<SampleBody> sampleMix(int devices);

// What a body is, in one line: the JSON text, or the decoded envelope.
QString describeBody(const QByteArray& body, const QString& contentType);
