#include "secs/XKSMDMssg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../support/MDSession.h"
#include "runtime/XKWResult.h"
#include "secs/XKSMssg.h"

namespace {

// The listing of a handle as text, through a memory stream.
std::string listing(int32_t handle, int32_t mode)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    EXPECT_EQ(XKSMDDump(handle, mode, f), 0);
    std::fclose(f);
    std::string text(buf, len);
    std::free(buf);
    return text;
}

const char* kSmall =
    "S1F2 E\n"
    "<L[2]\n"
    "<A[6]MDLN ALPHA1\n"
    "<U2[2]NUMS 1,2 3,4\n"
    ">\n";

TEST(MDTableTest, ListingOfASmallTableIsExact)
{
    MDSession s;
    int32_t h = s.open("small.sml", kSmall);
    ASSERT_GT(h, 0);
    const std::string want =
        "\n[TABLE SIZE]\n"
        "#of item         :       4 ..       4,       4\n"
        "#of messgae      :       1\n"
        "#of message item :       3 ..       3,       3\n"
        "#of pool bytes   :      14 ..      14,      14\n"
        "\n[ITEM]\n"
        "   0:                               form: 0.000   sz:0  nop:    0.. 0\n"
        "   1:                               form: 0.010   sz:1  nop:    0.. 0\n"
        "   2:MDLN                           form: 0.020   sz:1  nop:    6.. 6\n"
        "   3:NUMS                           form: 0.052   sz:2  nop:    2.. 2\n"
        "\n[MSSG(0)]\n"
        "   0:S1F2               ( mno) e dp sf  :0x0102  at:0x02   noi:     3 ino:   0\n"
        "     0:L,2              (   0)    0 form: 0.000  sz: 0  nop: 2: 0.. 0 nol:   0\n"
        "     1:MDLN             (   2)    0 form: 0.020  sz: 1  nop: 6: 6.. 6 nol:   6 >ALPHA1.\n"
        "     2:NUMS             (   3)    0 form: 0.052  sz: 2  nop: 2: 2.. 2 nol:   4 >1,2\n"
        "                                                                             >3,4\n";
    EXPECT_EQ(listing(h, 0), want);

    // Mode 1 lists the instance being built, without the item table.
    ASSERT_EQ(XKSMDSelect(h, 0, nullptr, 256, "s1f2"), 0);
    std::string built = listing(h, 1);
    EXPECT_EQ(built.find("[ITEM]"), std::string::npos);
    EXPECT_NE(built.find("\n[MSSG(1)]\n   0:S1F2 "), std::string::npos) << built;
    EXPECT_NE(built.find(":MDLN "), std::string::npos) << built;
}

TEST(MDTableTest, OpenChecksSessionFileAndHandles)
{
    MDSession s;
    EXPECT_EQ(XKSMDOpen(0, 0, "x.sml"), XKW_E_BADHANDLE);
    EXPECT_EQ(XKSMDOpen(0, s.session(), (s.dir() / "missing.sml").c_str()), XKW_E_NOTFOUND);
    EXPECT_EQ(XKSMDClose(0, 0), XKW_E_BADHANDLE);
    EXPECT_EQ(XKSMDDump(65, 0, nullptr), XKW_E_BADHANDLE);

    // Every one of the 64 handles can be taken; the 65th open fails and
    // leaves nothing behind; a freed handle is the next one given.
    std::string file = s.write("one.sml", "S1F1 H W\n");
    std::vector<int32_t> handles;
    for (int i = 0; i < XKS_MD_HANDLES; ++i) {
        int32_t h = XKSMDOpen(0, s.session(), file.c_str());
        ASSERT_GT(h, 0);
        handles.push_back(h);
    }
    EXPECT_EQ(XKSMDOpen(0, s.session(), file.c_str()), XKW_E_FULL);
    EXPECT_EQ(XKSMDClose(handles[10], 0), handles[10]);
    EXPECT_EQ(XKSMDOpen(0, s.session(), file.c_str()), handles[10]);
    for (int32_t h : handles)
        EXPECT_EQ(XKSMDClose(h, 0), h);
    XKSMDTable* t = nullptr;
    EXPECT_EQ(XKSMDGetTable(handles[0], 0, &t), XKW_E_BADHANDLE);
    EXPECT_EQ(t, nullptr);
}

TEST(MDTableTest, SyntaxFollowsShortExtensionsElseTheMode)
{
    MDSession s;
    const std::string csv = "MESSAGEDEFINESTART\nAYT,HW,S1F1\nMESSAGEDEFINEEND\n";
    int32_t upper = s.open("defs.CSV", csv, 1);  // extension wins over the mode
    int32_t by_mode = s.open("defs.txt", csv, XKS_MD_KIND_CSV);
    int32_t long_ext = s.open("defs.csvfile", csv, 1);  // not an extension that decides: SML
    ASSERT_GT(upper, 0);
    ASSERT_GT(by_mode, 0);
    ASSERT_GT(long_ext, 0);
    EXPECT_EQ(MDSession::table(upper)->cmssg, 1);
    EXPECT_EQ(MDSession::table(by_mode)->cmssg, 1);
    EXPECT_EQ(MDSession::table(long_ext)->cmssg, 0);
    EXPECT_STREQ(MDSession::table(upper)->mssgs[0].name, "AYT");
}

TEST(MDTableTest, SessionTableNamesMessagesAndItemsInTheCodec)
{
    MDSession s("MDMSSG=defs.sml\n");
    s.write("defs.sml", kSmall);
    XKSAcb* acb = s.acb();
    ASSERT_EQ(XKSMDLoadAcb(acb, 0), 0);
    EXPECT_EQ(acb->md[0].cmssg, 1);
    EXPECT_EQ(acb->md[1].op, 0u);  // the engine's table is loaded on its own
    EXPECT_EQ(XKSMDLoadAcb(acb, 0), 0);  // already loaded: kept

    uint8_t body[64];
    XKSMssgBlock* mb = new XKSMssgBlock();
    ASSERT_EQ(XKSMssgBuildOpen(mb, XKS_MSSG_SIZE, body, sizeof body, 1024), 0);
    uint16_t nums[2] = {3, 4};  // one of the accepted values
    ASSERT_EQ(XKSMssgPutItem(mb, 0, body, XKS_FMT_L, 2, nullptr), 0);
    ASSERT_EQ(XKSMssgPutItem(mb, 0, body, XKS_FMT_A, 6, "ZETA99"), 0);
    ASSERT_EQ(XKSMssgPutItem(mb, 0, body, XKS_FMT_U2, 2, nums), 0);
    int32_t len = XKSMssgBuildEnd(mb);

    const uint8_t header[10] = {0, 1, 1, 2, 0, 0, 0, 0, 0, 1};
    char name[32] = "junk";
    ASSERT_EQ(XKSMssgReadOpen(mb, XKS_MSSG_LOOKUP, body, len, reinterpret_cast<intptr_t>(acb), header, name,
                              sizeof name),
              0);
    EXPECT_STREQ(name, "S1F2");
    EXPECT_EQ(mb->xmsgsize, acb->cfg.xmsgsize);
    std::vector<std::string> names;
    char item[32];
    while (XKSMssgItemName(mb, 0, item, sizeof item) >= 0)
        names.emplace_back(item);
    EXPECT_EQ(names, (std::vector<std::string>{"", "MDLN", "NUMS"}));
    // The trace-side match holds the table until the block is closed.
    EXPECT_EQ(acb->md[0].xlkf, XKS_MD_HELD_TRACE);
    EXPECT_EQ(XKSMssgReadClose(mb), 0);
    EXPECT_EQ(acb->md[0].xlkf, 0);
    EXPECT_EQ(XKWLockEnter(&acb->md[0].lock, 1), 0);
    XKWLockLeave(&acb->md[0].lock);
    delete mb;
}

}  // namespace
