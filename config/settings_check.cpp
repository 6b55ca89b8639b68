#include "settings_check.h"

#include "amqp/amqp_url.h"

namespace {

class Problems {
public:
    explicit Problems(const RabbitConfig& config) : m_config(config) {}

    // The file's text for the key, or the value in force when it holds none.
    QString shown(const char* key, const QString& in_force) const
    {
        return m_config.file_texts.value(QLatin1String(key), in_force);
    }
    void add(const char* key, const QString& value, const QString& reason)
    {
        m_lines << QStringLiteral("%1: %2: %3").arg(QLatin1String(key), value, reason);
    }
    // The name is what the key makes, the value the key's own text.
    void check_name(const char* key, const QString& name, const QString& value, const QString& reason_format)
    {
        const int bytes = name.toUtf8().size();
        if (bytes > settings_limit::max_name_bytes) {
            const QString text = shown(key, value);
            const int cut = text.size() > 40 && text.at(39).isHighSurrogate() ? 39 : 40;
            add(key, text.left(cut) + QStringLiteral("..."),
                reason_format.arg(bytes).arg(settings_limit::max_name_bytes));
        }
    }
    void check_url(const char* key, const QString& url)
    {
        const AmqpUrl parsed = AmqpUrl::parse(url);
        if (!parsed.valid)
            add(key, maskUrlPassword(shown(key, url)), parsed.error);
    }
    QStringList lines() const { return m_lines; }

private:
    const RabbitConfig& m_config;
    QStringList m_lines;
};

} // namespace

QStringList check_settings(const RabbitConfig& config)
{
    using namespace settings_limit;
    Problems p(config);

    const bool shards_ok = config.shard_count >= 1 && config.shard_count <= max_shard_count;
    if (!shards_ok)
        p.add("publisher/shard_count", p.shown("publisher/shard_count", QString::number(config.shard_count)),
              QStringLiteral("must be a whole number from 1 to %1").arg(max_shard_count));
    const QString& prefix = config.routing_key_prefix;
    if (prefix.isEmpty())
        p.add("publisher/routing_key_prefix", p.shown("publisher/routing_key_prefix", prefix),
              QStringLiteral("must not be empty"));
    const qint32 prefetch = config.receiver.prefetch_count;
    if (prefetch < 1 || prefetch > max_prefetch_count)
        p.add("receiver/prefetch_count", p.shown("receiver/prefetch_count", QString::number(prefetch)),
              QStringLiteral("must be a whole number from 1 to %1").arg(max_prefetch_count));

    // A longer name would fail every publication or declaration that uses it.
    const QString too_long = QStringLiteral("is %1 bytes long, at most %2 are allowed");
    const QString longest_key = prefix + (shards_ok ? QString::number(config.shard_count - 1) : QString());
    p.check_name("publisher/routing_key_prefix", longest_key, prefix,
                 QStringLiteral("makes routing keys of up to %1 bytes, at most %2 are allowed"));
    const QPair<QString, QString> binding = config.receiver.bindings.value(0);
    const QPair<const char*, QString> names[] = {
        {"publisher/exchange", config.publisher.exchange},
        {"receiver/r_que", config.receiver.queue},
        {"receiver/bindings/exchange", binding.first},
        {"receiver/bindings/routekey", binding.second},
    };
    for (const auto& name : names)
        p.check_name(name.first, name.second, name.second, too_long);

    p.check_url("receiver/path", config.receiver.path);
    p.check_url("publisher/path", config.publisher.path);

    const QString stop_binary = p.shown("publisher/stop_binary", QString());
    if (!parse_setting_bool(stop_binary, false).has_value())
        p.add("publisher/stop_binary", stop_binary, QStringLiteral("must be one of true/false, yes/no, on/off, 1/0"));
    return p.lines();
}
