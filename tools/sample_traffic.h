#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace binary_struct {
class ComplexMessage;
}

// Message bodies as the devices and base stations send them, for the demo,
// load tests and benchmarks.
struct SampleBody {
    QByteArray body;
    QString what; // a short description, for printing
};

// An uplink as a device sends it through base station 17: a ComplexMessage of
// type MsgPl whose payload names the device, its signal strength and when the
// station heard it. The payload's data and further fields are the caller's.
binary_struct::ComplexMessage uplinkMessage(qint32 modemId, qint32 rssi, double timeDetected);

QByteArray jsonBody(qint32 modemId, int sequence);
QByteArray payloadBody(qint32 modemId, int sequence);
QByteArray heartbeatBody(qint32 baseStation);

// The demo mix: a JSON body and a protobuf payload for each of `devices`
// devices, a heartbeat, a JSON body that names no device, and a body that
// is neither JSON nor protobuf.
QList<SampleBody> sampleMix(int devices);

// What a body is, in one line: the JSON text, or the decoded envelope.
QString describeBody(const QByteArray& body, const QString& contentType);
