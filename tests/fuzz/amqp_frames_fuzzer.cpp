// libFuzzer target for what the broker sends once a connection is up. Each
// input is a run of bytes from the broker after a complete handshake, with a
// consuming queue open on channel 1 and an exchange in confirm mode (three
// publishes awaiting their confirms) on channel 2. The input arrives in reads
// whose sizes its hash picks, as TCP may cut it; for some inputs the client's
// writes start failing partway, as on a reset connection. Slots answer
// deliveries and other signals as an application may (forward, ack, nack, a
// nested event loop, disconnect, delete the client, publish a large message,
// publish again on confirms). Whatever the bytes, the client must not crash,
// hang, leak, or write anything but whole frames, and nothing but close-ok or
// heartbeats after its own connection.close.
#include "amqp/frame_reader.h"
#include "amqp/qamqpclient.h"
#include "amqp/qamqpexchange.h"
#include "amqp/qamqpqueue.h"
#include "fake_broker_device.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QPointer>
#include <QtEndian>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr quint32 TunedFrameMax = 4096; // the smallest allowed: frame limits are reached early
constexpr int MaxEventRounds = 1000;    // far above what any input legitimately needs
constexpr int PublishesBeforeInput = 3;
constexpr int MaxRepublishes = 8;       // publishes made from confirmed()/failed() slots
constexpr int LargeBodySize = 5 << 20;  // more than the client buffers before writing at once
constexpr int MaxLargePublishes = 2;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "amqp_frames_fuzzer: %s\n", what);
    std::abort();
}

QByteArray u16(quint16 v)
{
    char b[2];
    qToBigEndian(v, b);
    return QByteArray(b, 2);
}

QByteArray u32(quint32 v)
{
    char b[4];
    qToBigEndian(v, b);
    return QByteArray(b, 4);
}

QByteArray shortString(const QByteArray& s) { return char(s.size()) + s; }
QByteArray longString(const QByteArray& s) { return u32(quint32(s.size())) + s; }

QByteArray methodFrame(quint16 channel, quint16 classId, quint16 methodId, const QByteArray& arguments)
{
    const QByteArray payload = u16(classId) + u16(methodId) + arguments;
    return char(amqp::FrameMethod) + u16(channel) + u32(quint32(payload.size())) + payload + char(amqp::FrameEnd);
}

// connection.start (0-9, PLAIN offered), connection.tune, connection.open-ok.
QByteArray serverHandshake()
{
    const QByteArray start = QByteArray("\x00\x09", 2) + u32(0) /* no server properties */
                             + longString("AMQPLAIN PLAIN") + longString("en_US");
    const QByteArray tune = u16(2047) + u32(TunedFrameMax) + u16(0);
    return methodFrame(0, 10, 10, start) + methodFrame(0, 10, 30, tune) + methodFrame(0, 10, 41, shortString(""));
}

QByteArray channelOpenOk(quint16 channel) { return methodFrame(channel, 20, 11, longString("")); }

// Runs the event loop until nothing is posted, deferred deletes included, as
// the service's own loop would between two reads from the socket.
void drainEvents()
{
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    for (int round = 0; dispatcher->hasPendingEvents(); ++round) {
        if (round == MaxEventRounds)
            fail("events are still being posted after 1000 rounds");
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// How one input is delivered and answered, fixed by its hash (FNV-1a, then
// mixed so that every bit depends on every byte) so that a crash reproduces.
struct Plan {
    int firstRead;  // bytes fed at once; the rest follows from the event loop
    int laterReads; // in reads of this many bytes
    bool hangUp;    // the broker closes its side after the input
    int deleteOn;   // which signal makes the application delete the client (0: none)
    int writeLimit; // bytes the client may still write once set up before writes fail (-1: no limit)
};

Plan planFor(const uint8_t* data, size_t size)
{
    quint64 h = 14695981039346656037ull;
    for (size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 1099511628211ull;
    h = (h ^ (h >> 33)) * 0xff51afd7ed558ccdull;
    h = (h ^ (h >> 33)) * 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    Plan plan;
    plan.firstRead = int(h % (size + 1));
    plan.laterReads = 1 + int((h >> 33) % 2048);
    plan.hangUp = ((h >> 32) & 1) != 0;
    plan.deleteOn = int((h >> 48) % 8);
    plan.writeLimit = (h >> 51) % 4 == 0 ? int((h >> 53) % 1024) : -1; // one input in four
    return plan;
}

// How many publishes the slots below made, to keep each input's work bounded.
struct Budget {
    int republishes = 0;
    int largePublishes = 0;
};

// Slots that do what an application may do from them: forward and settle
// deliveries, run a nested event loop, disconnect, delete the client, publish
// a large message, publish again on confirms.
void actAsApplication(std::unique_ptr<QAmqpClient>& client, QAmqpQueue* queue, QAmqpExchange* exchange,
                      int deleteOn, Budget& budget)
{
    // The first body byte picks the answer to a delivery; by default it is
    // forwarded to the exchange, properties included, and acknowledged.
    QObject::connect(queue, &QAmqpQueue::messageReceived, queue, [queue, exchange, &client, &budget] {
        const QPointer<QAmqpQueue> alive(queue);
        while (alive && !queue->isEmpty()) {
            const QAmqpMessage message = queue->dequeue();
            switch (message.payload().isEmpty() ? '\0' : message.payload().at(0)) {
            case '!': client.reset(); return; // deletes the queue too
            case '~': client->disconnectFromHost(); break;
            case '?': QCoreApplication::processEvents(); break; // a nested event loop
            case '-': queue->nack(message.deliveryTag(), false, true); break;
            case '*':
                if (budget.largePublishes++ < MaxLargePublishes)
                    exchange->publish(QByteArray(LargeBodySize, '*'), QStringLiteral("large"), QString());
                break;
            default:
                exchange->publish(message.payload(), message.routingKey(), QString(), message.properties());
                queue->ack(message.deliveryTag(), false);
                break;
            }
        }
    });
    // Publishing from a confirm slot is allowed; it runs while settle() is on the stack.
    auto republish = [exchange, &budget] {
        if (budget.republishes++ < MaxRepublishes)
            exchange->publish(QByteArray("again"), QStringLiteral("key"), QString());
    };
    QObject::connect(exchange, &QAmqpExchange::confirmed, exchange, republish);
    QObject::connect(exchange, &QAmqpExchange::failed, exchange, republish);

    auto deleteClientOn = [&client, deleteOn](int signal) {
        return [&client, deleteOn, signal] {
            if (deleteOn == signal)
                client.reset();
        };
    };
    // Where an application would log the reason of a lost connection.
    QObject::connect(client.get(), &QAmqpClient::disconnected, client.get(), [&client] {
        const QAmqpError e = client->error();
        if (e.isError() && e.text.isEmpty())
            fail("a connection ended with an error but no reason");
    });
    QObject::connect(client.get(), &QAmqpClient::disconnected, client.get(), deleteClientOn(1));
    QObject::connect(client.get(), &QAmqpClient::blocked, client.get(), deleteClientOn(2));
    QObject::connect(queue, &QAmqpChannel::error, queue, deleteClientOn(3));
    QObject::connect(queue, &QAmqpChannel::closed, queue, deleteClientOn(4));
    QObject::connect(queue, &QAmqpQueue::consumerCancelled, queue, deleteClientOn(5));
    QObject::connect(exchange, &QAmqpChannel::error, exchange, deleteClientOn(6));
    QObject::connect(exchange, &QAmqpExchange::failed, exchange, deleteClientOn(7));
}

bool isMethod(const amqp::FrameView& frame, quint32 id)
{
    return frame.type == amqp::FrameMethod && frame.size >= 4 && qFromBigEndian<quint32>(frame.payload) == id;
}

// Everything the client wrote: the protocol header, then whole frames within
// frame_max; after its connection.close only close-ok and heartbeats.
void checkClientOutput(const QByteArray& out)
{
    const QByteArray header("AMQP\x00\x00\x09\x01", 8);
    if (!out.startsWith(header))
        fail("the client did not start with the protocol header");
    amqp::FrameReader reader;
    reader.setFrameMax(TunedFrameMax);
    reader.append(out.constData() + header.size(), out.size() - header.size());
    bool closeSent = false;
    for (;;) {
        amqp::FrameView frame;
        QString error;
        const amqp::FrameReader::Result r = reader.next(frame, &error);
        if (r == amqp::FrameReader::NeedMore)
            break;
        if (r == amqp::FrameReader::Error)
            fail(qPrintable(QStringLiteral("the client wrote a bad frame: %1").arg(error)));
        if (closeSent && frame.type != amqp::FrameHeartbeat && !isMethod(frame, amqp::ConnectionCloseOk))
            fail("the client wrote a frame after its connection.close");
        if (isMethod(frame, amqp::ConnectionClose))
            closeSent = true;
    }
    if (reader.buffered() != 0)
        fail("the client wrote an incomplete frame");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static int argc = 1;
    static char name[] = "amqp_frames_fuzzer";
    static char* argv[] = {name, nullptr};
    qputenv("QT_NO_GLIB", "1"); // the plain dispatcher: posted events only, no glib sources
    static QCoreApplication app(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Plan plan = planFor(data, size);
    const QByteArray input(reinterpret_cast<const char*>(data), int(size));

    FakeBrokerDevice device; // outlives the client, which does not own it
    auto client = std::make_unique<QAmqpClient>();
    client->setConnectionName(QStringLiteral("fuzz"));
    client->connectToDevice(&device);

    QAmqpQueue* queue = client->createQueue(QStringLiteral("q"));
    queue->declare();
    queue->consume();
    QAmqpExchange* exchange = client->createExchange(QStringLiteral("x"));
    exchange->enableConfirms();
    for (int i = 0; i < PublishesBeforeInput; ++i)
        exchange->publish(QByteArray("body"), QStringLiteral("key"), QStringLiteral("text/plain"));
    Budget budget;
    actAsApplication(client, queue, exchange, plan.deleteOn, budget);

    device.feed(serverHandshake());
    drainEvents();
    device.feed(channelOpenOk(1) + channelOpenOk(2));
    drainEvents();
    if (!client || !client->isConnected() || !queue->isOpen() || !exchange->isOpen())
        fail("the handshake did not bring the connection and both channels up");
    if (plan.writeLimit >= 0)
        device.failWritesAfter(plan.writeLimit);

    device.feed(input.left(plan.firstRead));
    // The rest arrives from the event loop, so possibly inside a slot's nested loop.
    for (int at = plan.firstRead; at < input.size(); at += plan.laterReads) {
        const QByteArray read = input.mid(at, plan.laterReads);
        QMetaObject::invokeMethod(&device, [&device, read] { device.feed(read); }, Qt::QueuedConnection);
    }
    drainEvents();
    if (plan.hangUp) {
        device.finishReading();
        drainEvents();
    }
    client.reset();
    drainEvents();
    checkClientOutput(device.written());
    return 0;
}
