// The PLC message table: the bridge reads the library's message definition
// file a second time and keeps, for every message line, one message entry
// and, for every item line after it, one item entry with the PLC device
// and addresses written in the item's "//" comment:
//
//   S1F2 E
//   <A[20] MDLN>            // 0xA8,0x100,0x200,10
//
// (device code, read address, write address, words). Comments are removed
// by the library's own stripper, so blocks and quotes count the same way in
// both readers. A line longer than the library's line buffer is cut there
// and the rest dropped, as the library does, so both see the same lines.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "bridge/QZVAppQ.h"
#include "runtime/XKWFile.h"
#include "runtime/XKWCode.h"
#include "runtime/XKWStr.h"
#include "secs/XKSMDMssg.h"

namespace {

constexpr int32_t kDefaultMessages = 512;
constexpr int32_t kDefaultItems = 10240;
constexpr int32_t kMessageFields = 6;
constexpr int32_t kItemFields = 4;
constexpr int32_t kMessageFull = -942;
constexpr int32_t kItemFull = -943;
constexpr int32_t kNoMemory = -12;

using Field = char[QZVQ_NAME_SIZE];

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

char ascii_upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Split text into at most count fields, each cut to 31 bytes (never inside
// a multi-byte character). A run of blanks, or one comma with the blanks
// around it, ends a field, so "a,,b" has an empty second field; double
// quotes group and are dropped; a backslash takes the next character as it
// is. Fields that are not found stay empty.
void split_fields(const char* p, Field* out, int32_t count)
{
    for (int32_t i = 0; i < count; ++i)
        out[i][0] = '\0';
    while (is_blank(*p))
        ++p;
    for (int32_t n = 0; n < count && *p != '\0'; ++n) {
        size_t len = 0;
        bool quoted = false;
        bool full = false;
        while (*p != '\0') {
            if (*p == '"') {
                quoted = !quoted;
                ++p;
                continue;
            }
            if (!quoted && (is_blank(*p) || *p == ','))
                break;
            if (*p == '\\' && p[1] != '\0')
                ++p;
            size_t clen = XKWCodeCharLen(p);
            full = full || len + clen >= sizeof(Field);
            if (!full) {
                std::memcpy(out[n] + len, p, clen);
                len += clen;
            }
            p += clen;
        }
        out[n][len] = '\0';
        while (is_blank(*p))
            ++p;
        if (*p == ',') {
            ++p;
            while (is_blank(*p))
                ++p;
        }
    }
}

// One line of at most size - 1 bytes; the rest of a longer line is read
// and dropped. False at the end of the file.
bool read_line(FILE* f, char* buf, size_t size)
{
    int c = std::getc(f);
    if (c == EOF)
        return false;
    size_t n = 0;
    for (; c != EOF && c != '\n'; c = std::getc(f))
        if (n + 1 < size)
            buf[n++] = static_cast<char>(c);
    buf[n] = '\0';
    return true;
}

// Line preparation shared by every line: trims, comment removal (the text
// after "//" goes to plc), tabs to blanks, one closing ">" dropped, first
// character in upper case. Returns the new comment state.
int32_t prepare_line(char* line, char* plc, size_t plc_size, int32_t state)
{
    size_t n = std::strlen(line);
    while (n > 0 && (is_blank(line[n - 1]) || line[n - 1] == '\r' || line[n - 1] == '\n'))
        line[--n] = '\0';
    XKWStrTrimLeft(line);
    state = XKSMDStripComment(line, plc, plc_size, state);
    for (char* p = line; *p != '\0'; ++p)
        if (*p == '\t')
            *p = ' ';
    XKWStrTrimRight(line);
    XKWStrTrimLeft(line);
    n = std::strlen(line);
    if (n > 0 && line[n - 1] == '>')
        line[--n] = '\0';
    line[0] = ascii_upper(line[0]);
    return state;
}

class Reader {
public:
    explicit Reader(QZVQContext* ctx) : ctx_(ctx) {}

    // One prepared, non-empty line; 0 or a table-full result.
    int32_t line(char* text, const char* plc)
    {
        if (text[0] == 'S' || (text[0] == '"' && ascii_upper(text[1]) == 'S'))
            return message_line(text);
        if (text[0] == '<' && in_message_ && text[1] != 'L')
            return item_line(text, plc);
        return 0;
    }

private:
    int32_t message_line(char* text)
    {
        XKWStrUpper(text);
        Field f[kMessageFields];
        split_fields(text, f, kMessageFields);
        if (f[1][0] == 'F')
            XKWStrCat(f[0], f[1], sizeof f[0]);
        const char* fpos = std::strchr(f[0], 'F');
        if (fpos == nullptr)
            return 0;
        long stream = std::strtol(f[0] + 1, nullptr, 10);
        long function = std::strtol(fpos + 1, nullptr, 10);
        if (stream < 1 || stream > 127 || function < 0 || function > 255)
            return 0;
        if (ctx_->nmssg >= ctx_->xmssg) {
            QZVQ_LOG(QZVQ_LOG_FORMAT, 1, "PLC Message table overflow [%d]", ctx_->nmssg);
            return kMessageFull;
        }
        PLCMssgEntry& m = ctx_->mssg[ctx_->nmssg++];
        XKWStrCopy(m.name, f[0], sizeof m.name);
        m.first = ctx_->nitem;
        m.count = 0;
        in_message_ = true;
        return 0;
    }

    int32_t item_line(char* text, const char* plc)
    {
        // Blanks count only after the first non-blank character that
        // follows "]": "< A [20] MDLN v" names the item MDLN.
        char* p = text + 1;
        bool closed = false;
        for (; *p != '\0'; p += XKWCodeCharLen(p)) {
            if (is_blank(*p))
                continue;
            if (closed)
                break;
            closed = *p == ']';
        }
        if (!closed)
            return 0;
        char* end = p;
        while (*end != '\0' && !is_blank(*end))
            end += XKWCodeCharLen(end);
        *end = '\0';

        Field f[kItemFields];
        split_fields(plc, f, kItemFields);
        PLCItemEntry e{};
        XKWStrCopy(e.name, p, sizeof e.name);
        if ((ctx_->cfg.plctype & 15) == QZVQ_PLC_KEYENCE)
            XKWStrCopy(e.rcode.text, f[0], sizeof e.rcode.text);
        else
            e.rcode.number = QZVQNumber(f[0]);
        e.wcode = e.rcode;
        e.raddr = QZVQNumber(f[1]);
        e.waddr = QZVQNumber(f[2]);
        e.words = QZVQNumber(f[3]);

        // The transfers pass an item's words through a buffer of XMSGSIZE
        // bytes; an area beyond it (or a negative one) cannot be moved.
        PLCMssgEntry& m = ctx_->mssg[ctx_->nmssg - 1];
        int32_t limit = ctx_->lib.xmsgsize > 0 ? ctx_->lib.xmsgsize / 2 : INT32_MAX;
        if (e.words < 0 || e.words > limit) {
            QZVQ_LOG(QZVQ_LOG_FORMAT, 1, "PLC Message item [%s] of [%s] too large (%d words, at most %d)",
                     e.name, m.name, e.words, limit);
            return 0;
        }
        if (ctx_->nitem >= ctx_->xitem) {
            QZVQ_LOG(QZVQ_LOG_FORMAT, 1, "PLC Message Item table overflow [%d]", ctx_->nitem);
            return kItemFull;
        }
        ctx_->item[ctx_->nitem++] = e;
        ++m.count;
        return 0;
    }

    QZVQContext* ctx_;
    bool in_message_ = false;
};

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

int32_t open_error(const char* file, int err)
{
    int32_t rc = err != 0 ? -err : -2;
    QZVQ_LOG(QZVQ_LOG_FORMAT, 1, "Message definition file [%s] open error (%d)", file, rc);
    return rc;
}

// Both tables at their capacities, zero-filled; 0 or -12.
int32_t allocate_tables(QZVQContext* ctx)
{
    std::free(ctx->mssg);
    std::free(ctx->item);
    ctx->mssg = nullptr;
    ctx->item = nullptr;
    ctx->nmssg = ctx->nitem = 0;
    ctx->xmssg = ctx->lib.mdmxmssg > 0 ? ctx->lib.mdmxmssg : kDefaultMessages;
    ctx->xitem = ctx->lib.mdmxmitem > 0 ? ctx->lib.mdmxmitem : kDefaultItems;
    ctx->mssg = static_cast<PLCMssgEntry*>(std::calloc(static_cast<size_t>(ctx->xmssg), sizeof(PLCMssgEntry)));
    if (ctx->mssg == nullptr) {
        QZVQ_LOG(QZVQ_LOG_FORMAT, 1, "Memory allocate error at Message table (%lld)",
                 static_cast<long long>(ctx->xmssg) * static_cast<long long>(sizeof(PLCMssgEntry)));
        ctx->xmssg = ctx->xitem = 0;
        return kNoMemory;
    }
    ctx->item = static_cast<PLCItemEntry*>(std::calloc(static_cast<size_t>(ctx->xitem), sizeof(PLCItemEntry)));
    if (ctx->item == nullptr) {
        QZVQ_LOG(QZVQ_LOG_FORMAT, 1, "Memory allocate error at Item list table (%lld)n",
                 static_cast<long long>(ctx->xitem) * static_cast<long long>(sizeof(PLCItemEntry)));
        ctx->xitem = 0;
        return kNoMemory;
    }
    return 0;
}

}  // namespace

int32_t QZVQAnalizeMssgDef(QZVQContext* ctx)
{
    if (ctx == nullptr)
        ctx = QZVQGetContext();
    int32_t rc = allocate_tables(ctx);
    if (rc < 0)
        return rc;
    const char* file = ctx->lib.mdmssg;
    std::unique_ptr<FILE, FileCloser> f(XKWFileOpenRead(file));
    if (!f)
        return open_error(file, errno);

    Reader reader(ctx);
    char line[XKS_MD_LINE];
    char plc[XKS_MD_LINE];
    int32_t state = 0;
    while (rc == 0 && read_line(f.get(), line, sizeof line)) {
        state = prepare_line(line, plc, sizeof plc, state);
        if (line[0] != '\0')
            rc = reader.line(line, plc);
    }
    // A read failure is reported like a failed open rather than as an
    // empty table.
    if (rc == 0 && std::ferror(f.get()))
        return open_error(file, errno);
    return rc;
}

const PLCMssgEntry* QZVQFindMssg(const QZVQContext* ctx, const char* name)
{
    if (ctx == nullptr)
        ctx = QZVQGetContext();
    if (name == nullptr || ctx->mssg == nullptr)
        return nullptr;
    for (int32_t i = 0; i < ctx->nmssg; ++i)
        if (std::strcmp(ctx->mssg[i].name, name) == 0)
            return &ctx->mssg[i];
    return nullptr;
}
