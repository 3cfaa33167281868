// Socket layer on real loopback sockets (127.0.0.1, ::1 and local paths):
// address text forms, error numbering, read time-outs and peer close,
// exact-length reads, writes to a vanished peer, multi-port accept, connect
// failures and time-outs, and the plain-socket forms.
#include "runtime/XKNSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempDir.h"
#include "tests/support/OpenFiles.h"

namespace {

using clk = std::chrono::steady_clock;

long ms_since(clk::time_point t0)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clk::now() - t0).count());
}

// A plain TCP socket bound to a free port of 127.0.0.1, or -1.
int bind_loopback(int32_t* port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t sl = sizeof sin;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &sl) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *port = ntohs(sin.sin_port);
    return fd;
}

std::string fmt6(const char* text)
{
    uint8_t a[16];
    if (inet_pton(AF_INET6, text, a) != 1)
        return "bad test input";
    char out[64];
    return XKNAddrFormat(XKN_FAMILY_IPV6, a, out, sizeof out) > 0 ? out : "error";
}

// A listening server, a connected client and the accepted side.
struct Link {
    XKNServer server{};
    XKNSocket client{};
    XKNSocket accepted{};
    char peer[64] = {};

    int32_t open(int32_t family, const char* host)
    {
        int32_t port = 0;
        int32_t rc = XKNTCPServerOpen(&server, family, host, 4, 1, &port);
        if (rc != 0)
            return rc;
        if ((rc = XKNTCPClientOpen(&client, family, host)) != 0)
            return rc;
        if ((rc = XKNTCPClientConnect(&client, 0, "", server.entry[0].port, 1000)) != 0)
            return rc;
        return XKNTCPServerAccept(&server, 1000, &accepted, peer, sizeof peer, nullptr);
    }
    ~Link()
    {
        if (client.socket > 0)
            XKNTCPClose(&client);
        if (accepted.socket > 0)
            XKNTCPClose(&accepted);
        XKNTCPServerClose(&server);
    }
};

}  // namespace

TEST(SocketAddrTest, FormatWritesFirstZeroRunAsDoubleColonWithinSize)
{
    EXPECT_EQ(fmt6("2001:db8:0:0:0:0:0:1"), "2001:db8::1");
    EXPECT_EQ(fmt6("::"), "::");
    EXPECT_EQ(fmt6("1:0:0:0:0:0:0:0"), "1::");
    EXPECT_EQ(fmt6("::1"), "::1");
    // The first run wins over a longer later one, and one group is a run.
    EXPECT_EQ(fmt6("1:0:2:0:0:0:0:3"), "1::2:0:0:0:0:3");
    EXPECT_EQ(fmt6("1:2:3:4:5:6:7:abcd"), "1:2:3:4:5:6:7:abcd");

    const uint8_t v4[4] = {192, 168, 10, 255};
    char text[16];
    EXPECT_EQ(XKNAddrFormat(XKN_FAMILY_IPV4, v4, text, sizeof text), 14);
    EXPECT_STREQ(text, "192.168.10.255");

    // "2001:db8::1" needs 12 bytes: one less must fail and write nothing past.
    uint8_t a[16];
    ASSERT_EQ(inet_pton(AF_INET6, "2001:db8::1", a), 1);
    char small[12];
    memset(small, 'X', sizeof small);
    EXPECT_EQ(XKNAddrFormat(XKN_FAMILY_IPV6, a, small, 11), XKW_E_INVAL);
    EXPECT_EQ(small[11], 'X');
    EXPECT_EQ(XKNAddrFormat(XKN_FAMILY_IPV6, a, small, 12), 11);
    EXPECT_EQ(XKNAddrFormat(AF_INET, v4, text, sizeof text), XKW_E_INVAL);
}

TEST(SocketAddrTest, ParseExpandsDoubleColonAndRejectsMalformedText)
{
    uint8_t a[16], want[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    ASSERT_EQ(XKNAddrParse(XKN_FAMILY_IPV6, "fe80::1", a), 0);
    EXPECT_EQ(memcmp(a, want, 16), 0);
    ASSERT_EQ(XKNAddrParse(XKN_FAMILY_IPV6, "FE80:0:0:0:0:0:0:1", a), 0);
    EXPECT_EQ(memcmp(a, want, 16), 0);

    for (const char* bad : {"", ":", ":::", "1::2::3", "12345::1", "1:2:3:4:5:6:7",
                            "1:2:3:4:5:6:7:8:9", "1:2:3:4::5:6:7:8", "g::1", "1:2:3:4:5:6:7:",
                            ":1:2:3:4:5:6:7", "::1 ", "::ffff:1.2.3.4"})
        EXPECT_EQ(XKNAddrParse(XKN_FAMILY_IPV6, bad, a), XKW_E_INVAL) << bad;

    uint8_t v4[4];
    ASSERT_EQ(XKNAddrParse(XKN_FAMILY_IPV4, "10.0.200.7", v4), 0);
    EXPECT_EQ(v4[0], 10);
    EXPECT_EQ(v4[2], 200);
    EXPECT_EQ(v4[3], 7);
    for (const char* bad : {"256.0.0.1", "1.2.3", "1.2.3.4.", "1.2.3.4.5", "a.b.c.d", " 1.2.3.4",
                            "1..2.3", "1000.1.1.1"})
        EXPECT_EQ(XKNAddrParse(XKN_FAMILY_IPV4, bad, v4), XKW_E_INVAL) << bad;

    // Every formatted address parses back to the same bytes.
    std::mt19937 rng(7);
    for (int i = 0; i < 300; ++i) {
        uint8_t src[16], back[16];
        for (int g = 0; g < 8; ++g) {
            unsigned v = (rng() % 3 == 0) ? 0 : rng() & 0xFFFF;
            src[2 * g] = static_cast<uint8_t>(v >> 8);
            src[2 * g + 1] = static_cast<uint8_t>(v);
        }
        char text[48];
        ASSERT_GT(XKNAddrFormat(XKN_FAMILY_IPV6, src, text, sizeof text), 0);
        ASSERT_EQ(XKNAddrParse(XKN_FAMILY_IPV6, text, back), 0) << text;
        ASSERT_EQ(memcmp(src, back, 16), 0) << text;
    }
}

TEST(SocketErrnoTest, TranslatesToDesktopSocketNumbers)
{
    EXPECT_EQ(XKNTranslateErrno(EPIPE), XKN_E_CONNRESET);
    EXPECT_EQ(XKNTranslateErrno(ECONNRESET), -10054);
    EXPECT_EQ(XKNTranslateErrno(ECONNREFUSED), -10061);
    EXPECT_EQ(XKNTranslateErrno(EADDRINUSE), -10048);
    EXPECT_EQ(XKNTranslateErrno(EAGAIN), -10035);
    EXPECT_EQ(XKNTranslateErrno(ENOTCONN), -10057);
    EXPECT_EQ(XKNTranslateErrno(ENOENT), -ENOENT);
    EXPECT_EQ(XKNTranslateErrno(0), -1);
}

TEST(SocketIoTest, ReadTimesOutWaitsWithoutLimitAndSeesPeerClose)
{
    Link l;
    ASSERT_EQ(l.open(XKN_FAMILY_IPV4, "127.0.0.1"), 0);
    char buf[16];

    auto t0 = clk::now();
    EXPECT_EQ(XKNTCPRead(&l.accepted, buf, sizeof buf, 500), XKW_E_TIMEOUT);
    EXPECT_GE(ms_since(t0), 450);
    EXPECT_LT(ms_since(t0), 2500);

    // Wait 0: blocks until the data that comes later.
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        XKNTCPWrite(&l.client, "late", 4);
    });
    t0 = clk::now();
    EXPECT_EQ(XKNTCPRead(&l.accepted, buf, sizeof buf, 0), 4);
    EXPECT_GE(ms_since(t0), 100);
    writer.join();
    EXPECT_EQ(memcmp(buf, "late", 4), 0);

    XKNTCPClose(&l.client);
    EXPECT_EQ(l.client.socket, 0);
    EXPECT_EQ(XKNTCPRead(&l.accepted, buf, sizeof buf, 1000), XKW_E_CLOSED);
    EXPECT_EQ(XKNTCPRead(&l.client, buf, sizeof buf, 10), XKW_E_BADHANDLE);
}

TEST(SocketIoTest, ReadAllReassemblesPiecesAndTimesOutOnAShortMessage)
{
    Link l;
    ASSERT_EQ(l.open(XKN_FAMILY_IPV4, "127.0.0.1"), 0);
    std::thread writer([&] {
        XKNTCPWrite(&l.client, "abcd", 4);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        XKNTCPWrite2(&l.client, "ef", 2, "gh", 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        XKNTCPWrite(&l.client, "ij", 2);
    });
    char buf[11] = {};
    EXPECT_EQ(XKNTCPReadAll(&l.accepted, buf, 10, 1000), 10);
    writer.join();
    EXPECT_STREQ(buf, "abcdefghij");

    ASSERT_EQ(XKNWrite(l.client.socket, "1234", 4), 4);
    EXPECT_EQ(XKNReadAll(l.accepted.socket, buf, 10, 200), XKW_E_TIMEOUT);
}

TEST(SocketIoTest, WriteToVanishedPeerFailsWithResetAndNoSignal)
{
    struct sigaction old{}, dfl{};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, &old);  // SIGPIPE would end this process
    {
        Link l;
        ASSERT_EQ(l.open(XKN_FAMILY_IPV4, "127.0.0.1"), 0);
        XKNTCPClose(&l.accepted);
        char chunk[4096] = {};
        int32_t rc = 0;
        for (int i = 0; i < 200 && rc >= 0; ++i) {
            rc = XKNTCPWrite(&l.client, chunk, sizeof chunk);
            if (rc >= 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(rc, XKN_E_CONNRESET);
    }
    sigaction(SIGPIPE, &old, nullptr);
}

TEST(SocketServerTest, AcceptWithNothingPendingReturnsOneAfterTheWait)
{
    EXPECT_EQ(XKNSetOptions(0, 0) & XKN_OPT_NUMERIC, XKN_OPT_NUMERIC);  // no reverse lookups
    XKNServer srv{};
    int32_t port = 0;
    ASSERT_EQ(XKNTCPServerOpen(&srv, XKN_FAMILY_IPV4, "127.0.0.1", 0, 1, &port), 0);
    EXPECT_GT(srv.entry[0].port, 0);
    XKNSocket s;
    memset(&s, 0x55, sizeof s);
    auto t0 = clk::now();
    EXPECT_EQ(XKNTCPServerAccept(&srv, 100, &s, nullptr, 0, nullptr), 1);
    EXPECT_GE(ms_since(t0), 90);
    EXPECT_LT(ms_since(t0), 1500);
    EXPECT_EQ(s.socket, 0);
    XKNTCPServerClose(&srv);
    EXPECT_EQ(srv.entry[0].socket, 0);
}

TEST(SocketServerTest, AcceptsOnSecondOfSeveralPortsAsBlockingNoDelaySocket)
{
    XKNServer srv{};
    int32_t ports[3] = {0, 0, 0};
    ASSERT_EQ(XKNTCPServerOpen(&srv, XKN_NONBLOCK | XKN_REUSEADDR | XKN_FAMILY_IPV4, nullptr, 0, 3,
                               ports),
              0);
    EXPECT_EQ(srv.entry[0].count, 3);
    EXPECT_NE(srv.entry[0].port, srv.entry[1].port);

    XKNSocket c{};
    ASSERT_EQ(XKNTCPClientOpen(&c, XKN_FAMILY_IPV4, "127.0.0.1"), 0);
    ASSERT_EQ(XKNTCPClientConnect(&c, 0, nullptr, srv.entry[1].port, 1000), 0);
    EXPECT_EQ(c.port, srv.entry[1].port);
    EXPECT_STREQ(c.name, "127.0.0.1");

    XKNSocket a{};
    char peer[16];
    int32_t port_out = 0;
    ASSERT_EQ(XKNTCPServerAccept(&srv, 1000, &a, peer, sizeof peer, &port_out), 0);
    EXPECT_EQ(port_out, srv.entry[1].port);
    EXPECT_EQ(a.port, port_out);
    EXPECT_EQ(a.count, 1);
    EXPECT_STREQ(a.name, "127.0.0.1");
    EXPECT_STREQ(peer, "127.0.0.1");
    EXPECT_EQ(fcntl(a.socket, F_GETFL) & O_NONBLOCK, 0);
    int nodelay = 0;
    socklen_t len = sizeof nodelay;
    getsockopt(a.socket, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len);
    EXPECT_NE(nodelay, 0);
    getsockopt(c.socket, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len);
    EXPECT_NE(nodelay, 0);

    // A non-blocking server with "no wait" still returns when nobody calls.
    XKNSocket none{};
    EXPECT_EQ(XKNTCPServerAccept(&srv, 0, &none, nullptr, 0, nullptr), 1);

    XKNTCPClose(&a);
    XKNTCPClose(&c);
    XKNTCPServerClose(&srv);
}

TEST(SocketServerTest, FailedOpenClosesThePortsAlreadyOpen)
{
    XKNServer first{};
    int32_t port = 0;
    ASSERT_EQ(XKNTCPServerOpen(&first, XKN_FAMILY_IPV4, "127.0.0.1", 0, 1, &port), 0);
    int before = OpenDescriptors();
    XKNServer srv{};
    int32_t ports[3] = {0, 0, first.entry[0].port};
    EXPECT_EQ(XKNTCPServerOpen(&srv, XKN_FAMILY_IPV4, "127.0.0.1", 0, 3, ports), XKN_E_ADDRINUSE);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(srv.entry[0].socket, 0);
    XKNTCPServerClose(&first);
}

TEST(SocketServerTest, Ipv6LoopbackShowsPeerAsIpv6Text)
{
    Link l;
    ASSERT_EQ(l.open(XKN_FAMILY_IPV6, "::1"), 0);
    EXPECT_STREQ(l.peer, "::1");
    EXPECT_STREQ(l.accepted.name, "::1");
    ASSERT_EQ(XKNTCPWrite(&l.accepted, "v6", 2), 2);
    char buf[4] = {};
    EXPECT_EQ(XKNTCPReadAll(&l.client, buf, 2, 1000), 2);
    EXPECT_STREQ(buf, "v6");
}

TEST(SocketServerTest, PeerNamesComeFromTheResolverOnlyWhenAskedFor)
{
    // The hosts file answers for loopback, so no query leaves the machine.
    char host[NI_MAXHOST];
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (getnameinfo(reinterpret_cast<sockaddr*>(&sin), sizeof sin, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) != 0)
        GTEST_SKIP() << "no name for 127.0.0.1 here";
    {
        Link numeric;
        ASSERT_EQ(numeric.open(XKN_FAMILY_IPV4, "127.0.0.1"), 0);
        EXPECT_STREQ(numeric.peer, "127.0.0.1");
    }
    int32_t before = XKNSetOptions(XKN_OPT_NUMERIC, 0);
    EXPECT_EQ(before & XKN_OPT_NUMERIC, XKN_OPT_NUMERIC);
    {
        Link named;
        ASSERT_EQ(named.open(XKN_FAMILY_IPV4, "127.0.0.1"), 0);
        EXPECT_STREQ(named.peer, host);
        EXPECT_STREQ(named.accepted.name, host);
    }
    XKNSetOptions(XKN_OPT_NUMERIC, before);
}

TEST(SocketServerTest, LocalSocketPathServesAndIsRemovedOnClose)
{
    TempDir tmp_{"xkn"};
    std::string path = tmp_ / "link.sock";
    {
        Link l;
        ASSERT_EQ(l.open(XKN_FAMILY_LOCAL, path.c_str()), 0);
        EXPECT_EQ(l.accepted.name, path);
        ASSERT_EQ(XKNTCPWrite(&l.client, "loc", 3), 3);
        char buf[4] = {};
        EXPECT_EQ(XKNTCPReadAll(&l.accepted, buf, 3, 1000), 3);
        EXPECT_STREQ(buf, "loc");
    }
    struct stat st{};
    EXPECT_NE(lstat(path.c_str(), &st), 0);
    XKNServer srv{};
    int32_t port = 0;
    EXPECT_EQ(XKNTCPServerOpen(&srv, XKN_FAMILY_LOCAL, "", 0, 1, &port), XKW_E_INVAL);
    EXPECT_EQ(XKNTCPServerOpen(&srv, XKN_FAMILY_LOCAL, std::string(200, 'p').c_str(), 0, 1, &port),
              XKW_E_INVAL);
}

TEST(SocketServerTest, PlainSocketFormsListenConnectByServiceAndAccept)
{
    int32_t ls = XKNTCPListen("127.0.0.1", XKN_FAMILY_IPV4 << 16, nullptr, 0);
    ASSERT_GT(ls, 2);
    sockaddr_in sin{};
    socklen_t sl = sizeof sin;
    ASSERT_EQ(getsockname(ls, reinterpret_cast<sockaddr*>(&sin), &sl), 0);
    std::string service = std::to_string(ntohs(sin.sin_port));

    int32_t cs = XKNTCPConnectTo("127.0.0.1", 0, service.c_str());
    ASSERT_GT(cs, 2);
    char peer[32];
    int32_t as = XKNTCPAcceptOne(ls, peer, sizeof peer);
    ASSERT_GT(as, 2);
    EXPECT_STREQ(peer, "127.0.0.1");
    EXPECT_EQ(XKNWrite(cs, "plain", 5), 5);
    char buf[6] = {};
    EXPECT_EQ(XKNReadAll(as, buf, 5, 1000), 5);
    EXPECT_STREQ(buf, "plain");
    EXPECT_EQ(XKNShutdown(cs, 2), 0);
    EXPECT_EQ(XKNRead(as, buf, 5, 1000), XKW_E_CLOSED);
    EXPECT_EQ(XKNClose(as), 0);
    EXPECT_EQ(XKNClose(cs), 0);
    EXPECT_EQ(XKNTCPUnlisten(ls), 0);
    EXPECT_EQ(XKNTCPConnectTo("127.0.0.1", 0, "no-such-service-xkn"), -10109);
}

TEST(SocketConnectTest, RefusedConnectFailsByModeAndDropsTheSocket)
{
    // A port that was free a moment ago: nothing listens there.
    int32_t port = 0;
    int probe = bind_loopback(&port);
    ASSERT_GE(probe, 0);
    close(probe);

    XKNSocket c{};
    ASSERT_EQ(XKNTCPClientOpen(&c, XKN_FAMILY_IPV4, "127.0.0.1"), 0);
    EXPECT_EQ(XKNTCPClientConnect(&c, 0, nullptr, port, 1000), XKW_E_CONNECT);
    EXPECT_EQ(c.socket, 0);
    EXPECT_EQ(XKNTCPClientConnect(&c, 0, nullptr, port, 1000), XKW_E_BADHANDLE);

    ASSERT_EQ(XKNTCPClientOpen(&c, XKN_FAMILY_IPV4, "127.0.0.1"), 0);
    EXPECT_EQ(XKNTCPClientConnect(&c, XKN_KEEPSOCKET, nullptr, port, 0), XKW_E_TIMEOUT);
    EXPECT_GT(c.socket, 0);
    EXPECT_EQ(fcntl(c.socket, F_GETFL) & O_NONBLOCK, 0);
    XKNTCPClose(&c);
    EXPECT_EQ(XKNTCPClientConnect(&c, 0, nullptr, 0, 100), XKW_E_BADHANDLE);
}

TEST(SocketConnectTest, SilentPeerTimesOutAfterTheWait)
{
    // A listener that never accepts, with a queue of one: once the queue is
    // full its SYNs are dropped and a connect can only time out.
    int32_t port = 0;
    int ls = bind_loopback(&port);
    ASSERT_GE(ls, 0);
    ASSERT_EQ(listen(ls, 0), 0);

    std::vector<XKNSocket> filled;
    int32_t rc = 0;
    long took = 0;
    XKNSocket c{};
    for (int i = 0; i < 8 && rc == 0; ++i) {
        ASSERT_EQ(XKNTCPClientOpen(&c, XKN_FAMILY_IPV4, "127.0.0.1"), 0);
        auto t0 = clk::now();
        rc = XKNTCPClientConnect(&c, 0, nullptr, port, 300);
        took = ms_since(t0);
        if (rc == 0)
            filled.push_back(c);
    }
    EXPECT_EQ(rc, XKW_E_TIMEOUT);
    EXPECT_GE(took, 280);
    EXPECT_LT(took, 1500);
    EXPECT_EQ(c.socket, 0);

    ASSERT_EQ(XKNTCPClientOpen(&c, XKN_FAMILY_IPV4, "127.0.0.1"), 0);
    EXPECT_EQ(XKNTCPClientConnect(&c, XKN_KEEPSOCKET, nullptr, port, 300), XKW_E_TIMEOUT);
    EXPECT_GT(c.socket, 0);
    XKNTCPClose(&c);
    for (auto& f : filled)
        XKNTCPClose(&f);
    close(ls);
}
