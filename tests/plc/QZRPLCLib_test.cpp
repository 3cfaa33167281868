// The common layer of the PLC drivers, seen through the MELSEC family: the
// connection table and its ids, the id checks, the per-connection trace
// file, the byte-order helpers and the wrapping counter.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "plc/qzrplc.h"
#include "tests/support/PlcPeer.h"
#include "tests/support/TempDir.h"

namespace {

int trace_files(const std::string& dir)
{
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        n += entry.path().extension() == ".trc" ? 1 : 0;
    return n;
}

}  // namespace

// All 16 connections go to one listener: connects complete in its backlog.
TEST(PlcTableTest, SeventeenthOpenIsRefusedAndCloseFreesItsSlot)
{
    // A connect that fails leaves its slot free.
    EXPECT_LT(QZRPLCMelsecOpen(0, "127.0.0.1", plc_free_port(), 3, "", 0), 0);
    EXPECT_EQ(QZRPLCMelsecAcb(1), nullptr);

    PlcPeer peer;
    int port = peer.listen();
    ASSERT_GT(port, 0);
    for (int32_t expect = 1; expect <= QZRPLC_MAXID; ++expect)
        ASSERT_EQ(QZRPLCMelsecOpen(0, "127.0.0.1", port, 3, "", 0), expect);
    EXPECT_EQ(QZRPLCMelsecOpen(0, "127.0.0.1", port, 3, "", 0), -28);

    QZRPLCMelsecClose(7, 0);
    EXPECT_EQ(QZRPLCMelsecAcb(7), nullptr);
    EXPECT_EQ(QZRPLCMelsecOpen(0, "127.0.0.1", port, 4, "", 0), 7);
    ASSERT_NE(QZRPLCMelsecAcb(7), nullptr);
    EXPECT_EQ(QZRPLCMelsecAcb(7)->mode, 4);
    EXPECT_EQ(QZRPLCMelsecOpen(0, "127.0.0.1", port, 3, "", 0), -28);

    for (int32_t id = 1; id <= QZRPLC_MAXID; ++id)
        QZRPLCMelsecClose(id, 0);
    EXPECT_EQ(QZRPLCMelsecOpen(0, "127.0.0.1", port, 3, "", 0), 1);
    QZRPLCMelsecClose(1, 0);
}

TEST(PlcTableTest, CloseOfIdsNotOpenChangesNothing)
{
    PlcPeer peer;
    int port = peer.listen();
    ASSERT_GT(port, 0);
    int32_t a = QZRPLCMelsecOpen(0, "127.0.0.1", port, 3, "", 0);
    int32_t b = QZRPLCMelsecOpen(0, "127.0.0.1", port, 3, "", 0);
    ASSERT_EQ(a, 1);
    ASSERT_EQ(b, 2);
    ASSERT_TRUE(peer.accept(1000));
    int32_t sd = QZRPLCMelsecAcb(a)->sd;

    for (int32_t id : {0, 17, 3, -1, 1000})
        QZRPLCMelsecClose(id, 0);
    QZRPLCMelsecClose(b, 0);
    QZRPLCMelsecClose(b, 0);  // a second close of the freed slot
    ASSERT_NE(QZRPLCMelsecAcb(a), nullptr);
    EXPECT_EQ(QZRPLCMelsecAcb(a)->sd, sd);
    EXPECT_EQ(QZRPLCMelsecAcb(b), nullptr);
    for (int32_t id : {0, 17, -1, 3})
        EXPECT_EQ(QZRPLCMelsecAcb(id), nullptr) << id;

    // The connection still carries a request.
    uint16_t value = 0;
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0, {0x2A, 0x00})));
    EXPECT_EQ(QZRPLCMelsecGet(a, 0, 0xA8, 0, 1, &value, 1000), 2);
    EXPECT_EQ(value, 42);
    QZRPLCMelsecClose(a, 0);
}

TEST(PlcCommonTest, CountAddWrapsToZeroAboveTheMaximum)
{
    QZRPLCPcb pcb{};
    EXPECT_EQ(QZRPLCCountAdd(&pcb, 255), 1);
    pcb.count = 254;
    EXPECT_EQ(QZRPLCCountAdd(&pcb, 255), 255);
    EXPECT_EQ(QZRPLCCountAdd(&pcb, 255), 0);
    EXPECT_EQ(QZRPLCCountAdd(&pcb, 255), 1);
    pcb.count = 0xFFFE;
    EXPECT_EQ(QZRPLCCountAdd(&pcb, 0xFFFF), 0xFFFF);
    EXPECT_EQ(QZRPLCCountAdd(&pcb, 0xFFFF), 0);
    EXPECT_EQ(pcb.count, 0);
}

TEST(PlcCommonTest, ByteHelpersReverseEachValueOnlyWithFlag)
{
    uint8_t two[] = {1, 2, 3, 4, 5, 6};
    QZRPLCByte2(0, two, 3);
    EXPECT_EQ(std::memcmp(two, "\1\2\3\4\5\6", 6), 0);
    QZRPLCByte2(1, two, 2);  // the third value stays
    EXPECT_EQ(std::memcmp(two, "\2\1\4\3\5\6", 6), 0);

    uint8_t four[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    QZRPLCByte4(0, four, 2);
    EXPECT_EQ(std::memcmp(four, "\1\2\3\4\5\6\7\10\11", 9), 0);
    QZRPLCByte4(1, four, 2);
    EXPECT_EQ(std::memcmp(four, "\4\3\2\1\10\7\6\5\11", 9), 0);
}

TEST(PlcCommonTest, ChecksNeedAnOpenSlotAndItsSocketOrTrace)
{
    QZRPLCPcb linked{}, traced{};
    linked.sd = 5;
    traced.trace = 3;
    std::array<QZRPLCPcb*, QZRPLC_SLOTS> table{};
    table[1] = &linked;
    table[16] = &traced;

    EXPECT_EQ(QZRPLCCheckPcb(table.data(), 16, 1), 0);
    EXPECT_EQ(QZRPLCCheckPcb(table.data(), 16, 16), 0);
    for (int32_t id : {0, 2, 17, -1})
        EXPECT_EQ(QZRPLCCheckPcb(table.data(), 16, id), -9) << id;
    EXPECT_EQ(QZRPLCCheckPcb(table.data(), 8, 16), -9);  // beyond the count given

    EXPECT_EQ(QZRPLCCheckPcbSd(table.data(), 16, 1), 0);
    EXPECT_EQ(QZRPLCCheckPcbSd(table.data(), 16, 16), -9);
    EXPECT_EQ(QZRPLCCheckPcbSd(table.data(), 16, 2), -9);
    EXPECT_EQ(QZRPLCCheckPcbTd(table.data(), 16, 16), 0);
    EXPECT_EQ(QZRPLCCheckPcbTd(table.data(), 16, 1), -9);

    // Below two entries the single block passed by itself is entry 0.
    QZRPLCPcb* one[1] = {&linked};
    EXPECT_EQ(QZRPLCCheckPcb(one, 1, 0), 0);
    EXPECT_EQ(QZRPLCCheckPcb(one, 1, 1), -9);
    EXPECT_EQ(QZRPLCCheckPcbSd(one, 0, 0), 0);
    EXPECT_EQ(QZRPLCCheckPcbTd(one, 1, 0), -9);
    QZRPLCPcb* none[1] = {nullptr};
    EXPECT_EQ(QZRPLCCheckPcb(none, 1, 0), -9);
}

TEST(PlcTraceTest, LevelZeroCreatesNoFile)
{
    TempDir dir("plctrace");
    PlcPeer peer;
    int port = peer.listen();
    int32_t id = QZRPLCMelsecOpen(0, "127.0.0.1", port, 3, dir.path().c_str(), 0);
    ASSERT_GT(id, 0);
    EXPECT_EQ(QZRPLCMelsecAcb(id)->trace, 0);
    QZRPLCMelsecClose(id, 0);
    EXPECT_EQ(trace_files(dir.path()), 0);
}

TEST(PlcTraceTest, ClientAndServerFilesCarryConnectAndCloseLines)
{
    TempDir dir("plctrace");
    PlcPeer peer;
    int port = peer.listen();
    int32_t id = QZRPLCMelsecOpen(0, "127.0.0.1", port, 3, dir.path().c_str(), 1);
    ASSERT_GT(id, 0);
    int32_t sd = QZRPLCMelsecAcb(id)->sd;
    ASSERT_TRUE(peer.accept(1000));
    // Level 1 keeps out the call lines.
    ASSERT_TRUE(peer.send(mc_response(false, 0, 0, {0, 0})));
    uint16_t value;
    EXPECT_EQ(QZRPLCMelsecGet(id, 0, 0xA8, 0, 1, &value, 1000), 2);
    QZRPLCMelsecClose(id, 0);

    // The trace layer numbers the generations of a driver's file.
    char name[64];
    std::snprintf(name, sizeof name, "PLC(127.0.0.1_%06d).0000.trc", port);
    std::string text = FileText(dir / name);
    EXPECT_NE(text.find("[Connect] PLC [127.0.0.1:" + std::to_string(port) + "]  rtn=" + std::to_string(sd) + "\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[Close]   PLC"), std::string::npos) << text;
    EXPECT_EQ(text.find("[Get]"), std::string::npos) << text;

    // Server mode takes the accepted socket and names the file by host.
    int32_t server = QZRPLCMelsecOpen(QZRPLC_FLAG_SERVER, "plchost", peer.release(), 3, dir.path().c_str(), 1);
    ASSERT_GT(server, 0);
    QZRPLCMelsecClose(server, 0);
    text = FileText(dir / "PLC(Server_plchost).0000.trc");
    EXPECT_NE(text.find("[Connect] PLC [plchost:"), std::string::npos) << text;
    EXPECT_EQ(trace_files(dir.path()), 2);
}
