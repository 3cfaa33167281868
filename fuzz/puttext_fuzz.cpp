// Puts arbitrary text lines into a body in the notation the first byte
// picks, then prints the built body, and the raw input taken as a body,
// back as text with line buffers from one byte to a few kilobytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "runtime/XKWCode.h"
#include "runtime/XKWResult.h"
#include "secs/XKSMssg.h"

namespace {

void print(XKSMssgBlock* blk, const uint8_t* body, int32_t len, int32_t flags)
{
    static const int32_t sizes[] = {1, 9, 64, 4096};
    for (int32_t size : sizes) {
        // Each line buffer ends exactly at its allocation, so a write past
        // size is caught by the address checker.
        std::unique_ptr<char[]> line(new char[static_cast<size_t>(size)]);
        if (XKSMssgReadOpen(blk, 0, body, len, 0, nullptr, nullptr, 0) != 0)
            __builtin_trap();
        // Every item takes at least one byte and shows in at most one line
        // per part; bound the walk anyway.
        for (int32_t i = 0; i <= 4 * len + 4; ++i) {
            int32_t rc = XKSMssgGetText(blk, flags, body, nullptr, nullptr, line.get(), size);
            if (rc < 0)
                break;
            if (rc > XKS_MSSG_DEPTH || std::strlen(line.get()) >= static_cast<size_t>(size))
                __builtin_trap();
        }
        XKSMssgReadClose(blk);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static XKSMssgBlock* blk = new XKSMssgBlock{};
    if (size < 1 || size > 1 << 18)
        return 0;
    const int32_t flags = (data[0] & 0x74) | ((data[0] & 0x80) ? XKS_MSSG_CONVERT : 0);
    XKWCodeSet((data[0] & 0x08) ? XKW_CODE_UTF8 : XKW_CODE_SJIS);

    constexpr int32_t capacity = 4096;
    std::unique_ptr<uint8_t[]> body(new uint8_t[capacity]);
    if (XKSMssgBuildOpen(blk, 0, body.get(), capacity, 0) != 0)
        __builtin_trap();
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        int32_t before = blk->position;
        int32_t rc = XKSMssgPutText(blk, flags, body.get(), line.c_str());
        if (blk->position > capacity || (rc < 0 && blk->position != before))
            __builtin_trap();
        start = end + 1;
    }
    int32_t len = XKSMssgBuildEnd(blk);
    print(blk, body.get(), len, flags);

    std::vector<uint8_t> raw(data + 1, data + size);
    print(blk, raw.data(), static_cast<int32_t>(raw.size()), flags);
    XKWCodeSet(XKW_CODE_SJIS);
    return 0;
}
