// Walks arbitrary bytes through the body reader: every item until the end
// of the body or an error, with output areas from tiny to large, with and
// without 2-byte text conversion, under the Shift-JIS and UTF-8 process
// codes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "runtime/XKWCode.h"
#include "runtime/XKWResult.h"
#include "secs/XKSMssg.h"

namespace {

void walk(XKSMssgBlock* blk, const uint8_t* data, int32_t len, int32_t flags, int32_t outsize)
{
    // The area sits exactly at the end of an allocation so that any write
    // past outsize is caught by the address checker.
    std::unique_ptr<uint8_t[]> out(new uint8_t[static_cast<size_t>(outsize > 0 ? outsize : 1)]);
    if (XKSMssgReadOpen(blk, 0, data, len, 0, nullptr, nullptr, 0) != 0)
        __builtin_trap();
    // Every successful get advances by at least one byte; bound the loop anyway.
    for (int32_t i = 0; i <= len; ++i) {
        int32_t format = 0, size = 0, count = 0;
        int32_t rc = XKSMssgGetItem(blk, flags, data, &format, &size, &count, out.get(), outsize);
        if (rc == XKS_E_NODATA || (rc < 0 && rc != XKW_E_FULL))
            break;
        if (count < 0 || blk->position > len)
            __builtin_trap();
    }
    if (XKSMssgReadClose(blk) != 0)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static XKSMssgBlock* blk = new XKSMssgBlock{};
    if (size > 1 << 20)
        return 0;
    // Copy into an exact-size allocation so reads past the body are caught.
    std::vector<uint8_t> body(data, data + size);
    const int32_t len = static_cast<int32_t>(size);
    static const int32_t sizes[] = {0, 1, 2, 7, 64, 70000};
    for (int32_t code : {XKW_CODE_SJIS, XKW_CODE_UTF8}) {
        XKWCodeSet(code);
        for (int32_t outsize : sizes) {
            walk(blk, body.data(), len, 0, outsize);
            walk(blk, body.data(), len, XKS_MSSG_CONVERT, outsize);
        }
    }
    XKWCodeSet(XKW_CODE_SJIS);
    return 0;
}
