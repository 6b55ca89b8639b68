#include "amqp_codec.h"

#include "basic_properties.h"

#include <amqp.h>
#include <amqp_framing.h>

#include <QDateTime>
#include <QtEndian>

#include <cstring>

namespace amqp {

namespace {

constexpr size_t PoolPageSize = 16384;
constexpr int MethodIdSize = 4;
constexpr int HeaderPrefixSize = 12; // class id, weight, body size
constexpr int MaxEncodeSize = 64 << 20;
constexpr int MaxTableDepth = 32; // nested tables and arrays from the peer

QString text(const amqp_bytes_t& b)
{
    return QString::fromUtf8(static_cast<const char*>(b.bytes), int(b.len));
}

QByteArray raw(const amqp_bytes_t& b)
{
    return QByteArray(static_cast<const char*>(b.bytes), int(b.len));
}

// The last text decoded for one field, with the bytes it came from: a field
// such as a consumer tag or an exchange name repeats from one delivery to the
// next, and then costs a comparison instead of a conversion and an allocation.
class RecentText {
public:
    const QString& decode(const char* data, int size)
    {
        if (size != m_raw.size() || std::memcmp(data, m_raw.constData(), size_t(size)) != 0) {
            m_raw = QByteArray(data, size);
            m_text = QString::fromUtf8(data, size);
        }
        return m_text;
    }

private:
    QByteArray m_raw;
    QString m_text;
};

// Reads the arguments of a method in order; false once one runs past the end.
class ArgumentReader {
public:
    ArgumentReader(const char* data, int size) : m_at(data), m_end(data + size) {}
    bool shortString(QString& out, RecentText& recent)
    {
        if (m_end - m_at < 1 || m_end - m_at - 1 < quint8(*m_at))
            return false;
        const int size = quint8(*m_at++);
        out = recent.decode(m_at, size);
        m_at += size;
        return true;
    }
    bool longLong(quint64& out)
    {
        if (m_end - m_at < 8)
            return false;
        out = qFromBigEndian<quint64>(m_at);
        m_at += 8;
        return true;
    }
    bool octet(quint8& out)
    {
        if (m_end - m_at < 1)
            return false;
        out = quint8(*m_at++);
        return true;
    }

private:
    const char* m_at;
    const char* m_end;
};

// basic.deliver, the method of every delivery, read directly rather than
// through rabbitmq-c's pool.
struct RecentDeliverTexts {
    RecentText consumerTag;
    RecentText exchange;
    RecentText routingKey;
};

bool decode_deliver(const char* data, int size, Method& out, RecentDeliverTexts& recent)
{
    ArgumentReader r(data, size);
    quint8 bits = 0;
    if (!r.shortString(out.consumerTag, recent.consumerTag) || !r.longLong(out.deliveryTag) || !r.octet(bits)
        || !r.shortString(out.exchange, recent.exchange) || !r.shortString(out.routingKey, recent.routingKey))
        return false;
    out.redelivered = bits & 1;
    return true;
}

// Decoded field tables become QVariant values; encoded ones are built in the pool.
class TableConverter {
public:
    explicit TableConverter(amqp_pool_t* pool) : m_pool(pool) {}

    QAmqpTable toTable(const amqp_table_t& table, int depth = 0) const
    {
        QAmqpTable out;
        for (int i = 0; i < table.num_entries; ++i)
            out.insert(text(table.entries[i].key), toVariant(table.entries[i].value, depth + 1));
        return out;
    }

    QVariant toVariant(const amqp_field_value_t& v, int depth) const
    {
        if (depth > MaxTableDepth)
            return QVariant();
        switch (v.kind) {
        case AMQP_FIELD_KIND_BOOLEAN: return bool(v.value.boolean);
        case AMQP_FIELD_KIND_I8: return int(v.value.i8);
        case AMQP_FIELD_KIND_U8: return uint(v.value.u8);
        case AMQP_FIELD_KIND_I16: return int(v.value.i16);
        case AMQP_FIELD_KIND_U16: return uint(v.value.u16);
        case AMQP_FIELD_KIND_I32: return int(v.value.i32);
        case AMQP_FIELD_KIND_U32: return uint(v.value.u32);
        case AMQP_FIELD_KIND_I64: return qlonglong(v.value.i64);
        case AMQP_FIELD_KIND_U64: return qulonglong(v.value.u64);
        case AMQP_FIELD_KIND_F32: return v.value.f32;
        case AMQP_FIELD_KIND_F64: return v.value.f64;
        case AMQP_FIELD_KIND_UTF8: return text(v.value.bytes);
        case AMQP_FIELD_KIND_BYTES: return raw(v.value.bytes);
        case AMQP_FIELD_KIND_TIMESTAMP:
            return QDateTime::fromSecsSinceEpoch(qint64(v.value.u64), Qt::UTC);
        case AMQP_FIELD_KIND_TABLE: return QVariant::fromValue(toTable(v.value.table, depth));
        case AMQP_FIELD_KIND_ARRAY: {
            QVariantList list;
            for (int i = 0; i < v.value.array.num_entries; ++i)
                list.append(toVariant(v.value.array.entries[i], depth + 1));
            return list;
        }
        case AMQP_FIELD_KIND_DECIMAL: {
            double value = double(v.value.decimal.value);
            for (int i = 0; i < v.value.decimal.decimals; ++i)
                value /= 10;
            return value;
        }
        default: return QVariant();
        }
    }

    amqp_bytes_t bytes(const QByteArray& data) const
    {
        amqp_bytes_t out;
        out.len = size_t(data.size());
        out.bytes = out.len ? amqp_pool_alloc(m_pool, out.len) : nullptr;
        if (out.len && out.bytes)
            std::memcpy(out.bytes, data.constData(), out.len);
        return out;
    }

    amqp_table_t fromTable(const QVariantHash& table) const
    {
        amqp_table_t out{0, nullptr};
        if (table.isEmpty())
            return out;
        out.entries = static_cast<amqp_table_entry_t*>(
            amqp_pool_alloc(m_pool, sizeof(amqp_table_entry_t) * size_t(table.size())));
        if (!out.entries)
            return out;
        for (auto it = table.constBegin(); it != table.constEnd(); ++it) {
            amqp_table_entry_t& e = out.entries[out.num_entries++];
            e.key = bytes(it.key().toUtf8());
            e.value = fromVariant(it.value());
        }
        return out;
    }

    amqp_field_value_t fromVariant(const QVariant& v) const
    {
        amqp_field_value_t out;
        std::memset(&out, 0, sizeof out);
        if (v.userType() == qMetaTypeId<QAmqpTable>()) {
            out.kind = AMQP_FIELD_KIND_TABLE;
            out.value.table = fromTable(v.value<QAmqpTable>());
            return out;
        }
        switch (int(v.type())) {
        case QMetaType::UnknownType: out.kind = AMQP_FIELD_KIND_VOID; break;
        case QMetaType::Bool: out.kind = AMQP_FIELD_KIND_BOOLEAN; out.value.boolean = v.toBool(); break;
        case QMetaType::Int: out.kind = AMQP_FIELD_KIND_I32; out.value.i32 = v.toInt(); break;
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong: out.kind = AMQP_FIELD_KIND_I64; out.value.i64 = v.toLongLong(); break;
        case QMetaType::Float: out.kind = AMQP_FIELD_KIND_F32; out.value.f32 = v.toFloat(); break;
        case QMetaType::Double: out.kind = AMQP_FIELD_KIND_F64; out.value.f64 = v.toDouble(); break;
        case QMetaType::QByteArray: out.kind = AMQP_FIELD_KIND_BYTES; out.value.bytes = bytes(v.toByteArray()); break;
        case QMetaType::QDateTime:
            out.kind = AMQP_FIELD_KIND_TIMESTAMP;
            out.value.u64 = quint64(v.toDateTime().toSecsSinceEpoch());
            break;
        case QMetaType::QVariantHash: out.kind = AMQP_FIELD_KIND_TABLE; out.value.table = fromTable(v.toHash()); break;
        case QMetaType::QVariantMap: {
            QVariantHash hash;
            const QVariantMap map = v.toMap();
            for (auto it = map.constBegin(); it != map.constEnd(); ++it)
                hash.insert(it.key(), it.value());
            out.kind = AMQP_FIELD_KIND_TABLE;
            out.value.table = fromTable(hash);
            break;
        }
        case QMetaType::QVariantList:
        case QMetaType::QStringList: {
            const QVariantList list = v.toList();
            out.kind = AMQP_FIELD_KIND_ARRAY;
            out.value.array.entries = static_cast<amqp_field_value_t*>(
                amqp_pool_alloc(m_pool, sizeof(amqp_field_value_t) * size_t(qMax(1, list.size()))));
            for (const QVariant& item : list)
                out.value.array.entries[out.value.array.num_entries++] = fromVariant(item);
            break;
        }
        default: out.kind = AMQP_FIELD_KIND_UTF8; out.value.bytes = bytes(v.toString().toUtf8()); break;
        }
        return out;
    }

private:
    amqp_pool_t* m_pool;
};

bool too_long(const QByteArray& shortstr) { return shortstr.size() > 255; }

// Appends `prefix` bytes (written by writePrefix) and what `encode` writes
// after them, growing the room while rabbitmq-c reports it too small (as bad
// data or a table too big). Returns rabbitmq-c's status; out is left as it was
// on failure.
template <typename WritePrefix, typename Encode>
int encode_appending(QByteArray& out, int prefix, int capacity, WritePrefix writePrefix, Encode encode)
{
    const int start = out.size();
    int status = AMQP_STATUS_BAD_AMQP_DATA;
    for (; capacity <= MaxEncodeSize; capacity *= 4) {
        out.resize(start + prefix + capacity);
        char* at = out.data() + start;
        writePrefix(at);
        status = encode(amqp_bytes_t{size_t(capacity), at + prefix});
        if (status >= 0 || (status != AMQP_STATUS_BAD_AMQP_DATA && status != AMQP_STATUS_TABLE_TOO_BIG))
            break;
    }
    out.resize(status < 0 ? start : start + prefix + status);
    return status;
}

} // namespace

struct AmqpCodec::State {
    amqp_pool_t pool;
    State() { init_amqp_pool(&pool, PoolPageSize); }
    ~State() { empty_amqp_pool(&pool); }
    // Releases what the last call allocated; keeps a page for the next one.
    void recycle() { recycle_amqp_pool(&pool); }

    RecentDeliverTexts deliverTexts;
    // The property list of the last content header, checked (at first the
    // list without properties).
    QByteArray lastProperties = QByteArray(2, '\0');
};

AmqpCodec::AmqpCodec() : m(new State) {}
AmqpCodec::~AmqpCodec() = default;

bool AmqpCodec::decodeMethod(const char* data, int size, Method& out, QString* error)
{
    if (size < MethodIdSize) {
        *error = QStringLiteral("method frame shorter than its ids");
        return false;
    }
    const quint32 id = qFromBigEndian<quint32>(data);
    if (id == BasicDeliver) {
        out = Method(id);
        if (decode_deliver(data + MethodIdSize, size - MethodIdSize, out, m->deliverTexts))
            return true;
        *error = QStringLiteral("cannot decode method basic.deliver: its arguments are cut short");
        return false;
    }
    amqp_bytes_t encoded{size_t(size - MethodIdSize), const_cast<char*>(data + MethodIdSize)};
    void* decoded = nullptr;
    const int status = amqp_decode_method(id, &m->pool, encoded, &decoded);
    if (status != AMQP_STATUS_OK || !decoded) {
        *error = QStringLiteral("cannot decode method 0x%1: %2")
                     .arg(id, 8, 16, QLatin1Char('0'))
                     .arg(QString::fromLatin1(amqp_error_string2(status)));
        m->recycle();
        return false;
    }
    TableConverter tables(&m->pool);
    out = Method(id);
    switch (id) {
    case ConnectionStart: {
        auto* s = static_cast<amqp_connection_start_t*>(decoded);
        out.versionMajor = s->version_major;
        out.versionMinor = s->version_minor;
        out.table = tables.toTable(s->server_properties);
        out.mechanisms = raw(s->mechanisms);
        out.locales = raw(s->locales);
        break;
    }
    case ConnectionSecure: break;
    case ConnectionTune:
    case ConnectionTuneOk: {
        auto* s = static_cast<amqp_connection_tune_t*>(decoded);
        out.channelMax = s->channel_max;
        out.frameMax = s->frame_max;
        out.heartbeat = s->heartbeat;
        break;
    }
    case ConnectionClose:
    case ChannelClose: {
        // Both records have the same layout.
        auto* s = static_cast<amqp_connection_close_t*>(decoded);
        out.replyCode = s->reply_code;
        out.replyText = text(s->reply_text);
        out.failingClassId = s->class_id;
        out.failingMethodId = s->method_id;
        break;
    }
    case ConnectionBlocked: out.reason = text(static_cast<amqp_connection_blocked_t*>(decoded)->reason); break;
    case ChannelFlow: out.active = static_cast<amqp_channel_flow_t*>(decoded)->active; break;
    case ChannelFlowOk: out.active = static_cast<amqp_channel_flow_ok_t*>(decoded)->active; break;
    case QueueDeclareOk: {
        auto* s = static_cast<amqp_queue_declare_ok_t*>(decoded);
        out.queue = text(s->queue);
        out.messageCount = s->message_count;
        out.consumerCount = s->consumer_count;
        break;
    }
    case BasicConsumeOk: out.consumerTag = text(static_cast<amqp_basic_consume_ok_t*>(decoded)->consumer_tag); break;
    case BasicCancel: {
        auto* s = static_cast<amqp_basic_cancel_t*>(decoded);
        out.consumerTag = text(s->consumer_tag);
        out.noWait = s->nowait;
        break;
    }
    case BasicCancelOk: out.consumerTag = text(static_cast<amqp_basic_cancel_ok_t*>(decoded)->consumer_tag); break;
    case BasicReturn: {
        auto* s = static_cast<amqp_basic_return_t*>(decoded);
        out.replyCode = s->reply_code;
        out.replyText = text(s->reply_text);
        out.exchange = text(s->exchange);
        out.routingKey = text(s->routing_key);
        break;
    }
    case BasicGetOk: {
        auto* s = static_cast<amqp_basic_get_ok_t*>(decoded);
        out.deliveryTag = s->delivery_tag;
        out.redelivered = s->redelivered;
        out.exchange = text(s->exchange);
        out.routingKey = text(s->routing_key);
        out.messageCount = s->message_count;
        break;
    }
    case BasicAck: {
        auto* s = static_cast<amqp_basic_ack_t*>(decoded);
        out.deliveryTag = s->delivery_tag;
        out.multiple = s->multiple;
        break;
    }
    case BasicNack: {
        auto* s = static_cast<amqp_basic_nack_t*>(decoded);
        out.deliveryTag = s->delivery_tag;
        out.multiple = s->multiple;
        out.requeue = s->requeue;
        break;
    }
    case BasicReject: {
        auto* s = static_cast<amqp_basic_reject_t*>(decoded);
        out.deliveryTag = s->delivery_tag;
        out.requeue = s->requeue;
        break;
    }
    default:
        // Methods without arguments the client reads (open-ok, close-ok, bind-ok,
        // qos-ok, select-ok, unblocked, ...), or ones it only needs to name.
        break;
    }
    m->recycle();
    return true;
}

bool AmqpCodec::encodeMethod(const Method& method, QByteArray& out, QString* error)
{
    TableConverter tables(&m->pool);
    const QByteArray queue = method.queue.toUtf8();
    const QByteArray exchange = method.exchange.toUtf8();
    const QByteArray routingKey = method.routingKey.toUtf8();
    const QByteArray consumerTag = method.consumerTag.toUtf8();
    const QByteArray replyText = method.replyText.toUtf8();
    const QByteArray vhost = method.virtualHost.toUtf8();
    const QByteArray exchangeType = method.exchangeType.toUtf8();
    if (too_long(queue) || too_long(exchange) || too_long(routingKey) || too_long(consumerTag) || too_long(replyText)
        || too_long(vhost) || too_long(exchangeType)) {
        *error = QStringLiteral("%1: a name is longer than 255 bytes").arg(methodName(method.id));
        return false;
    }

    // The records live on the stack; their strings and tables in the pool.
    union {
        amqp_connection_start_ok_t startOk;
        amqp_connection_tune_ok_t tuneOk;
        amqp_connection_open_t open;
        amqp_connection_close_t close;
        amqp_channel_open_t channelOpen;
        amqp_channel_flow_ok_t flowOk;
        amqp_exchange_declare_t exchangeDeclare;
        amqp_queue_declare_t declare;
        amqp_queue_bind_t bind;
        amqp_basic_qos_t qos;
        amqp_basic_consume_t consume;
        amqp_basic_cancel_t cancel;
        amqp_basic_cancel_ok_t cancelOk;
        amqp_basic_publish_t publish;
        amqp_basic_ack_t ack;
        amqp_basic_reject_t reject;
        amqp_basic_nack_t nack;
        amqp_confirm_select_t select;
    } r;
    std::memset(&r, 0, sizeof r);
    void* record = &r;

    switch (method.id) {
    case ConnectionStartOk:
        r.startOk.client_properties = tables.fromTable(method.table);
        r.startOk.mechanism = tables.bytes(method.mechanisms);
        r.startOk.response = tables.bytes(method.response);
        r.startOk.locale = tables.bytes(method.locales);
        break;
    case ConnectionTuneOk:
        r.tuneOk.channel_max = method.channelMax;
        r.tuneOk.frame_max = method.frameMax;
        r.tuneOk.heartbeat = method.heartbeat;
        break;
    case ConnectionOpen: r.open.virtual_host = tables.bytes(vhost); break;
    case ConnectionClose:
    case ChannelClose:
        r.close.reply_code = method.replyCode;
        r.close.reply_text = tables.bytes(replyText);
        r.close.class_id = method.failingClassId;
        r.close.method_id = method.failingMethodId;
        break;
    case ChannelFlowOk: r.flowOk.active = method.active; break;
    case ExchangeDeclare:
        r.exchangeDeclare.exchange = tables.bytes(exchange);
        r.exchangeDeclare.type = tables.bytes(exchangeType);
        r.exchangeDeclare.passive = method.passive;
        r.exchangeDeclare.durable = method.durable;
        r.exchangeDeclare.auto_delete = method.autoDelete;
        r.exchangeDeclare.internal = method.internal;
        r.exchangeDeclare.nowait = method.noWait;
        r.exchangeDeclare.arguments = tables.fromTable(method.table);
        break;
    case QueueDeclare:
        r.declare.queue = tables.bytes(queue);
        r.declare.passive = method.passive;
        r.declare.durable = method.durable;
        r.declare.exclusive = method.exclusive;
        r.declare.auto_delete = method.autoDelete;
        r.declare.nowait = method.noWait;
        r.declare.arguments = tables.fromTable(method.table);
        break;
    case QueueBind:
        r.bind.queue = tables.bytes(queue);
        r.bind.exchange = tables.bytes(exchange);
        r.bind.routing_key = tables.bytes(routingKey);
        r.bind.nowait = method.noWait;
        r.bind.arguments = tables.fromTable(method.table);
        break;
    case BasicQos:
        r.qos.prefetch_size = method.prefetchSize;
        r.qos.prefetch_count = method.prefetchCount;
        r.qos.global = method.global;
        break;
    case BasicConsume:
        r.consume.queue = tables.bytes(queue);
        r.consume.consumer_tag = tables.bytes(consumerTag);
        r.consume.no_local = method.noLocal;
        r.consume.no_ack = method.noAck;
        r.consume.exclusive = method.exclusive;
        r.consume.nowait = method.noWait;
        r.consume.arguments = tables.fromTable(method.table);
        break;
    case BasicCancel:
        r.cancel.consumer_tag = tables.bytes(consumerTag);
        r.cancel.nowait = method.noWait;
        break;
    case BasicCancelOk: r.cancelOk.consumer_tag = tables.bytes(consumerTag); break;
    case BasicPublish:
        r.publish.exchange = tables.bytes(exchange);
        r.publish.routing_key = tables.bytes(routingKey);
        r.publish.mandatory = method.mandatory;
        r.publish.immediate = method.immediate;
        break;
    case BasicAck:
        r.ack.delivery_tag = method.deliveryTag;
        r.ack.multiple = method.multiple;
        break;
    case BasicReject:
        r.reject.delivery_tag = method.deliveryTag;
        r.reject.requeue = method.requeue;
        break;
    case BasicNack:
        r.nack.delivery_tag = method.deliveryTag;
        r.nack.multiple = method.multiple;
        r.nack.requeue = method.requeue;
        break;
    case ConfirmSelect: r.select.nowait = method.noWait; break;
    case ConnectionCloseOk:
    case ChannelOpen:
    case ChannelCloseOk:
        break;
    default:
        m->recycle();
        *error = QStringLiteral("%1 is not a method this client sends").arg(methodName(method.id));
        return false;
    }

    const int capacity = 512 + queue.size() + exchange.size() + routingKey.size() + consumerTag.size()
                         + replyText.size() + method.response.size();
    const int status = encode_appending(
        out, MethodIdSize, capacity, [&](char* at) { qToBigEndian<quint32>(method.id, at); },
        [&](amqp_bytes_t buffer) { return amqp_encode_method(method.id, record, buffer); });
    m->recycle();
    if (status < 0) {
        *error = QStringLiteral("cannot encode %1: %2")
                     .arg(methodName(method.id), QString::fromLatin1(amqp_error_string2(status)));
        return false;
    }
    return true;
}

bool AmqpCodec::decodeContentHeader(const char* data, int size, ContentHeader& out, QString* error)
{
    if (size < HeaderPrefixSize) {
        *error = QStringLiteral("content header shorter than its fixed fields");
        return false;
    }
    out.classId = qFromBigEndian<quint16>(data);
    out.bodySize = qFromBigEndian<quint64>(data + 4);
    out.properties.clear();
    if (out.classId != BasicClass) {
        *error = QStringLiteral("content header of class %1").arg(out.classId);
        return false;
    }
    const char* encodedProperties = data + HeaderPrefixSize;
    const int encodedSize = size - HeaderPrefixSize;
    // Most streams repeat the same properties: those are checked once, and
    // their bytes shared.
    if (encodedSize == m->lastProperties.size()
        && std::memcmp(encodedProperties, m->lastProperties.constData(), size_t(encodedSize)) == 0) {
        out.properties = m->lastProperties;
        return true;
    }
    // rabbitmq-c checks every field, tables included; the walk also refuses
    // flags the basic class does not have and bytes behind the last property,
    // so that the list can later be passed on as it is.
    amqp_bytes_t encoded{size_t(encodedSize), const_cast<char*>(encodedProperties)};
    void* decoded = nullptr;
    const int status = amqp_decode_properties(out.classId, &m->pool, encoded, &decoded);
    m->recycle();
    if (status != AMQP_STATUS_OK || !decoded) {
        *error = QStringLiteral("cannot decode content properties: %1")
                     .arg(QString::fromLatin1(amqp_error_string2(status)));
        return false;
    }
    if (!basic_properties::wellFormed(encodedProperties, encodedSize)) {
        *error = QStringLiteral("cannot decode content properties: unknown property flags or bytes behind them");
        return false;
    }
    m->lastProperties = QByteArray(encodedProperties, encodedSize);
    out.properties = m->lastProperties;
    return true;
}

bool AmqpCodec::decodeProperties(const QByteArray& list, QAmqpMessage::PropertyHash& out, QString* error)
{
    out.clear();
    amqp_bytes_t encoded{size_t(list.size()), const_cast<char*>(list.constData())};
    void* decoded = nullptr;
    const int status = amqp_decode_properties(BasicClass, &m->pool, encoded, &decoded);
    if (status != AMQP_STATUS_OK || !decoded) {
        *error = QStringLiteral("cannot decode content properties: %1")
                     .arg(QString::fromLatin1(amqp_error_string2(status)));
        m->recycle();
        return false;
    }
    const auto* p = static_cast<const amqp_basic_properties_t*>(decoded);
    const TableConverter tables(&m->pool);
    QAmqpMessage::PropertyHash& props = out;
    const amqp_flags_t f = p->_flags;
    if (f & AMQP_BASIC_CONTENT_TYPE_FLAG) props.insert(QAmqpMessage::ContentType, text(p->content_type));
    if (f & AMQP_BASIC_CONTENT_ENCODING_FLAG) props.insert(QAmqpMessage::ContentEncoding, text(p->content_encoding));
    if (f & AMQP_BASIC_HEADERS_FLAG) props.insert(QAmqpMessage::Headers, QVariant::fromValue(tables.toTable(p->headers)));
    if (f & AMQP_BASIC_DELIVERY_MODE_FLAG) props.insert(QAmqpMessage::DeliveryMode, uint(p->delivery_mode));
    if (f & AMQP_BASIC_PRIORITY_FLAG) props.insert(QAmqpMessage::Priority, uint(p->priority));
    if (f & AMQP_BASIC_CORRELATION_ID_FLAG) props.insert(QAmqpMessage::CorrelationId, text(p->correlation_id));
    if (f & AMQP_BASIC_REPLY_TO_FLAG) props.insert(QAmqpMessage::ReplyTo, text(p->reply_to));
    if (f & AMQP_BASIC_EXPIRATION_FLAG) props.insert(QAmqpMessage::Expiration, text(p->expiration));
    if (f & AMQP_BASIC_MESSAGE_ID_FLAG) props.insert(QAmqpMessage::MessageId, text(p->message_id));
    if (f & AMQP_BASIC_TIMESTAMP_FLAG)
        props.insert(QAmqpMessage::Timestamp, QDateTime::fromSecsSinceEpoch(qint64(p->timestamp), Qt::UTC));
    if (f & AMQP_BASIC_TYPE_FLAG) props.insert(QAmqpMessage::Type, text(p->type));
    if (f & AMQP_BASIC_USER_ID_FLAG) props.insert(QAmqpMessage::UserId, text(p->user_id));
    if (f & AMQP_BASIC_APP_ID_FLAG) props.insert(QAmqpMessage::AppId, text(p->app_id));
    if (f & AMQP_BASIC_CLUSTER_ID_FLAG) props.insert(QAmqpMessage::ClusterID, text(p->cluster_id));
    m->recycle();
    return true;
}

bool AmqpCodec::encodeContentHeader(quint16 classId, quint64 bodySize, const QAmqpMessage::PropertyHash& properties,
                                    QByteArray& out, QString* error)
{
    amqp_basic_properties_t p;
    std::memset(&p, 0, sizeof p);
    const TableConverter tables(&m->pool);
    int textSize = 0;
    auto put_text = [&](QAmqpMessage::Property key, amqp_flags_t flag, amqp_bytes_t& field) {
        const auto it = properties.constFind(key);
        if (it == properties.constEnd())
            return true;
        const QByteArray utf8 = it.value().toString().toUtf8();
        if (too_long(utf8))
            return false;
        field = tables.bytes(utf8);
        textSize += utf8.size();
        p._flags |= flag;
        return true;
    };
    bool ok = put_text(QAmqpMessage::ContentType, AMQP_BASIC_CONTENT_TYPE_FLAG, p.content_type)
              && put_text(QAmqpMessage::ContentEncoding, AMQP_BASIC_CONTENT_ENCODING_FLAG, p.content_encoding)
              && put_text(QAmqpMessage::CorrelationId, AMQP_BASIC_CORRELATION_ID_FLAG, p.correlation_id)
              && put_text(QAmqpMessage::ReplyTo, AMQP_BASIC_REPLY_TO_FLAG, p.reply_to)
              && put_text(QAmqpMessage::Expiration, AMQP_BASIC_EXPIRATION_FLAG, p.expiration)
              && put_text(QAmqpMessage::MessageId, AMQP_BASIC_MESSAGE_ID_FLAG, p.message_id)
              && put_text(QAmqpMessage::Type, AMQP_BASIC_TYPE_FLAG, p.type)
              && put_text(QAmqpMessage::UserId, AMQP_BASIC_USER_ID_FLAG, p.user_id)
              && put_text(QAmqpMessage::AppId, AMQP_BASIC_APP_ID_FLAG, p.app_id)
              && put_text(QAmqpMessage::ClusterID, AMQP_BASIC_CLUSTER_ID_FLAG, p.cluster_id);
    if (!ok) {
        m->recycle();
        *error = QStringLiteral("a message property is longer than 255 bytes");
        return false;
    }
    bool hasHeaders = false;
    if (properties.contains(QAmqpMessage::Headers)) {
        const QVariant h = properties.value(QAmqpMessage::Headers);
        p.headers = tables.fromTable(h.userType() == qMetaTypeId<QAmqpTable>() ? QVariantHash(h.value<QAmqpTable>())
                                                                               : h.toHash());
        p._flags |= AMQP_BASIC_HEADERS_FLAG;
        hasHeaders = true;
    }
    if (properties.contains(QAmqpMessage::DeliveryMode)) {
        p.delivery_mode = quint8(properties.value(QAmqpMessage::DeliveryMode).toUInt());
        p._flags |= AMQP_BASIC_DELIVERY_MODE_FLAG;
    }
    if (properties.contains(QAmqpMessage::Priority)) {
        p.priority = quint8(properties.value(QAmqpMessage::Priority).toUInt());
        p._flags |= AMQP_BASIC_PRIORITY_FLAG;
    }
    if (properties.contains(QAmqpMessage::Timestamp)) {
        const QVariant t = properties.value(QAmqpMessage::Timestamp);
        p.timestamp = t.type() == QVariant::DateTime ? quint64(t.toDateTime().toSecsSinceEpoch()) : t.toULongLong();
        p._flags |= AMQP_BASIC_TIMESTAMP_FLAG;
    }

    const int capacity = 256 + textSize + (hasHeaders ? 4096 : 0);
    const auto writePrefix = [&](char* at) {
        qToBigEndian<quint16>(classId, at);
        qToBigEndian<quint16>(0, at + 2); // weight, unused
        qToBigEndian<quint64>(bodySize, at + 4);
    };
    const int status = encode_appending(out, HeaderPrefixSize, capacity, writePrefix,
                                        [&](amqp_bytes_t buffer) { return amqp_encode_properties(classId, &p, buffer); });
    m->recycle();
    if (status < 0) {
        *error = QStringLiteral("cannot encode content properties: %1")
                     .arg(QString::fromLatin1(amqp_error_string2(status)));
        return false;
    }
    return true;
}

QString methodName(quint32 id)
{
    const char* name = amqp_method_name(id);
    if (!name || std::strcmp(name, "?") == 0 || std::strcmp(name, "UNKNOWN") == 0)
        return QStringLiteral("method 0x%1").arg(id, 8, 16, QLatin1Char('0'));
    // rabbitmq-c names them like "AMQP_BASIC_DELIVER_METHOD"; make it "basic.deliver".
    QString s = QString::fromLatin1(name);
    if (s.startsWith(QLatin1String("AMQP_")))
        s.remove(0, 5);
    if (s.endsWith(QLatin1String("_METHOD")))
        s.chop(7);
    s = s.toLower();
    const int underscore = s.indexOf(QLatin1Char('_'));
    if (underscore > 0)
        s[underscore] = QLatin1Char('.');
    return s.replace(QLatin1Char('_'), QLatin1Char('-'));
}

} // namespace amqp
