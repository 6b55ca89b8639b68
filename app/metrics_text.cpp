#include "metrics_text.h"

#include <QDir>
#include <QFile>

#include <algorithm>

#include <time.h>
#include <unistd.h>

namespace {

class Page {
public:
    void metric(const char* name, const char* type, const char* help)
    {
        m_text += "# HELP ";
        m_text += name;
        m_text += ' ';
        m_text += help;
        m_text += "\n# TYPE ";
        m_text += name;
        m_text += ' ';
        m_text += type;
        m_text += '\n';
    }
    void sample(const char* name, const QByteArray& labels, double value)
    {
        m_text += name;
        m_text += labels;
        m_text += ' ';
        m_text += QByteArray::number(value, 'g', 17);
        m_text += '\n';
    }
    void counter(const char* name, const char* help, double value)
    {
        metric(name, "counter", help);
        sample(name, QByteArray(), value);
    }
    void gauge(const char* name, const char* help, double value)
    {
        metric(name, "gauge", help);
        sample(name, QByteArray(), value);
    }
    // Cumulative _bucket{le} samples, then _sum and _count.
    void histogram(const char* name, const char* help, const LatencyHistogram& h)
    {
        metric(name, "histogram", help);
        const QByteArray base(name);
        for (std::size_t i = 0; i <= LatencyHistogram::bounds; ++i) {
            const QByteArray le = i < LatencyHistogram::bounds ? QByteArray(LatencyHistogram::labels[i]) : "+Inf";
            sample((base + "_bucket").constData(), "{le=\"" + le + "\"}", double(h.cumulative(i)));
        }
        sample((base + "_sum").constData(), QByteArray(), h.sum());
        sample((base + "_count").constData(), QByteArray(), double(h.count()));
    }
    QByteArray text() const { return m_text; }

private:
    QByteArray m_text;
};

// The fields of /proc/self/stat after the command name.
QList<QByteArray> proc_stat()
{
    QFile f(QStringLiteral("/proc/self/stat"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = f.readAll();
    return line.mid(line.lastIndexOf(')') + 2).split(' ');
}

double seconds(const timespec& t)
{
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// A point on the monotonic clock in seconds since the Unix epoch, by its
// distance from now; 0 for none.
double wall_time(const std::optional<std::chrono::steady_clock::time_point>& t)
{
    timespec real{};
    if (!t || ::clock_gettime(CLOCK_REALTIME, &real) != 0)
        return 0;
    return seconds(real) - std::chrono::duration<double>(std::chrono::steady_clock::now() - *t).count();
}

// The process's start in seconds since the Unix epoch, from its starttime in
// /proc/self/stat (clock ticks on CLOCK_BOOTTIME) and the distance from that
// clock to the wall clock now; 0 when the clocks cannot be read. Not from
// /proc/stat's boot time: the service's sandbox (ProcSubset=pid) hides it.
double start_time(double starttime, double ticks)
{
    timespec real{}, boot{};
    if (::clock_gettime(CLOCK_REALTIME, &real) != 0 || ::clock_gettime(CLOCK_BOOTTIME, &boot) != 0)
        return 0;
    return seconds(real) - seconds(boot) + starttime / ticks;
}

} // namespace

QByteArray render_metrics(const RouterMetrics& m, const RouterState& s, const QString& version)
{
    Page p;
    p.metric("shardex_deliveries_total", "counter",
             "Deliveries received from the input queue, by the kind of body (undecodable ones count as protobuf).");
    p.sample("shardex_deliveries_total", "{kind=\"json\"}", double(m.deliveries_json));
    p.sample("shardex_deliveries_total", "{kind=\"protobuf\"}", double(m.deliveries_protobuf));
    p.counter("shardex_fanout_deliveries_total", "Deliveries naming no device, published to every shard.",
              double(m.fanout));
    p.counter("shardex_published_total", "Publications sent (a fan-out body counts once per shard).",
              double(m.published));
    p.counter("shardex_confirmed_total", "Publications confirmed by the broker.", double(m.confirmed));
    p.counter("shardex_publish_failed_total", "Publications nacked, lost before their confirm, or not sent.",
              double(m.publish_failed));
    p.counter("shardex_acknowledged_total", "Deliveries acknowledged (each delivery a multiple ack covers).",
              double(m.acknowledged));
    p.metric("shardex_rejected_total", "counter", "Deliveries rejected, back to the queue or not.");
    p.sample("shardex_rejected_total", "{requeue=\"true\"}", double(m.rejected_requeue));
    p.sample("shardex_rejected_total", "{requeue=\"false\"}", double(m.rejected_drop));
    p.counter("shardex_undecodable_total", "Bodies neither JSON nor a valid message.", double(m.undecodable));
    p.counter("shardex_dropped_binary_total", "Binary bodies dropped under stop_binary.", double(m.dropped_binary));
    p.counter("shardex_reloads_total", "Restarts of the router after the first start.", double(m.reloads));
    p.gauge("shardex_reload_success", "1 when the last reload of the settings was taken (1 before any), else 0.",
            m.reload_success ? 1 : 0);
    if (s.shard_count <= RouterMetrics::counted_shards) {
        p.metric("shardex_shard_publications_total", "counter", "Publications sent to each shard.");
        for (int shard = 0; shard < s.shard_count; ++shard)
            p.sample("shardex_shard_publications_total", "{shard=\"" + QByteArray::number(shard) + "\"}",
                     double(m.shard_publications[std::size_t(shard)]));
        p.metric("shardex_returned_publications_total", "counter",
                 "Publications the broker returned: no queue takes that shard's routing key.");
        for (int shard = 0; shard < s.shard_count; ++shard)
            p.sample("shardex_returned_publications_total", "{shard=\"" + QByteArray::number(shard) + "\"}",
                     double(m.shard_returned[std::size_t(shard)]));
    }
    p.histogram("shardex_delivery_duration_seconds",
                "From a delivery's arrival to the acknowledgement that covers it (rejected ones are not observed).",
                m.delivery_duration);
    p.histogram("shardex_confirm_duration_seconds", "From a publication to the broker's confirm of it.",
                m.confirm_duration);
    p.gauge("shardex_last_delivery_timestamp_seconds",
            "When the last delivery arrived, in seconds since the Unix epoch; 0 before the first.",
            wall_time(m.last_delivery));
    p.gauge("shardex_last_confirm_timestamp_seconds",
            "When the broker last confirmed a publication, in seconds since the Unix epoch; 0 before the first.",
            wall_time(m.last_confirm));
    p.metric("shardex_connection_attempts_total", "counter", "Broker connection attempts of each side, by outcome.");
    using Side = std::pair<QByteArray, RouterMetrics::Attempts>;
    for (const auto& [side, attempts] : {Side{"receiver", m.receiver_attempts}, Side{"publisher", m.publisher_attempts}}) {
        p.sample("shardex_connection_attempts_total", "{side=\"" + side + "\",result=\"success\"}",
                 double(attempts.success));
        p.sample("shardex_connection_attempts_total", "{side=\"" + side + "\",result=\"failure\"}",
                 double(attempts.failure));
    }
    p.metric("shardex_connection_up", "gauge", "1 while that broker connection is open.");
    p.sample("shardex_connection_up", "{side=\"receiver\"}", s.receiver_up ? 1 : 0);
    p.sample("shardex_connection_up", "{side=\"publisher\"}", s.publisher_up ? 1 : 0);
    p.gauge("shardex_consuming", "1 while the consumer is active.", s.consuming ? 1 : 0);
    p.gauge("shardex_publisher_blocked", "1 while the broker blocks the publishing connection.",
            s.publisher_blocked ? 1 : 0);
    p.gauge("shardex_unsettled_deliveries", "Deliveries received and not yet acknowledged or rejected.",
            double(s.unsettled));
    p.gauge("shardex_held_bytes",
            "Bytes of deliveries received and not yet settled (routed and confirmed, or rejected).",
            double(s.held_bytes));
    p.metric("shardex_build_info", "gauge", "Always 1; the version is its label.");
    QByteArray label = version.toUtf8();
    label.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    p.sample("shardex_build_info", "{version=\"" + label + "\"}", 1);

    // /proc/self/stat from the state on (its field 3): utime and stime are
    // fields 14 and 15, starttime 22, rss 24.
    const QList<QByteArray> stat = proc_stat();
    const double ticks = double(::sysconf(_SC_CLK_TCK));
    if (stat.size() > 21 && ticks > 0) {
        p.gauge("process_resident_memory_bytes", "Resident memory size in bytes.",
                stat[21].toDouble() * double(::sysconf(_SC_PAGESIZE)));
        p.counter("process_cpu_seconds_total", "Total user and system CPU time spent in seconds.",
                  (stat[11].toDouble() + stat[12].toDouble()) / ticks);
        if (const double started = start_time(stat[19].toDouble(), ticks); started > 0)
            p.gauge("process_start_time_seconds", "Start time of the process since the Unix epoch in seconds.",
                    started);
    }
    p.gauge("process_open_fds", "Number of open file descriptors.",
            double(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size()));
    return p.text();
}

QString unhealthy_reason(const RouterState& s, std::chrono::steady_clock::time_point now)
{
    if (!s.receiver_up)
        return QStringLiteral("the receiving broker connection is down");
    if (!s.publisher_up)
        return QStringLiteral("the publishing broker connection is down");
    if (!s.consuming)
        return QStringLiteral("the consumer is not active");
    if (s.publisher_blocked)
        return QStringLiteral("the broker blocks the publishing connection");
    if (s.publications_refused)
        return QStringLiteral("publications are held back after the broker refused them");
    if (!s.returned_key.isEmpty())
        return QStringLiteral("the broker returns publications under routing key %1: no queue takes them")
            .arg(QString::fromUtf8(s.returned_key));
    if (s.oldest_unconfirmed && now - *s.oldest_unconfirmed > confirm_wait_limit) {
        const auto waited = std::chrono::duration_cast<std::chrono::seconds>(now - *s.oldest_unconfirmed);
        return QStringLiteral("a publication has waited %1 s for its confirm").arg(waited.count());
    }
    return QString();
}

QByteArray render_devices(const DeviceSketch::Top& top, const RouterState& state)
{
    // Numbers only: nothing to escape.
    QByteArray out = "{\"window_seconds\":" + QByteArray::number(DeviceSketch::window_seconds)
                     + ",\"bodies\":" + QByteArray::number(top.bodies) + ",\"devices\":[";
    for (std::size_t i = 0; i < top.devices.size(); ++i) {
        const DeviceSketch::Device& d = top.devices[i];
        const double share = top.bodies == 0 ? 0 : std::min(1.0, double(d.count) / double(top.bodies));
        out += (i == 0 ? "{" : ",{");
        out += "\"device\":" + QByteArray::number(d.device) + ",\"count\":" + QByteArray::number(d.count)
               + ",\"share\":" + QByteArray::number(share, 'g', 4);
        if (state.shard_count > 0)
            out += ",\"shard\":" + QByteArray::number(quint32(d.device) % quint32(state.shard_count));
        out += ",\"error\":" + QByteArray::number(d.error) + "}";
    }
    return out + "]}";
}
