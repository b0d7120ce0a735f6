// Device names of network lines and the Telnet stream of RFC 2217 lines.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/device_url.h"
#include "net/telnet.h"
#include "talvo.h"
#include "transports/transport_factory.h"

namespace talvo {
namespace {

TEST(DeviceUrl, SerialNamesAndNetworkUrls) {
    DeviceUrl url;
    std::string why;
    for (const char* serial : {"COM2", "\\\\.\\COM12", "/dev/ttyUSB0", "ttyS1"}) {
        EXPECT_EQ(CheckDevice(serial, why), 0) << serial;
        EXPECT_EQ(TransportKind(serial), "") << serial;
        EXPECT_FALSE(UsesNetwork(serial));
    }
    ASSERT_EQ(ParseUrl("tcp://10.1.2.3:4001", url, why), 0);
    EXPECT_EQ(url.scheme, "tcp");
    EXPECT_EQ(url.host, "10.1.2.3");
    EXPECT_EQ(url.port, 4001);
    ASSERT_EQ(ParseUrl("RFC2217://device-server.example_site:65535", url, why), 0);
    EXPECT_EQ(url.scheme, "rfc2217");
    EXPECT_EQ(url.host, "device-server.example_site");
    EXPECT_EQ(url.port, 65535);
    ASSERT_EQ(ParseUrl("rfc2217://[::1]:1", url, why), 0);
    EXPECT_EQ(url.host, "::1");
    EXPECT_EQ(url.port, 1);
    ASSERT_EQ(ParseUrl("tcp://[fe80::1%eth0]:4001", url, why), 0);
    EXPECT_EQ(url.host, "fe80::1%eth0");
    EXPECT_EQ(TransportKind("TCP://host:1"), "tcp");
    EXPECT_EQ(TransportKind("rfc2217://host:1"), "rfc2217");
    EXPECT_EQ(TransportKind("udp://host:1"), "?");
}

TEST(DeviceUrl, ProblemsAreNamed) {
    std::string why;
    for (const char* bad : {"tcp://", "tcp://host", "tcp://host:", "tcp://:4001", "tcp://host:40a1",
                            "tcp://host:4001/path", "tcp://host:4001?x", "tcp://ho st:1", "tcp://[::1:4001",
                            "tcp://[::1]4001", "tcp://[zz::1]:4001", "tcp://::1:4001", "tcp:/host:4001",
                            "rfc2217:host:4001", "://host:1", "tcp://host:-1"}) {
        EXPECT_EQ(CheckDevice(bad, why), TALVO_E_URL) << bad;
        EXPECT_FALSE(why.empty()) << bad;
        EXPECT_TRUE(UsesNetwork(bad)) << bad << ": opens as a network line and fails there";
    }
    for (const char* scheme : {"http://host:80", "udp://host:4001", "socket://host:4001"}) {
        EXPECT_EQ(CheckDevice(scheme, why), TALVO_E_SCHEME) << scheme;
        EXPECT_NE(why.find("unknown scheme"), std::string::npos);
    }
    // The known forms come from the factory's table of schemes.
    CheckDevice("udp://host:4001", why);
    EXPECT_EQ(why, "unknown scheme \"udp://\" in \"udp://host:4001\": a line is a serial device, "
                   "tcp://host:port or rfc2217://host:port");
    for (const char* port : {"tcp://host:0", "tcp://host:65536", "rfc2217://host:99999999999999999999"}) {
        EXPECT_EQ(CheckDevice(port, why), TALVO_E_URL_PORT) << port;
        EXPECT_NE(why.find("out of range"), std::string::npos);
    }
}

// Every device name gets a closed transport carrying the name; one that
// names no line gets one whose open fails with the name's problem, the way
// a network line's open fails.
TEST(TransportFactory, MakesATransportForEveryName) {
    for (const char* device : {"COM2", "tcp://127.0.0.1:1", "rfc2217://[::1]:1"}) {
        const std::unique_ptr<Transport> t = MakeTransport(device);
        ASSERT_NE(t, nullptr);
        EXPECT_FALSE(t->IsOpen());
        EXPECT_EQ(t->params.device, device);
    }
    struct Case {
        const char* device;
        std::int32_t code;
    };
    for (const Case& c : {Case{"tcp://host", TALVO_E_URL}, Case{"ftp://host:21", TALVO_E_SCHEME},
                          Case{"tcp://host:0", TALVO_E_URL_PORT}}) {
        const std::unique_ptr<Transport> t = MakeTransport(c.device);
        EXPECT_FALSE(t->Open(false)) << c.device;
        EXPECT_EQ(t->lastFailure, c.code) << c.device;
        std::string why;
        CheckDevice(c.device, why);
        EXPECT_EQ(t->failureText, why);
        const unsigned char frame[] = {0x02, 0x03};
        EXPECT_EQ(t->Write(frame, sizeof frame), 0u) << "nothing goes out on a name that names no line";
    }
}

std::string Decode(telnet::Decoder& d, std::vector<unsigned char> bytes, std::vector<unsigned char>& reply) {
    const std::uint32_t n = d.Decode(bytes.data(), static_cast<std::uint32_t>(bytes.size()), reply);
    return std::string(bytes.begin(), bytes.begin() + n);
}

TEST(Telnet, EscapesAndUnescapesFF) {
    const unsigned char data[] = {0x02, 0xFF, 0x41, 0xFF, 0xFF, 0x03};
    std::vector<unsigned char> wire;
    telnet::Escape(data, sizeof data, wire);
    EXPECT_EQ(wire, (std::vector<unsigned char>{0x02, 0xFF, 0xFF, 0x41, 0xFF, 0xFF, 0xFF, 0xFF, 0x03}));
    // Decoded in pieces split at every point, the data comes back whole.
    for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
        telnet::Decoder d;
        std::vector<unsigned char> reply;
        std::string out = Decode(d, {wire.begin(), wire.begin() + cut}, reply);
        out += Decode(d, {wire.begin() + cut, wire.end()}, reply);
        EXPECT_EQ(out, std::string(reinterpret_cast<const char*>(data), sizeof data)) << cut;
        EXPECT_TRUE(reply.empty());
    }
}

TEST(Telnet, CommandsAreTakenOutOfTheData) {
    telnet::Decoder d;
    std::vector<unsigned char> start;
    d.Start(start);
    std::vector<unsigned char> reply;
    // A server's answers to our offers, a request of its own (ECHO), a NOP,
    // a COM port answer carrying an escaped 0xFF and a notification, with
    // data bytes between them.
    const std::vector<unsigned char> in = {'A', 255, 253, 44,  255, 251, 0,   255, 253, 1,   'B', 255, 241,
                                           255, 250, 44,  101, 0,   0,   255, 255, 255, 240, 'C', 255, 250,
                                           44,  107, 0x30, 255, 240, 'D'};
    EXPECT_EQ(Decode(d, in, reply), "ABCD");
    EXPECT_TRUE(d.comPortAccepted);
    EXPECT_FALSE(d.comPortRefused);
    ASSERT_TRUE(d.answered & (1u << telnet::kSetBaud));
    EXPECT_EQ(d.value[telnet::kSetBaud], 0xFFu);
    // ECHO refused once; the server's WILL BINARY needs no answer (we asked).
    EXPECT_EQ(reply, (std::vector<unsigned char>{255, 252, 1}));
    reply.clear();
    Decode(d, {255, 253, 1, 255, 253, 44}, reply);
    EXPECT_TRUE(reply.empty()) << "a repeated request is not answered again";
    telnet::Decoder refusing;
    refusing.Start(start);
    Decode(refusing, {255, 254, 44}, reply);
    EXPECT_TRUE(refusing.comPortRefused);
}

TEST(Telnet, AnOverlongSubnegotiationIsSkipped) {
    telnet::Decoder d;
    std::vector<unsigned char> in = {255, 250, 44, 101};
    in.insert(in.end(), 200, 7);
    in.insert(in.end(), {255, 240, 'x'});
    std::vector<unsigned char> reply;
    EXPECT_EQ(Decode(d, in, reply), "x");
    EXPECT_EQ(d.answered, 0u);
}

}  // namespace
}  // namespace talvo
