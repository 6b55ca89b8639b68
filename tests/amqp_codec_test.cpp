#include "amqp/amqp_codec.h"
#include "amqp/basic_properties.h"
#include "amqp/frame_reader.h"
#include "amqp/frame_writer.h"

#include <QDateTime>
#include <QtEndian>

#include <gtest/gtest.h>

using namespace amqp;

namespace {

QByteArray hex(const char* text) { return QByteArray::fromHex(text); }

QByteArray shortstr(const QByteArray& s) { return char(s.size()) + s; }

QByteArray longstr(const QByteArray& s)
{
    char len[4];
    qToBigEndian<quint32>(quint32(s.size()), len);
    return QByteArray(len, 4) + s;
}

QByteArray frame(quint8 type, quint16 channel, const QByteArray& payload)
{
    char header[7];
    header[0] = char(type);
    qToBigEndian<quint16>(channel, header + 1);
    qToBigEndian<quint32>(quint32(payload.size()), header + 3);
    return QByteArray(header, 7) + payload + char(0xCE);
}

// Every frame the reader finds in the bytes; stops at an error.
QList<QPair<quint8, QByteArray>> frames(FrameReader& reader, QString* error = nullptr)
{
    QList<QPair<quint8, QByteArray>> out;
    FrameView f;
    QString e;
    FrameReader::Result r;
    while ((r = reader.next(f, &e)) == FrameReader::Frame)
        out.append(qMakePair(f.type, QByteArray(f.payload, f.size)));
    if (error)
        *error = r == FrameReader::Error ? e : QString();
    return out;
}

} // namespace

TEST(AmqpCodec, DecodesConnectionStartWithNestedTables)
{
    const QByteArray capabilities = shortstr("publisher_confirms") + 't' + char(1);
    const QByteArray table = shortstr("product") + 'S' + longstr("RabbitMQ") + shortstr("capabilities") + 'F'
                             + longstr(capabilities);
    const QByteArray payload = hex("000a000a") + char(0) + char(9) + longstr(table) + longstr("PLAIN AMQPLAIN")
                               + longstr("en_US");
    AmqpCodec codec;
    Method m;
    QString error;
    ASSERT_TRUE(codec.decodeMethod(payload.constData(), payload.size(), m, &error)) << error.toStdString();
    EXPECT_EQ(m.id, quint32(ConnectionStart));
    EXPECT_EQ(m.versionMinor, 9);
    EXPECT_EQ(m.mechanisms, QByteArray("PLAIN AMQPLAIN"));
    EXPECT_EQ(m.table.value(QStringLiteral("product")).toString(), QStringLiteral("RabbitMQ"));
    const QAmqpTable caps = m.table.value(QStringLiteral("capabilities")).value<QAmqpTable>();
    EXPECT_TRUE(caps.value(QStringLiteral("publisher_confirms")).toBool());
}

TEST(AmqpCodec, DecodesDeliverAndRefusesTruncatedOrUnknownMethods)
{
    const QByteArray deliver = hex("003c003c") + shortstr("ctag") + hex("0000000000000102") + char(1) + shortstr("ex")
                               + shortstr("rk");
    AmqpCodec codec;
    Method m;
    QString error;
    ASSERT_TRUE(codec.decodeMethod(deliver.constData(), deliver.size(), m, &error));
    EXPECT_EQ(m.deliveryTag, 258u);
    EXPECT_TRUE(m.redelivered);
    EXPECT_EQ(m.consumerTag, QStringLiteral("ctag"));
    EXPECT_EQ(m.exchange, QStringLiteral("ex"));
    EXPECT_EQ(m.routingKey, QStringLiteral("rk"));
    const QByteArray notRedelivered = QByteArray(deliver).replace(char(1) + shortstr("ex"), char(2) + shortstr("ex"));
    ASSERT_TRUE(codec.decodeMethod(notRedelivered.constData(), notRedelivered.size(), m, &error));
    EXPECT_FALSE(m.redelivered) << "only the lowest bit says redelivered";

    for (int cut = 0; cut < deliver.size(); ++cut) {
        EXPECT_FALSE(codec.decodeMethod(deliver.constData(), cut, m, &error)) << "cut at " << cut;
        EXPECT_FALSE(error.isEmpty());
    }
    const QByteArray unknown = hex("7777777700");
    EXPECT_FALSE(codec.decodeMethod(unknown.constData(), unknown.size(), m, &error));
}

TEST(AmqpCodec, EncodesPublishExactlyAndRefusesLongNames)
{
    AmqpCodec codec;
    Method m(BasicPublish);
    m.exchange = QStringLiteral("ex");
    m.routingKey = QStringLiteral("rk");
    m.mandatory = true;
    QByteArray out = "x";
    QString error;
    ASSERT_TRUE(codec.encodeMethod(m, out, &error)) << error.toStdString();
    EXPECT_EQ(out, "x" + hex("003c0028") + hex("0000") + shortstr("ex") + shortstr("rk") + char(1));

    m.routingKey = QString(256, QLatin1Char('k'));
    out.clear();
    EXPECT_FALSE(codec.encodeMethod(m, out, &error));
    EXPECT_TRUE(out.isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("255"))) << error.toStdString();
}

TEST(AmqpCodec, ContentPropertiesRoundTrip)
{
    AmqpCodec codec;
    QAmqpMessage::PropertyHash props;
    props.insert(QAmqpMessage::ContentType, QStringLiteral("application/octet-stream"));
    props.insert(QAmqpMessage::DeliveryMode, 2);
    QAmqpTable headers;
    headers.insert(QStringLiteral("n"), 42);
    headers.insert(QStringLiteral("s"), QStringLiteral("caf\u00e9"));
    headers.insert(QStringLiteral("b"), QByteArray("\x00\xff", 2));
    headers.insert(QStringLiteral("list"), QVariantList{1, QStringLiteral("two")});
    headers.insert(QStringLiteral("big"), QString(20000, QLatin1Char('x'))); // more than the first guess of room
    props.insert(QAmqpMessage::Headers, QVariant::fromValue(headers));
    QByteArray out;
    QString error;
    ASSERT_TRUE(codec.encodeContentHeader(BasicClass, 12345, props, out, &error)) << error.toStdString();

    ContentHeader header;
    ASSERT_TRUE(codec.decodeContentHeader(out.constData(), out.size(), header, &error)) << error.toStdString();
    EXPECT_EQ(header.bodySize, 12345u);
    EXPECT_EQ(header.properties, out.mid(12)); // kept as they came
    QAmqpMessage::PropertyHash decoded;
    ASSERT_TRUE(codec.decodeProperties(header.properties, decoded, &error)) << error.toStdString();
    EXPECT_EQ(decoded.value(QAmqpMessage::ContentType).toString(), QStringLiteral("application/octet-stream"));
    EXPECT_EQ(decoded.value(QAmqpMessage::DeliveryMode).toUInt(), 2u);
    const QAmqpTable back = decoded.value(QAmqpMessage::Headers).value<QAmqpTable>();
    EXPECT_EQ(back.value(QStringLiteral("n")).toInt(), 42);
    EXPECT_EQ(back.value(QStringLiteral("s")).toString(), QStringLiteral("caf\u00e9"));
    EXPECT_EQ(back.value(QStringLiteral("b")).toByteArray(), QByteArray("\x00\xff", 2));
    EXPECT_EQ(back.value(QStringLiteral("list")).toList().size(), 2);
    EXPECT_EQ(back.value(QStringLiteral("big")).toString().size(), 20000);
}

// What a publication carries of a delivery's properties, compared byte for
// byte with the codec's own encoding of the properties it should have.
TEST(BasicProperties, SelectKeepsWhatItIsAskedToInWireOrder)
{
    AmqpCodec codec;
    QAmqpTable nested;
    nested.insert(QStringLiteral("depth"), 2);
    QAmqpTable headers;
    headers.insert(QStringLiteral("traceparent"), QStringLiteral("00-0af7651916cd43dd8448eb211c80319c-b7ad6b7169203331-01"));
    headers.insert(QStringLiteral("nested"), QVariant::fromValue(nested));
    headers.insert(QStringLiteral("list"), QVariantList{1, QByteArray("\x00\xff", 2), true});
    QAmqpMessage::PropertyHash all;
    all.insert(QAmqpMessage::ContentType, QStringLiteral("application/json"));
    all.insert(QAmqpMessage::ContentEncoding, QStringLiteral("gzip"));
    all.insert(QAmqpMessage::Headers, QVariant::fromValue(headers));
    all.insert(QAmqpMessage::DeliveryMode, 2);
    all.insert(QAmqpMessage::Priority, 7);
    all.insert(QAmqpMessage::CorrelationId, QStringLiteral("c-1"));
    all.insert(QAmqpMessage::ReplyTo, QStringLiteral("replies"));
    all.insert(QAmqpMessage::Expiration, QStringLiteral("60000"));
    all.insert(QAmqpMessage::MessageId, QStringLiteral("m-1"));
    all.insert(QAmqpMessage::Timestamp, QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC));
    all.insert(QAmqpMessage::Type, QStringLiteral("reading"));
    all.insert(QAmqpMessage::UserId, QStringLiteral("producer"));
    all.insert(QAmqpMessage::AppId, QStringLiteral("meter"));
    all.insert(QAmqpMessage::ClusterID, QStringLiteral("c"));
    const auto list = [&](const QAmqpMessage::PropertyHash& props) {
        QByteArray out;
        QString error;
        EXPECT_TRUE(codec.encodeContentHeader(BasicClass, 0, props, out, &error)) << error.toStdString();
        return out.mid(12);
    };
    const auto without = [&](std::initializer_list<QAmqpMessage::Property> gone, const QString& contentType) {
        QAmqpMessage::PropertyHash props = all;
        for (QAmqpMessage::Property p : gone)
            props.remove(p);
        props.insert(QAmqpMessage::ContentType, contentType);
        return list(props);
    };
    const quint16 carried = quint16(~(QAmqpMessage::ContentType | QAmqpMessage::UserId));
    QAmqpMessage::PropertyHash persistent;
    persistent.insert(QAmqpMessage::DeliveryMode, 2);
    persistent.insert(QAmqpMessage::ContentType, QStringLiteral("text/plain"));
    struct Row {
        const char* what;
        QByteArray in;
        quint16 keep;
        QByteArray expected;
    };
    const Row rows[] = {
        {"every property but user_id, the content type replaced", list(all), carried,
         without({QAmqpMessage::UserId}, QStringLiteral("text/plain"))},
        {"only the delivery mode", list(all), quint16(QAmqpMessage::DeliveryMode), list(persistent)},
        {"no properties at all", QByteArray(2, '\0'), carried, basic_properties::withContentType("text/plain")},
        {"a field cut short", list(all).chopped(1), carried, QByteArray()},
        {"bytes behind the last field", list(all) + 'x', carried, QByteArray()},
        {"a second flag word announced", QByteArray("\x00\x01\x00\x00", 4), carried, QByteArray()},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(basic_properties::select(row.in, row.keep, "text/plain").toHex(), row.expected.toHex()) << row.what;
        EXPECT_EQ(basic_properties::wellFormed(row.in.constData(), row.in.size()), !row.expected.isEmpty()) << row.what;
    }
}

TEST(FrameReader, FindsFramesHoweverTheBytesArrive)
{
    const QByteArray stream = frame(1, 0, "abc") + frame(8, 0, "") + frame(3, 7, QByteArray(5000, 'z'));
    for (int step : {1, 7, 100, stream.size()}) {
        FrameReader reader;
        QList<QPair<quint8, QByteArray>> found;
        for (int at = 0; at < stream.size(); at += step) {
            reader.append(stream.constData() + at, qMin(step, stream.size() - at));
            found += frames(reader);
        }
        ASSERT_EQ(found.size(), 3) << "step " << step;
        EXPECT_EQ(found[0].second, QByteArray("abc"));
        EXPECT_EQ(found[1].first, 8);
        EXPECT_EQ(found[2].second.size(), 5000);
        EXPECT_EQ(reader.buffered(), 0);
    }
}

TEST(FrameReader, RejectsBadHeadersBeforeThePayloadArrives)
{
    QString error;
    {
        FrameReader reader;
        const QByteArray bad = frame(5, 0, "x");
        reader.append(bad.constData(), 7); // header only
        EXPECT_TRUE(frames(reader, &error).isEmpty());
        EXPECT_TRUE(error.contains(QStringLiteral("frame type 5"))) << error.toStdString();
    }
    {
        FrameReader reader;
        reader.setFrameMax(4096);
        char header[7] = {1, 0, 0};
        qToBigEndian<quint32>(4096 - 7, header + 3); // one byte over frame_max - 8
        reader.append(header, 7);
        EXPECT_TRUE(frames(reader, &error).isEmpty());
        EXPECT_TRUE(error.contains(QStringLiteral("exceeds frame_max"))) << error.toStdString();
    }
    {
        FrameReader reader;
        QByteArray bad = frame(1, 0, "abc");
        bad[bad.size() - 1] = 'x';
        reader.append(bad.constData(), bad.size());
        EXPECT_TRUE(frames(reader, &error).isEmpty());
        EXPECT_TRUE(error.contains(QStringLiteral("end octet"))) << error.toStdString();
    }
}

TEST(FrameWriter, SplitsBodiesAtFrameMaxMinusEight)
{
    AmqpCodec codec;
    struct Row {
        int body;
        int bodyFrames;
    };
    const int max = 4096;
    for (const Row& row : {Row{0, 0}, Row{1, 1}, Row{max - 8, 1}, Row{max - 7, 2}, Row{3 * (max - 8), 3}}) {
        FrameWriter writer(codec);
        writer.setFrameMax(max);
        Method publish(BasicPublish);
        publish.routingKey = QStringLiteral("k");
        QString error;
        const QByteArray body(row.body, 'b');
        ASSERT_TRUE(writer.content(1, publish, body, {}, &error)) << error.toStdString();

        FrameReader reader;
        reader.setFrameMax(max);
        reader.append(writer.pending().constData(), writer.pending().size());
        const auto found = frames(reader, &error);
        ASSERT_TRUE(error.isEmpty()) << error.toStdString();
        ASSERT_EQ(found.size(), 2 + row.bodyFrames) << "body " << row.body;
        EXPECT_EQ(found[0].first, FrameMethod);
        EXPECT_EQ(found[1].first, FrameHeader);
        QByteArray joined;
        for (int i = 2; i < found.size(); ++i) {
            EXPECT_EQ(found[i].first, FrameBody);
            EXPECT_LE(found[i].second.size(), max - 8);
            joined += found[i].second;
        }
        EXPECT_EQ(joined, body);
    }
}

TEST(FrameWriter, RefusesAHeaderFrameThatWouldExceedFrameMax)
{
    // Properties sized so that the header frame is exactly frame_max, then one byte more.
    AmqpCodec codec;
    Method publish(BasicPublish);
    QString error;
    for (int extra : {0, 1}) {
        FrameWriter writer(codec);
        writer.setFrameMax(4096);
        QAmqpMessage::PropertyHash props;
        QAmqpTable headers;
        // frame: 7 header + 12 fixed + 2 flags + 4 table length + 1+1 key + 1 type + 4 string length + text + 1 end
        headers.insert(QStringLiteral("h"), QString(4096 - 33 + extra, QLatin1Char('x')));
        props.insert(QAmqpMessage::Headers, QVariant::fromValue(headers));
        const bool ok = writer.content(1, publish, "body", props, &error);
        EXPECT_EQ(ok, extra == 0) << "extra " << extra << ": " << error.toStdString();
        FrameReader reader;
        reader.setFrameMax(4096);
        reader.append(writer.pending().constData(), writer.pending().size());
        FrameView f;
        while (reader.next(f, &error) == FrameReader::Frame) {
        }
        EXPECT_EQ(reader.buffered(), 0) << "every frame written fits the reader's frame_max";
    }
}

TEST(FrameWriter, PublishWritesTheBytesOfTheGeneralEncoder)
{
    // The direct encoding of a publication against rabbitmq-c's, byte for byte.
    AmqpCodec codec;
    struct Row {
        QString exchange, key, contentType;
        int options;
        int body;
    };
    const QString u = QStringLiteral("\u00e9\u4e2d");
    const Row rows[] = {{QString(), QStringLiteral("in"), QStringLiteral("text/plain"), 0, 300},
                        {QStringLiteral("out"), QStringLiteral("shard.7"), QStringLiteral("application/octet-stream"), 1, 0},
                        {QStringLiteral("out") + u, QString(), QString(), 2, 4096 - 8},
                        {QStringLiteral("x"), QString(85, u[1]), QStringLiteral("a"), 3, 3 * 4096}};
    for (const Row& row : rows) {
        const QByteArray body(row.body, 'b');
        FrameWriter general(codec), direct(codec);
        general.setFrameMax(4096);
        direct.setFrameMax(4096);
        Method publish(BasicPublish);
        publish.exchange = row.exchange;
        publish.routingKey = row.key;
        publish.mandatory = row.options & 1;
        publish.immediate = row.options & 2;
        QAmqpMessage::PropertyHash properties;
        if (!row.contentType.isEmpty())
            properties.insert(QAmqpMessage::ContentType, row.contentType);
        QString error;
        ASSERT_TRUE(general.content(1, publish, body, properties, &error)) << error.toStdString();
        ASSERT_TRUE(direct.publish(1, row.exchange.toUtf8(), row.key.toUtf8(), row.options & 1, row.options & 2,
                                   basic_properties::withContentType(row.contentType.toUtf8()), body, &error))
            << error.toStdString();
        EXPECT_EQ(direct.pending().toHex(), general.pending().toHex()) << row.key.toStdString();
    }
    FrameWriter writer(codec);
    QString error;
    EXPECT_FALSE(writer.publish(1, "out", QByteArray(256, 'k'), false, false, basic_properties::withContentType("a"),
                                "b", &error));
    EXPECT_TRUE(writer.isEmpty());
}
