// The PLC simulator as a user runs it: a real plcsim process plays the PLC
// of a bridge (running in this process, on the shipped message
// definitions) for every PLC family, a library session plays the host, and
// messages cross both ways. Then its answering side alone, against the
// drivers' client sides.
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "plc/qzrplc.h"
#include "runtime/XKWMem.h"
#include "tests/support/BridgeRig.h"
#include "tests/support/ChildConsole.h"
#include "tests/support/SecsLine.h"
#include "tests/support/TempDir.h"
#include "tools/plcsim/PlcSim.h"

namespace {

enum class Link { Melsec3E, Melsec4E, Omron, KeyenceTcp, KeyenceSerial, Memory };

const char* link_name(Link link)
{
    static constexpr const char* names[] = {"Melsec3E", "Melsec4E", "Omron", "KeyenceTcp", "KeyenceSerial", "Memory"};
    return names[int(link)];
}

// The PLC as plcsim plays it: the [PLC] keys that reach it. Its memory is
// the simulator's own, reached only through the bridge and the
// simulator's commands.
class SimPlc : public BridgePlc {
public:
    explicit SimPlc(Link link)
        : BridgePlc(link == Link::Memory ? RigDevices{0, 1, 0, 1, 2, 3, 0, QZVQ_INFORM_WORDS}
                                         : RigDevices{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x100, 0x120}),
          link_(link), image_("plcsimtest" + std::to_string(::getpid()))
    {
    }
    ~SimPlc() override { XKWMemRemove(image_.c_str()); }

    bool ready() const override { return true; }
    std::string link_keys() const override
    {
        switch (link_) {
        case Link::Melsec3E:
        case Link::Melsec4E:
            return "PLCTYPE=0\nPLCHOST=127.0.0.1\nPLCPORT=" + std::to_string(port) +
                   (link_ == Link::Melsec4E ? "\nPLCOPT0=1\n" : "\nPLCOPT0=0\n");
        case Link::Omron:
            return "PLCTYPE=2\nPLCHOST=127.0.0.1\nPLCPORT=" + std::to_string(port) + "\nPLCOPT0=0\n";
        case Link::KeyenceTcp:
            return "PLCTYPE=4\nPLCHOST=127.0.0.1\nPLCPORT=" + std::to_string(port) + "\n";
        case Link::KeyenceSerial:
            return "PLCTYPE=0x204\nPLCHOST=" + serial + "\nPLCPORT=0x2005\n";
        default:
            return "PLCTYPE=15\nPLCHOST=" + image_ + "\nPLCPORT=65536\n";
        }
    }
    std::string code() const override
    {
        return link_ == Link::Omron ? "0x82" : link_ == Link::KeyenceTcp || link_ == Link::KeyenceSerial ? "DM" : "0xA8";
    }
    void read(int32_t, int32_t, uint16_t*, int32_t) override { ADD_FAILURE() << "the simulator owns the memory"; }
    void write(int32_t, int32_t, const uint16_t*, int32_t) override { ADD_FAILURE() << "the simulator owns the memory"; }

    int port = 0;
    std::string serial;  // the bridge's end of the serial line

private:
    const Link link_;
    const std::string image_;
};

class Plcsim : public ChildConsole {
public:
    Plcsim(const std::string& dir, std::vector<std::string> args)
        : ChildConsole(XKS_PLCSIM_PATH, dir, "plcsim", std::move(args))
    {
    }
};

class PlcSimBridgeTest : public ::testing::TestWithParam<Link> {};

// A host message reaches the simulator's memory and is shown with its
// items; the simulator answers it with its defined reply; a message typed
// at its prompt, with item values, reaches the host.
TEST_P(PlcSimBridgeTest, MessagesCrossBothWays)
{
    const Link link = GetParam();
    SimPlc plc(link);
    BridgeRig rig(plc, {.sml = plc.definitions(FileText(XKS_SOURCE_DIR "/examples/equipment.sml"))});
    ASSERT_TRUE(rig.write_files());

    PtyLink line;
    std::vector<std::string> args = {"-a", "+i", rig.ini()};
    if (link == Link::KeyenceSerial) {
        ASSERT_TRUE(line.start());
        plc.serial = line.name_b();
        args.insert(args.end(), {"-s", line.name_a()});
    } else if (link != Link::Memory) {
        args.insert(args.end(), {"-p", "0"});
    }
    Plcsim sim(rig.dir(), args);
    ASSERT_TRUE(sim.started());
    ASSERT_TRUE(sim.expect("plcsim ")) << sim.text();
    if (link != Link::Memory && link != Link::KeyenceSerial) {
        ASSERT_TRUE(sim.expect("127.0.0.1:")) << sim.text();
        std::smatch m;
        std::string rest = sim.rest();
        ASSERT_TRUE(std::regex_search(rest, m, std::regex("^(\\d+)"))) << rest;
        plc.port = std::stoi(m[1]);
    }
    ASSERT_TRUE(sim.expect("PLC status on")) << sim.text();

    ASSERT_EQ(rig.start(), 0) << rig.lines().all();
    ASSERT_TRUE(rig.open_host());
    ASSERT_TRUE(sim.printed_within("SECS ready", 8000)) << sim.text() << rig.lines().all();

    // Host to PLC, and the defined reply back.
    std::vector<uint8_t> s10f3 = RigList(2);
    for (const auto& part : {RigItem(010, "\x05", 1), RigAscii("DOOR OPEN")})
        s10f3.insert(s10f3.end(), part.begin(), part.end());
    int32_t xid = rig.host.send(0x8A03, s10f3);
    ASSERT_GT(xid, 0);
    char head[64];
    std::snprintf(head, sizeof head, "RECEIVE S10F3 W [S10F3] devid=1 xid=0x%08X", unsigned(xid));
    ASSERT_TRUE(sim.printed_within(head)) << sim.text() << rig.lines().all();
    ASSERT_TRUE(sim.printed_within("  TEXT = \"DOOR OPEN\"")) << sim.text() << rig.lines().all();
    EXPECT_TRUE(sim.printed("  TID = 0x05")) << sim.text();
    ASSERT_TRUE(rig.host.wait(0x0A04, 1, 5000)) << sim.text() << rig.lines().all();
    RigMessage reply = rig.host.messages(0x0A04)[0];
    EXPECT_EQ(reply.xid, uint32_t(xid));
    EXPECT_EQ(reply.body, (std::vector<uint8_t>{0x21, 0x01, 0x00}));  // ACKC10 0, as defined

    // PLC to host, with values typed at the prompt.
    sim.type("send S6F11 DATAID=7 CEID=1001\n");
    ASSERT_TRUE(rig.host.wait(0x860B, 1, 5000)) << sim.text() << rig.lines().all();
    EXPECT_EQ(rig.host.messages(0x860B)[0].body, RigBody({RigList(3), RigU4(7), RigU4(1001), RigList(0)}));
    ASSERT_TRUE(sim.printed_within("ACK S6F11")) << sim.text();
    EXPECT_TRUE(sim.printed("  CEID = 1001")) << sim.text();

    rig.stop();
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.exit_status(5000), 0);
    EXPECT_TRUE(sim.printed("plcsim stopped"));
}

INSTANTIATE_TEST_SUITE_P(Families, PlcSimBridgeTest,
                         ::testing::Values(Link::Melsec3E, Link::Melsec4E, Link::Omron, Link::KeyenceTcp,
                                           Link::KeyenceSerial, Link::Memory),
                         [](const auto& info) { return link_name(info.param); });

// What an operator types is checked: unknown messages, items and values
// are refused with their reason and nothing is raised; memory can be read
// and written by device; bad options end the program with status 2.
TEST(PlcSimCommandTest, OperatorInputIsCheckedAndMemoryReachable)
{
    SimPlc plc(Link::Melsec3E);
    BridgeRig rig(plc, {.sml = FileText(XKS_SOURCE_DIR "/examples/equipment.sml")});
    ASSERT_TRUE(rig.write_files());
    Plcsim sim(rig.dir(), {"+i", rig.ini(), "-p", "0"});
    ASSERT_TRUE(sim.expect("PLC status on")) << sim.text();
    sim.type("send S99F1\nsend S6F11 CEID=abc\nsend S6F11 NOSUCH=1\nsend S6F11 CEID\n");
    EXPECT_TRUE(sim.expect("send error: no message S99F1 in the definitions")) << sim.text();
    EXPECT_TRUE(sim.expect("send error: bad value for CEID: abc")) << sim.text();
    EXPECT_TRUE(sim.expect("send error: no item NOSUCH in S6F11")) << sim.text();
    EXPECT_TRUE(sim.expect("send: not ITEM=VALUE: CEID")) << sim.text();
    sim.type("get 0xA8,0x10\nset 0xA8,0x200 5 0x10\nget 0xA8,0x1FF 3\nfly\nstatus\n");
    EXPECT_TRUE(sim.expect("0xA8,0x10: 1")) << sim.text();  // the PLC status device
    EXPECT_TRUE(sim.expect("0xA8,0x1FF: 0 5 16")) << sim.text();
    EXPECT_TRUE(sim.expect("unknown command fly")) << sim.text();
    EXPECT_TRUE(sim.expect("plc=run secs=not-ready plcreq=idle pcreq=idle received=0 sent=0 queued=0")) << sim.text();
    // Without a bridge requests wait, up to a bound.
    std::string many;
    for (int i = 0; i < 65; ++i)
        many += "send S6F11\n";
    sim.type(many + "status\n");
    EXPECT_TRUE(sim.expect("send error: 64 requests are waiting already")) << sim.text();
    EXPECT_TRUE(sim.expect("queued=64")) << sim.text();
    sim.type("quit\n");
    EXPECT_EQ(sim.exit_status(5000), 0);

    Plcsim bad(rig.dir(), {"-x"});
    EXPECT_EQ(bad.exit_status(5000), 2);
    EXPECT_TRUE(bad.printed("plcsim: unknown option -x")) << bad.text();
    Plcsim no_family(rig.dir(), {"-p", "0"});
    EXPECT_EQ(no_family.exit_status(5000), 1);
    EXPECT_TRUE(no_family.printed("give a PLC family")) << no_family.text();
}

// The answering side in this process, a driver's client on loopback.
class PlcSimServerTest : public ::testing::Test {
protected:
    int32_t serve(plcsim::Family family)
    {
        image_ = std::make_unique<plcsim::DeviceImage>(family);
        server_ = std::make_unique<plcsim::SimServer>(*image_, [](const std::string&) {}, false);
        int32_t rc = server_->start_tcp("127.0.0.1", 0);
        return rc < 0 ? rc : server_->port();
    }
    std::unique_ptr<plcsim::DeviceImage> image_;
    std::unique_ptr<plcsim::SimServer> server_;
};

// Words and bit points are kept per device code, and a bit device holds
// one value per point.
TEST_F(PlcSimServerTest, MelsecWordsAndBitsArePlcMemory)
{
    int32_t port = serve(plcsim::Family::Melsec4E);
    ASSERT_GT(port, 0);
    int32_t id = QZRPLCMelsecOpen(0, "127.0.0.1", port, 4, "", 0);
    ASSERT_GT(id, 0);
    const uint16_t words[3] = {1, 0xBEEF, 3};
    EXPECT_EQ(QZRPLCMelsecSet(id, 0, 0xA8, 100, 3, words, 1000), 6);
    uint16_t back[4] = {};
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, 0xA8, 99, 4, back, 1000), 8);
    EXPECT_EQ(back[0], 0);
    EXPECT_EQ(back[2], 0xBEEF);
    EXPECT_EQ(back[3], 3);
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, 0xB4, 100, 1, back, 1000), 2);  // W is another device
    EXPECT_EQ(back[0], 0);
    const uint8_t bits[3] = {1, 0, 1};
    EXPECT_GE(QZRPLCMelsecSet(id, 0, 0x90, 7, 3, bits, 1000), 0);
    uint8_t bits_back[3] = {9, 9, 9};
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, 0x90, 7, 3, bits_back, 1000), 3);
    EXPECT_EQ(std::vector<uint8_t>(bits_back, bits_back + 3), std::vector<uint8_t>({1, 0, 1}));
    QZRPLCMelsecClose(id, 0);
}

// A CIO bit is a bit of the CIO word of the same address; a node
// address exchange precedes the requests.
TEST_F(PlcSimServerTest, OmronBitAreasAreTheBitsOfTheirWords)
{
    int32_t port = serve(plcsim::Family::Omron);
    ASSERT_GT(port, 0);
    int32_t id = QZRPLCOmronOpen(0, "127.0.0.1", port, 0, "", 0);
    ASSERT_GT(id, 0);
    const uint8_t on[2] = {1, 1};
    EXPECT_GE(QZRPLCOmronSet(id, 0, 0x30, 10, 3, 2, on, 1000), 0);
    uint16_t word = 0;
    EXPECT_EQ(QZRPLCOmronGet(id, 0, 0xB0, 10, 0, 1, &word, 1000), 2);
    EXPECT_EQ(word, 0x0018);
    const uint16_t dm[2] = {0x1234, 0x5678};
    EXPECT_EQ(QZRPLCOmronSet(id, 0, 0x82, 500, 0, 2, dm, 1000), 4);
    uint16_t dm_back[2] = {};
    EXPECT_EQ(QZRPLCOmronGet(id, 0, 0x82, 500, 0, 2, dm_back, 1000), 4);
    EXPECT_EQ(dm_back[1], 0x5678);
    uint8_t bit = 0;
    EXPECT_EQ(QZRPLCOmronGet(id, 0, 0x02, 500, 4, 1, &bit, 1000), 1);  // DM bit 4 of 0x1234
    EXPECT_EQ(bit, 1);
    QZRPLCOmronClose(id, 0);
}

// 32-bit devices keep full values; STS and RSS set and reset relays.
TEST_F(PlcSimServerTest, KeyenceDevicesKeepTheirUnits)
{
    int32_t port = serve(plcsim::Family::Keyence);
    ASSERT_GT(port, 0);
    int32_t id = QZRPLCKeyenceOpen(0, "127.0.0.1", port, 0, "", 0);
    ASSERT_GT(id, 0);
    const uint32_t counts[2] = {70000, 4000000000u};
    EXPECT_EQ(QZRPLCKeyenceSet(id, 0, "CC", 3, 2, counts, 1000), 8);
    uint32_t back[2] = {};
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "CC", 3, 2, back, 1000), 8);
    EXPECT_EQ(back[0], 70000u);
    EXPECT_EQ(back[1], 4000000000u);
    EXPECT_EQ(QZRPLCKeyenceBit(id, 0, "MR", 17, 3, 1, 1000), 0);
    EXPECT_EQ(QZRPLCKeyenceBit(id, 0, "MR", 18, 1, 0, 1000), 0);
    uint8_t relays[4] = {};
    EXPECT_EQ(QZRPLCKeyenceGet(id, 0, "MR", 16, 4, relays, 1000), 4);
    EXPECT_EQ(std::vector<uint8_t>(relays, relays + 4), std::vector<uint8_t>({0, 1, 0, 1}));
    QZRPLCKeyenceClose(id, 0);
}

// Points beyond an area, or a shared image too small for them, are
// refused rather than touched.
TEST(PlcSimMemoryTest, AccessesOutsideTheMemoryAreRefused)
{
    plcsim::DeviceImage image(plcsim::Family::Melsec3E);
    uint16_t w[2] = {};
    EXPECT_FALSE(image.get(3, {0xA8, ""}, plcsim::DeviceImage::kCells - 1, 0, 2, w));
    EXPECT_TRUE(image.get(3, {0xA8, ""}, plcsim::DeviceImage::kCells - 2, 0, 2, w));
    EXPECT_FALSE(image.put(3, {0xA8, ""}, -1, 0, 1, w));

    std::string name = "plcsimmem" + std::to_string(::getpid());
    {
        plcsim::SharedImage shared(name, 140);
        ASSERT_TRUE(shared.ready());
        const uint16_t two[2] = {0x0101, 7};
        EXPECT_TRUE(shared.put(3, {}, 1, 0, 1, two + 1));    // bytes 138-139
        EXPECT_FALSE(shared.put(3, {}, 1, 0, 2, two));       // would reach byte 141
        EXPECT_TRUE(shared.put(1, {}, 0, 0, 1, two));        // a byte point keeps its low byte
        EXPECT_TRUE(shared.get(1, {}, 0, 0, 1, w));
        EXPECT_EQ(w[0], 1);
        EXPECT_TRUE(shared.get(3, {}, 1, 0, 1, w));
        EXPECT_EQ(w[0], 7);
        EXPECT_FALSE(shared.get(4, {}, 0, 0, 1, w));
    }
    XKWMemRemove(name.c_str());
}

// Values typed for items: numbers by format, ranges checked, text as
// it is; and shown back the same way.
TEST(PlcSimValueTest, ValuesFollowTheItemFormat)
{
    std::vector<uint8_t> bytes;
    int32_t count = 0;
    ASSERT_TRUE(plcsim::parse_value(054, "1, 0x10 70000", &bytes, &count));
    EXPECT_EQ(count, 3);
    EXPECT_EQ(plcsim::value_text(054, bytes.data(), count), "1 16 70000");
    EXPECT_FALSE(plcsim::parse_value(051, "256", &bytes, &count));
    EXPECT_FALSE(plcsim::parse_value(052, "-1", &bytes, &count));
    ASSERT_TRUE(plcsim::parse_value(031, "-128", &bytes, &count));
    EXPECT_EQ(plcsim::value_text(031, bytes.data(), count), "-128");
    EXPECT_FALSE(plcsim::parse_value(031, "128", &bytes, &count));
    ASSERT_TRUE(plcsim::parse_value(044, "2.5", &bytes, &count));
    EXPECT_EQ(plcsim::value_text(044, bytes.data(), count), "2.5");
    ASSERT_TRUE(plcsim::parse_value(011, "true 0", &bytes, &count));
    EXPECT_EQ(bytes, std::vector<uint8_t>({1, 0}));
    EXPECT_FALSE(plcsim::parse_value(011, "2", &bytes, &count));
    EXPECT_FALSE(plcsim::parse_value(052, "12x", &bytes, &count));
    ASSERT_TRUE(plcsim::parse_value(020, "two words", &bytes, &count));
    EXPECT_EQ(count, 9);
    EXPECT_EQ(plcsim::value_text(020, bytes.data(), count), "\"two words\"");
    EXPECT_FALSE(plcsim::parse_value(000, "1", &bytes, &count));  // a list has no value
}

}  // namespace
