// Feeds arbitrary bytes as received bodies to the definition match of the
// shipped example table: match with every definition and with the
// stream/function taken from the input, the item-by-item text, reading
// items by name (plain and converted), match end and the automatic reply
// with a header built from the input. The working ends must never pass
// the table's capacities.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "runtime/XKWResult.h"
#include "secs/XKSAcb.h"
#include "secs/XKSComm.h"
#include "secs/XKSMDMssg.h"

namespace {

XKSMDTable* table = nullptr;
int32_t handle = 0;

int32_t load()
{
    XKSAcb* acb = nullptr;
    int32_t session = XKSAllocAcb(0, &acb);
    if (session <= 0)
        std::abort();
    acb->cfg.secsmode = 0x11;  // HSMS, equipment side
    acb->cfg.mdmxitem = 1024;
    acb->cfg.mdmxmssg = 512;
    acb->cfg.mdmxmitem = 10240;
    acb->cfg.mdmxpool = 65536;
    acb->cfg.xmsgsize = 65536;
    int32_t h = XKSMDOpen(0, session, XKS_SOURCE_DIR "/examples/equipment.sml");
    if (h <= 0 || XKSMDGetTable(h, 0, &table) != 0)
        std::abort();
    return h;
}

void check_ends()
{
    const XKSMDTable* t = table;
    if (t->mitem < t->citem || t->mitem > t->xitem || t->mmitem < t->cmitem || t->mmitem > t->xmitem ||
        t->mpool < t->cpool || t->mpool > t->xpool || t->matched.noi < 0 ||
        t->matched.ino + t->matched.noi > t->xmitem)
        std::abort();
}

// Read what the match left: every line of text, and items by name.
void read_items(int32_t rc)
{
    check_ends();
    if (rc < 0)
        return;
    char line[256];
    int32_t format = 0, count = 0;
    for (int32_t i = 0; i <= table->matched.noi; ++i)
        if (XKSMDNextItemText(handle, 0, nullptr, &format, &count, line, sizeof line) < 0)
            break;
    // Sized for the largest item plus its terminator: GetItem trusts the caller.
    static std::vector<uint8_t> out(65536 + 1);
    static const char* const names[] = {"MDLN", "SOFTREV", "SVIDLIST", "SVID:1", "SV:2", "RCMD", "CPLIST",
                                        "CPNAME:1", "CPVAL:2", "RPTLIST", "RPTID:1", "VLIST:2", "V:1", "TEXT"};
    for (const char* name : names) {
        int32_t size = 0;
        XKSMDGetItem(handle, 0, nullptr, name, 0, out.data(), &format, &size);
        XKSMDGetItem(handle, XKS_MD_CONVERT, nullptr, name, 1, out.data(), nullptr, nullptr);
    }
    check_ends();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (handle == 0)
        handle = load();
    if (size > 65536)
        return 0;
    // An exact-size copy, so that reads past the body are caught.
    std::vector<uint8_t> body(data, data + size);
    const int32_t len = static_cast<int32_t>(size);
    char name[XKS_MD_NAME];

    read_items(XKSMDMatch(handle, 0, body.data(), len, 0, name));
    XKSMDMatchEnd(handle, 0, nullptr);
    int32_t sf = size >= 2 ? (data[0] << 8 | data[1]) : 0;
    int32_t mode = size >= 3 ? (data[2] & 3) << 12 : 0;
    read_items(XKSMDMatch(handle, mode, body.data(), len, sf, name));
    XKSMDMatchEnd(handle, 0, nullptr);

    // The reply to the input as a primary: the header from its first ten
    // bytes (W-bit and an odd function forced), the body from the rest.
    uint8_t header[10] = {};
    std::memcpy(header, data, size < 10 ? size : 10);
    header[2] |= 0x80;
    header[3] |= 1;
    size_t rest = size > 10 ? size - 10 : 0;
    std::vector<uint8_t> primary(data + (size - rest), data + size);
    for (int32_t capacity : {0, 12, 4096}) {
        std::vector<uint8_t> reply(static_cast<size_t>(capacity));
        char reply_name[XKS_MD_NAME];
        int32_t rsf = 0;
        int32_t n = XKSMDAutoReply(handle, capacity == 12 ? 0x1000 : 0, header, primary.data(),
                                   static_cast<int32_t>(rest), reply.data(), capacity, name, reply_name, &rsf);
        if (n > capacity)
            std::abort();
        check_ends();
    }
    return 0;
}
