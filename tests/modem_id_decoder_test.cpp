#include "complex_message.pb.h"
#include "router/dump_limiter.h"
#include "router/modem_id_decoder.h"
#include "support/log_file.h"
#include "support/qt_json_decision.h"

#include <QTextCodec>

#include <gtest/gtest.h>

#include <string_view>

namespace {

QByteArray serialized(const binary_struct::ComplexMessage& m)
{
    std::string out;
    m.SerializeToString(&out);
    return QByteArray(out.data(), int(out.size()));
}

QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray out;
    for (int b : list)
        out.append(char(b));
    return out;
}

class DecoderTest : public ::testing::Test {
protected:
    ModemIdResult decode(const QByteArray& body) { return decodeModemId(body, log.log(), dumps); }
    LogFile log{3};
    qint64 now_ms = 0;
    DumpLimiter dumps{[this] { return now_ms; }};
};

} // namespace

TEST_F(DecoderTest, JsonModemIdRules)
{
    using namespace std::string_view_literals;
    struct Row {
        std::string_view body;
        qint32 expected;
    };
    const Row rows[] = {
        {R"({"a":1,"modem_id":777,"b":{"c":[1,2]}})", 777},
        {R"({"modem_id":"777"})", 0},
        {R"({"modem_id":12.5})", 0},
        {R"({"modem_id":12.0})", 12},
        {R"({"modem_id":1.2e1})", 12},
        {R"({"modem_id":1e2})", 100},
        {R"({"modem_id":true})", 0},
        {R"({"modem_id":null})", 0},
        {R"({"modem_id":{}})", 0},
        {R"({"modem_id":[5]})", 0},
        {R"({"modem_id":2147483647})", 2147483647},
        {R"({"modem_id":2147483648})", 0},
        {R"({"modem_id":-2147483648})", -2147483647 - 1},
        {R"({"modem_id":-2147483649})", 0},
        {R"({"modem_id":-1})", -1},
        {R"({"modem_id":-2})", -2},
        {R"({"device":5})", -1},
        {R"({"inner":{"modem_id":5}})", -1},
        {R"({"MODEM_ID":5})", -1},
        {R"([{"modem_id":5}])", -1},
        {"\xEF\xBB\xBF{\"modem_id\":3}", 3},
        {" \t\r\n{\"modem_id\":4}\n\r\t ", 4},
        {"{}", -1},
        // Where QJsonDocument is more lenient than JSON, or picky
        {R"({"modem_id":1.})", 1},
        {R"({"modem_id":.5e1})", 5},
        {R"({"modem\_id":6})", 6},
        {"{\"a\":\"\x01\x1f\",\"modem_id\":7}", 7},
        {R"({"a":2.4703282292062328e-324,"modem_id":8})", 8},
        {R"({"modem_id":1,"b":[],"modem_id":9})", 9},
        {R"({"modem_id":9,"modem_id":"9"})", 0},
        {R"({"modem_id":-0.0})", 0},
        // A repeated key: QJsonDocument sorts the members by name (a stable
        // sort up to 16 members, not beyond) and keeps the last of equal names
        {R"({"modem_id":3,"":0,"":0,"":0,"":0,"":0,"":0,"":0,"modem_id":7,"":0,"":0,"":0,"":0,"":0,"":0,"":0})", 7},
        {R"({"modem_id":3,"":0,"":0,"":0,"":0,"":0,"":0,"":0,"modem_id":7,)"
         R"("":0,"":0,"":0,"":0,"":0,"":0,"":0,"":0})",
         3},
        // escaped names compare by UTF-16 code units, with raw ones by code points
        {"{\"\":0,\"\xf0\x90\x80\x80\":0,\"a\":0,\"a\":0,\"\":0,\"\\ue000\":0,\"\xef\xbf\xbd\":0,\"\":0,\"\":0,\"\":0,"
         "\"modem_i\\u0064\":3,\"\\u0061\":0,\"\\ue000\":0,\"\xee\x80\x80\":0,\"\":0,\"\\u006dodem_id\":7,"
         "\"\\ud800\\udc00\":0}",
         3},
        // raw names compare up to a NUL byte, then by length
        {"{\"\0b\":0,\"\0a\":0,\"\":0,\"\0\":0,\"\":0,\"\":0,\"\":0,\"\0a\":0,\"\":0,\"\":0,\"\":0,\"modem_id\":3,"
         "\"modem_id\":7,\"\":0,\"\":0,\"a\":0,\"\0b\":0}"sv,
         3},
    };
    for (const Row& row : rows) {
        const QByteArray body(row.body.data(), int(row.body.size()));
        const ModemIdResult r = decode(body);
        ASSERT_TRUE(r.modem_id.has_value()) << row.body;
        EXPECT_EQ(*r.modem_id, row.expected) << row.body;
        EXPECT_FALSE(r.binary) << row.body;
        EXPECT_EQ(qt_json_decision(body).modem_id, row.expected) << "QJsonDocument: " << row.body;
    }
    EXPECT_TRUE(log.raw().isEmpty()) << "text bodies never write to the log";
}

TEST_F(DecoderTest, OnlyAnObjectOrArrayWithJsonWhitespaceIsText)
{
    const QByteArray nested_1024 = QByteArray(1024, '[') + QByteArray(1024, ']');
    const QByteArray nested_1025 = QByteArray(1025, '[') + QByteArray(1025, ']');
    EXPECT_FALSE(decode(nested_1024).binary);
    const QByteArray not_json[] = {"", " ", "\n\t", "123", "\"text\"", "true", "{}x", "{} {}", "\f{}", "\v[]",
                                   "{\"a\":\"\xff\"}", "\xEF\xBB\xBF", QByteArray("{}\0", 3), " \xEF\xBB\xBF{}",
                                   "{\"a\":1e-400}", "{\"a\":1e400}", "{\"a\":-}", "{\"a\":1e}", "{\"a\":01}",
                                   "{\"a\":\"\\u12\"}", "{\"a\":\"\xed\xa0\x80\"}", nested_1025};
    for (const QByteArray& body : not_json) {
        EXPECT_TRUE(decode(body).binary) << '"' << body.left(40).constData() << '"';
        EXPECT_FALSE(qt_json_decision(body).text) << "QJsonDocument: " << body.left(40).constData();
    }
}

TEST_F(DecoderTest, EmptyBodyIsAnEmptyEnvelopeForEveryShard)
{
    const ModemIdResult r = decode(QByteArray());
    ASSERT_TRUE(r.modem_id.has_value());
    EXPECT_EQ(*r.modem_id, -1);
    EXPECT_TRUE(r.binary);
    EXPECT_TRUE(log.raw().isEmpty());
}

TEST_F(DecoderTest, NullIsNotTextAndFailsAsProtobufWithTheDumpLine)
{
    const ModemIdResult r = decode(QByteArray("null"));
    EXPECT_FALSE(r.modem_id.has_value());
    EXPECT_TRUE(r.binary);
    const QByteArray raw = log.raw();
    EXPECT_TRUE(raw.endsWith(" Error : cannot parse from binary array, size= 4\n hex arr: \n6e756c6c\n raw arr: \nnull\r\n"))
        << raw.constData();
    EXPECT_EQ(raw.count("\r\n"), 1);
}

TEST_F(DecoderTest, RawDumpKeepsBytesAfterAZeroByte)
{
    EXPECT_FALSE(decode(bytes({0xff, 0x00, 'A', 0xa0})).modem_id.has_value());
    const QString text = QTextCodec::codecForLocale()->toUnicode(log.raw());
    EXPECT_TRUE(text.endsWith(QStringLiteral("size= 4\n hex arr: \nff0041a0\n raw arr: \n\u00ff\\x00A\u00a0\r\n")))
        << text.toStdString();
}

TEST_F(DecoderTest, RawDumpEscapesControlBytesSoABodyCannotForgeLines)
{
    const QByteArray body = QByteArray("\r\n2026-12-08 09:00:00,000 : Shardex has been stopped...\r\n"
                                       "\x1b[2J\x1b]0;title\x07\\ ~")
                            + bytes({0x1f, 0x7f, 0x85, 0x9b, 0x9d}); // C1: NEL, CSI, OSC
    EXPECT_FALSE(decode(body).modem_id.has_value());
    const QByteArray raw = log.raw();
    EXPECT_TRUE(raw.endsWith("\n raw arr: \n\\x0d\\x0a2026-12-08 09:00:00,000 : Shardex has been stopped..."
                             "\\x0d\\x0a\\x1b[2J\\x1b]0;title\\x07\\\\ ~\\x1f\\x7f\\x85\\x9b\\x9d\r\n"))
        << raw.constData();
    EXPECT_EQ(raw.count("\r\n"), 1) << "one body, one entry";
    EXPECT_FALSE(raw.contains('\x1b'));
}

TEST_F(DecoderTest, AtMostTenDumpsInAnySixtySecondsTheOthersAreSummedUpOnceAMinute)
{
    for (int i = 0; i < 10; ++i, now_ms += 1000)
        decode(QByteArray("null"));
    now_ms = 59999;
    EXPECT_FALSE(decode(QByteArray("null")).modem_id.has_value());
    now_ms = 60000; // the first dump has left the window, the second not yet
    decode(QByteArray("null"));
    decode(QByteArray("nul"));
    EXPECT_EQ(log.lines().size(), 11) << "the bodies left out have no line of their own";
    EXPECT_EQ(log.grep(QStringLiteral("raw arr: \nnull")).size(), 11);
    now_ms = 119998;
    logLeftOutBodies(log.log(), dumps);
    EXPECT_EQ(log.lines().size(), 11) << "a minute has not passed since the first left out";
    now_ms = 119999;
    logLeftOutBodies(log.log(), dumps);
    const QStringList lines = log.lines();
    ASSERT_EQ(lines.size(), 12);
    EXPECT_TRUE(lines[11].endsWith(QStringLiteral(
        " Error : cannot parse from binary array: 2 further bodies, 7 bytes in all, in the last 60 s,"
        " neither dumped nor logged one by one (at most 10 bodies a minute are dumped)")))
        << lines[11].toStdString();
}

TEST_F(DecoderTest, DumpOfALargeBodyKeepsItsFirst4096Bytes)
{
    QByteArray body(5000, 'x');
    body[0] = char(0xff);
    body[4095] = 'y';
    body[4096] = 'z';
    EXPECT_FALSE(decode(body).modem_id.has_value());
    const QByteArray raw = log.raw();
    const QByteArray head = "Error : cannot parse from binary array, size= 5000\n hex arr: \n";
    const QByteArray note = " ... (904 more bytes)";
    const int hex_at = raw.indexOf(head) + head.size();
    ASSERT_GE(hex_at, head.size()) << raw.left(200).constData();
    const QByteArray hex = raw.mid(hex_at, raw.indexOf(note, hex_at) - hex_at);
    EXPECT_EQ(hex.size(), 8192);
    EXPECT_TRUE(hex.startsWith("ff7878") && hex.endsWith("787879")) << "up to the 4096th byte";
    EXPECT_TRUE(raw.contains(hex + note + "\n raw arr: \n"));
    EXPECT_TRUE(raw.endsWith(QByteArray(4094, 'x') + 'y' + note + "\r\n")) << "the raw part stops at the same byte";
    EXPECT_EQ(raw.count("\r\n"), 1);
}

TEST_F(DecoderTest, EnvelopesGiveThePayloadDeviceOrNone)
{
    binary_struct::ComplexMessage m;
    m.set_type(binary_struct::MsgPl);
    m.mutable_payload()->set_modem_id(77);
    m.mutable_payload()->set_msg_type("uplink");
    ModemIdResult r = decode(serialized(m));
    ASSERT_TRUE(r.modem_id.has_value());
    EXPECT_EQ(*r.modem_id, 77);
    EXPECT_TRUE(r.binary);

    m.set_type(binary_struct::MsgHb);
    EXPECT_EQ(decode(serialized(m)).modem_id, -1);

    m.set_type(binary_struct::MsgPl);
    m.mutable_payload()->set_modem_id(-5);
    EXPECT_EQ(decode(serialized(m)).modem_id, -5);

    m.mutable_payload()->clear_modem_id();
    EXPECT_EQ(decode(serialized(m)).modem_id, 0);

    binary_struct::ComplexMessage hb;
    hb.set_type(binary_struct::MsgPl);
    hb.mutable_heartbeat()->set_bs_id(3);
    hb.mutable_heartbeat()->mutable_latitude()->set_value(0.0);
    EXPECT_EQ(decode(serialized(hb)).modem_id, -1);
    EXPECT_TRUE(log.raw().isEmpty());
}

TEST_F(DecoderTest, HandWrittenEnvelopes)
{
    // payload { modem_id: 77 }, type left out (MsgPl)
    EXPECT_EQ(decode(bytes({0x12, 0x02, 0x48, 0x4d})).modem_id, 77);
    // the same with type 7, a number MsgType does not list
    EXPECT_EQ(decode(bytes({0x08, 0x07, 0x12, 0x02, 0x48, 0x4d})).modem_id, -1);
    // payload then heartbeat: the last member wins
    EXPECT_EQ(decode(bytes({0x12, 0x02, 0x48, 0x4d, 0x1a, 0x00})).modem_id, -1);
    // heartbeat then payload
    EXPECT_EQ(decode(bytes({0x1a, 0x00, 0x12, 0x02, 0x48, 0x4d})).modem_id, 77);
    // an unknown field 20 beside the payload is ignored
    EXPECT_EQ(decode(bytes({0xa0, 0x01, 0x05, 0x12, 0x02, 0x48, 0x4d})).modem_id, 77);
    // heartbeat { receiver { bands { ul_bitrates: 1, 2 unpacked } } }
    EXPECT_EQ(decode(bytes({0x1a, 0x08, 0x52, 0x06, 0x12, 0x04, 0x10, 0x01, 0x10, 0x02})).modem_id, -1);
    EXPECT_TRUE(log.raw().isEmpty());

    // truncated: the payload announces 5 bytes and carries 2
    EXPECT_FALSE(decode(bytes({0x12, 0x05, 0x48, 0x4d})).modem_id.has_value());
    EXPECT_EQ(log.grep(QStringLiteral("cannot parse from binary array, size= 4")).size(), 1);
}

TEST_F(DecoderTest, InvalidUtf8InAStringFieldFailsTheParse)
{
    // payload { msg_type: "\xff" modem_id: 77 }
    const ModemIdResult r = decode(bytes({0x12, 0x05, 0x12, 0x01, 0xff, 0x48, 0x4d}));
    EXPECT_FALSE(r.modem_id.has_value());
    EXPECT_TRUE(r.binary);
    EXPECT_EQ(log.grep(QStringLiteral("hex arr: \n12051201ff484d")).size(), 1);
}

TEST_F(DecoderTest, UnpackedRepeatedScalarsParseLikePacked)
{
    binary_struct::UBand packed;
    packed.add_ul_bitrates(1);
    packed.add_ul_bitrates(300);
    binary_struct::UBand unpacked;
    const QByteArray wire = bytes({0x10, 0x01, 0x10, 0xac, 0x02});
    ASSERT_TRUE(unpacked.ParseFromArray(wire.constData(), wire.size()));
    EXPECT_EQ(unpacked.SerializeAsString(), packed.SerializeAsString());
}
