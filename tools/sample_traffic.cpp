#include "sample_traffic.h"

#include "complex_message.pb.h"

#include <QDateTime>

namespace {

QByteArray serialized(const binary_struct::ComplexMessage& m)
{
    const std::string s = m.SerializeAsString();
    return QByteArray(s.data(), int(s.size()));
}

} // namespace

QByteArray jsonBody(qint32 modemId, int sequence)
{
    return QStringLiteral(R"({"modem_id":%1,"seq":%2,"rssi":-%3,"payload":"%4"})")
        .arg(modemId)
        .arg(sequence)
        .arg(70 + sequence % 30)
        .arg(QString::number(quint32(modemId) * 2654435761u + quint32(sequence), 16))
        .toUtf8();
}

binary_struct::ComplexMessage uplinkMessage(qint32 modemId, qint32 rssi, double timeDetected)
{
    binary_struct::ComplexMessage m;
    m.set_type(binary_struct::MsgPl);
    binary_struct::Payload* p = m.mutable_payload();
    p->set_version(1);
    p->set_msg_type("uplink");
    p->set_bs_id(17);
    p->set_modem_id(modemId);
    p->set_signal_rssi(rssi);
    p->set_time_detected(timeDetected);
    return m;
}

QByteArray payloadBody(qint32 modemId, int sequence)
{
    binary_struct::ComplexMessage m =
        uplinkMessage(modemId, -80 - sequence % 20, double(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
    m.mutable_payload()->set_payload(QByteArray::number(sequence * 31 + modemId, 16).toStdString());
    return serialized(m);
}

QByteArray heartbeatBody(qint32 baseStation)
{
    binary_struct::ComplexMessage m;
    m.set_type(binary_struct::MsgHb);
    binary_struct::HeartBeat* h = m.mutable_heartbeat();
    h->set_version(1);
    h->set_msg_type("heartbeat");
    h->set_bs_id(baseStation);
    h->mutable_latitude()->set_value(59.33);
    h->mutable_longitude()->set_value(18.06);
    h->set_temperature(41);
    return serialized(m);
}

QList<SampleBody> sampleMix(int devices)
{
    QList<SampleBody> out;
    for (int d = 0; d < devices; ++d) {
        const qint32 modem = 1000 + d * 7;
        out.append({jsonBody(modem, d), QStringLiteral("JSON, device %1").arg(modem)});
        out.append({payloadBody(modem, d), QStringLiteral("protobuf payload, device %1").arg(modem)});
    }
    out.append({heartbeatBody(17), QStringLiteral("protobuf heartbeat (no device: every shard)")});
    out.append({QByteArray(R"({"event":"gateway restart"})"), QStringLiteral("JSON without modem_id (every shard)")});
    out.append({QByteArray("\xff\x01garbage", 9), QStringLiteral("unparsable (dropped with an Error line)")});
    return out;
}

QString describeBody(const QByteArray& body, const QString& contentType)
{
    if (contentType == QLatin1String("text/plain"))
        return QString::fromUtf8(body.left(100));
    binary_struct::ComplexMessage m;
    if (!m.ParseFromArray(body.constData(), body.size()))
        return QStringLiteral("%1 bytes, not a ComplexMessage").arg(body.size());
    if (m.has_payload())
        return QStringLiteral("protobuf payload, modem_id %1, %2 bytes").arg(m.payload().modem_id()).arg(body.size());
    if (m.has_heartbeat())
        return QStringLiteral("protobuf heartbeat, base station %1, %2 bytes").arg(m.heartbeat().bs_id()).arg(body.size());
    return QStringLiteral("empty protobuf envelope");
}
