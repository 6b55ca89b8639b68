#include "settings_check.h"

#include "amqp/amqp_url.h"
#include "amqp/pem_file.h"

#include <QFileInfo>

#include <algorithm>

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
    // The entries of a list are named by their place, never by their text: an
    // entry that does not parse may be a piece of a password that held the
    // separator, which no masking would recognise.
    void check_url_list(const char* key, const QStringList& urls)
    {
        for (int i = 0; i < urls.size(); ++i) {
            const AmqpUrl parsed = AmqpUrl::parse(urls[i]);
            if (!parsed.valid)
                add(key, QStringLiteral("entry %1 of %2").arg(i + 1).arg(urls.size()), parsed.error);
        }
    }
    void add_line(const QString& line) { m_lines << line; }
    QStringList lines() const { return m_lines; }

private:
    const RabbitConfig& m_config;
    QStringList m_lines;
};

void check_tls(Problems& p, const char* side, const tls_settings& tls, const QStringList& urls)
{
    const QString prefix = QLatin1String(side) + QLatin1Char('/');
    const auto key = [&prefix](const char* name) { return (prefix + QLatin1String(name)).toLatin1(); };
    const QString verify = p.shown(key("tls_verify").constData(), QString());
    if (!parse_setting_bool(verify, false).has_value())
        p.add(key("tls_verify").constData(), verify, QStringLiteral("must be one of true/false, yes/no, on/off, 1/0"));
    // Asking for checked certificates and getting no encryption at all (an
    // "s" forgotten) would send the password in clear.
    const auto plain = std::find_if(urls.begin(), urls.end(), [](const QString& url) {
        const AmqpUrl parsed = AmqpUrl::parse(url);
        return parsed.valid && !parsed.tls;
    });
    if (tls.verify && plain != urls.end())
        p.add(key("tls_verify").constData(), verify,
              QStringLiteral("needs an amqps:// URL in ") + prefix
                  + (plain == urls.begin() ? QStringLiteral("path") : QStringLiteral("failover_paths")));
    const QPair<const char*, QString> files[] = {
        {"tls_ca_file", tls.ca_file}, {"tls_cert_file", tls.cert_file}, {"tls_key_file", tls.key_file}};
    // The files are read here as the transports will read them, so that one
    // that holds no certificate or key refuses the start, not every attempt.
    for (const auto& file : files) {
        if (file.second.isEmpty())
            continue;
        const QByteArray name = key(file.first);
        // Only a plain file is opened: a FIFO or a device could block the start.
        PemFile pem;
        if (QFileInfo(file.second).isFile())
            pem = qstrcmp(file.first, "tls_key_file") == 0 ? readPemPrivateKey(file.second)
                                                           : readPemCertificates(file.second);
        if (!pem.readable)
            p.add(name.constData(), file.second, QStringLiteral("cannot be read"));
        else if (!pem.problem.isEmpty())
            p.add(name.constData(), file.second, pem.problem);
    }
    if (tls.cert_file.isEmpty() != tls.key_file.isEmpty()) {
        const bool certOnly = tls.key_file.isEmpty();
        p.add(key(certOnly ? "tls_key_file" : "tls_cert_file").constData(), QString(),
              certOnly ? QStringLiteral("must name the key of tls_cert_file") : QStringLiteral("must name the certificate of tls_key_file"));
    }
}

} // namespace

listen_address parse_listen_address(const QString& text)
{
    listen_address out;
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    QString host = colon < 0 ? QString() : text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint port = colon < 0 ? 0 : text.mid(colon + 1).toUInt(&ok);
    if (colon < 0 || host.isEmpty() || !ok || port == 0 || port > 65535) {
        out.error = QStringLiteral("must be host:port, for example 127.0.0.1:9187");
        return out;
    }
    out.host = host;
    out.port = quint16(port);
    return out;
}

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
    const qint64 held_mib = config.receiver.max_held_bytes >> 20;
    if (held_mib < 1 || held_mib > max_held_mib)
        p.add("receiver/max_held_mib", p.shown("receiver/max_held_mib", QString::number(held_mib)),
              QStringLiteral("must be a whole number from 1 to %1").arg(max_held_mib));

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
    p.check_url_list("receiver/failover_paths", config.receiver.failover_paths);
    p.check_url_list("publisher/failover_paths", config.publisher.failover_paths);
    // Read by Load, which keeps the password and says why a file gave none.
    for (const QString& problem : config.password_problems)
        p.add_line(problem);

    for (const char* key : {"publisher/stop_binary", "publisher/carry_properties"}) {
        const QString value = p.shown(key, QString());
        if (!parse_setting_bool(value, false).has_value())
            p.add(key, value, QStringLiteral("must be one of true/false, yes/no, on/off, 1/0"));
    }

    check_tls(p, "receiver", config.receiver.tls, QStringList{config.receiver.path} + config.receiver.failover_paths);
    check_tls(p, "publisher", config.publisher.tls, QStringList{config.publisher.path} + config.publisher.failover_paths);
    if (!config.metrics_listen.isEmpty()) {
        const listen_address listen = parse_listen_address(config.metrics_listen);
        if (!listen.error.isEmpty())
            p.add("metrics/listen", config.metrics_listen, listen.error);
    }
    return p.lines();
}
