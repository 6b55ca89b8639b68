// The loudest-devices sketch and the latency histograms, without a broker.
#include "app/metrics_text.h"
#include "router/device_sketch.h"
#include "router/latency_histogram.h"
#include "support/metrics_page.h"

#include <QHash>

#include <algorithm>
#include <functional>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Body {
    qint32 device;
    qint64 ms;
};

std::vector<Body> smallStream()
{
    // Device d sends d + 1 bodies, interleaved; fewer devices than counters.
    std::vector<Body> out;
    for (int round = 0; round < 100; ++round)
        for (qint32 d = round; d < 100; ++d)
            out.push_back({d, 0});
    return out;
}

std::vector<Body> skewedStream()
{
    // 200,000 bodies over the whole window: device 7 sends 12 %, device 9 6 %,
    // 50,000 others the rest at random, and 1 % names no device.
    std::mt19937 rng(1);
    std::vector<Body> out;
    for (int i = 0; i < 200000; ++i) {
        const auto r = rng() % 100;
        const qint32 device = r < 12 ? 7 : r < 18 ? 9 : r < 19 ? -1 : qint32(1000 + rng() % 50000);
        out.push_back({device, qint64(i) * 59999 / 200000});
    }
    return out;
}

std::vector<Body> heavyLate()
{
    // 60,000 devices once each, each pushing a counter out once all are
    // taken, then device 5 with 4,000 bodies (6.25 %).
    std::vector<Body> out;
    for (int i = 0; i < 60000; ++i)
        out.push_back({1000 + i, 0});
    for (int i = 0; i < 4000; ++i)
        out.push_back({5, 0});
    return out;
}

} // namespace

TEST(DeviceSketch, EstimatesStayWithinTheirErrorBoundsAndListEveryDeviceAboveFivePercent)
{
    const struct {
        const char* name;
        std::function<std::vector<Body>()> stream;
        bool exact;
    } rows[] = {
        {"a small stream is counted exactly", smallStream, true},
        {"a large skewed stream over six slots", skewedStream, false},
        {"a heavy device that comes late", heavyLate, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        DeviceSketch sketch;
        QHash<qint32, quint64> truth;
        quint64 bodies = 0, deviceBodies = 0;
        for (const Body& b : row.stream()) {
            sketch.record(b.device, b.ms);
            ++bodies;
            if (b.device != -1) {
                ++truth[b.device];
                ++deviceBodies;
            }
        }
        const DeviceSketch::Top top = sketch.top(20, 59999);
        EXPECT_EQ(top.bodies, bodies);
        ASSERT_EQ(top.devices.size(), std::min<std::size_t>(20, std::size_t(truth.size())));
        for (std::size_t i = 0; i < top.devices.size(); ++i) {
            const DeviceSketch::Device& d = top.devices[i];
            const quint64 real = truth.value(d.device);
            EXPECT_NE(d.device, -1);
            EXPECT_GE(d.count, real) << d.device;
            EXPECT_LE(d.count - d.error, real) << d.device;
            EXPECT_LE(d.error, deviceBodies / SpaceSaving::capacity) << d.device;
            if (i > 0) {
                EXPECT_GE(top.devices[i - 1].count, d.count);
            }
            if (row.exact) {
                EXPECT_EQ(d.device, 99 - qint32(i));
                EXPECT_EQ(d.count, real);
                EXPECT_EQ(d.error, 0u);
            }
        }
        for (auto it = truth.cbegin(); it != truth.cend(); ++it) {
            if (it.value() * 20 <= bodies)
                continue;
            EXPECT_TRUE(std::any_of(top.devices.begin(), top.devices.end(),
                                    [&](const DeviceSketch::Device& d) { return d.device == it.key(); }))
                << "device " << it.key() << " sent " << it.value() << " of " << bodies;
        }
    }
}

TEST(DeviceSketch, TheWindowForgetsWhatIsOlderThanSixtySeconds)
{
    DeviceSketch sketch;
    using Listed = std::vector<std::pair<qint32, quint64>>;
    const auto listed = [&](qint64 now) {
        Listed out;
        for (const DeviceSketch::Device& d : sketch.top(20, now).devices)
            out.emplace_back(d.device, d.count);
        return out;
    };
    for (int i = 0; i < 100; ++i)
        sketch.record(1, 0); // the slot from 0 to 10 s
    for (int i = 0; i < 50; ++i)
        sketch.record(2, 30000);
    for (int i = 0; i < 10; ++i)
        sketch.record(-1, 30000); // bodies, not a device
    EXPECT_EQ(listed(59999), (Listed{{1, 100}, {2, 50}}));
    EXPECT_EQ(sketch.top(20, 59999).bodies, 160u);
    EXPECT_EQ(listed(60000), (Listed{{2, 50}})) << "the first slot left the window";
    EXPECT_EQ(sketch.top(20, 60000).bodies, 60u);
    for (int i = 0; i < 5; ++i)
        sketch.record(3, 65000); // takes the first slot's place in the ring
    EXPECT_EQ(listed(65000), (Listed{{2, 50}, {3, 5}}));
    EXPECT_EQ(listed(90000), (Listed{{3, 5}}));
    EXPECT_EQ(sketch.top(20, 130000).bodies, 0u);
    EXPECT_TRUE(listed(130000).empty());
}

TEST(LatencyHistogram, ThePageShowsCumulativeBucketsWithInclusiveBounds)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double seconds;
        const char* le; // the smallest bucket that holds it
    } rows[] = {
        {0, "0.0005"},        {0.0005, "0.0005"}, {0.0005001, "0.001"}, {0.003, "0.005"}, {1, "1"},
        {29.9, "30"},         {30, "30"},         {30.001, "+Inf"},     {3600, "+Inf"},
        {-0.001, "0.0005"},   {nan, "0.0005"},
    };
    RouterMetrics metrics;
    double sum = 0;
    for (const auto& row : rows) {
        metrics.delivery_duration.observe(row.seconds);
        sum += row.seconds >= 0 ? row.seconds : 0;
    }
    const QByteArray page = render_metrics(metrics, RouterState(), QStringLiteral("test"));
    EXPECT_TRUE(page.contains("\n# TYPE shardex_delivery_duration_seconds histogram\n"));
    const QMap<QString, double> samples = metricSamples(page);
    std::vector<const char*> labels(LatencyHistogram::labels.begin(), LatencyHistogram::labels.end());
    labels.push_back("+Inf");
    double expected = 0;
    for (const char* le : labels) {
        for (const auto& row : rows)
            expected += QByteArray(row.le) == le ? 1 : 0;
        const QString key = QStringLiteral("shardex_delivery_duration_seconds_bucket{le=\"%1\"}").arg(QLatin1String(le));
        EXPECT_EQ(samples.value(key, -1), expected) << key.toStdString();
    }
    EXPECT_EQ(samples.value(QStringLiteral("shardex_delivery_duration_seconds_count")), double(std::size(rows)));
    EXPECT_DOUBLE_EQ(samples.value(QStringLiteral("shardex_delivery_duration_seconds_sum")), sum);
    EXPECT_EQ(samples.value(QStringLiteral("shardex_confirm_duration_seconds_bucket{le=\"+Inf\"}"), -1), 0);
}
