// The bridge section of the INI file: PLC connection, PLC devices and the
// bridge trace, read into the control block and dumped as comment records
// into the library's communication trace.
#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "bridge/QZVAppQ.h"
#include "runtime/XKWIni.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWStr.h"
#include "secs/XKSAcb.h"
#include "secs/xks.h"

namespace {

bool hex_letter(char c)
{
    return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

int32_t QZVQNumber(const char* text)
{
    if (text == nullptr)
        return 0;
    while (*text == ' ' || *text == '\t')
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    int base = 10;
    if (text[0] == 'x' || text[0] == 'X') {
        base = 16;
        ++text;
    } else if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    } else {
        for (const char* p = text; *p != '\0'; ++p)
            if (hex_letter(*p)) {
                base = 16;
                break;
            }
    }
    uint32_t value = 0;
    for (; *text != '\0'; ++text) {
        int digit = std::isdigit(static_cast<unsigned char>(*text)) ? *text - '0'
                    : base == 16 && hex_letter(*text) ? (*text | 0x20) - 'a' + 10
                                                      : -1;
        if (digit < 0)
            break;
        value = value * uint32_t(base) + uint32_t(digit);  // wraps like the 32-bit field it fills
    }
    return int32_t(negative ? 0u - value : value);
}

namespace {

constexpr size_t kField = 32;  // a device field: at most 31 characters

// Copy text[0..n) without the blanks around it into out (kField bytes).
void field(const char* text, size_t n, char* out)
{
    while (n > 0 && (*text == ' ' || *text == '\t')) {
        ++text;
        --n;
    }
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t'))
        --n;
    if (n > kField - 1)
        n = kField - 1;
    std::memcpy(out, text, n);
    out[n] = '\0';
}

// Split text at `separator` into count fields, the last taking the rest;
// missing fields are empty.
void split(const char* text, char separator, char (*fields)[kField], int count)
{
    for (int i = 0; i < count; ++i) {
        const char* end = i + 1 < count ? std::strchr(text, separator) : nullptr;
        size_t n = end != nullptr ? size_t(end - text) : std::strlen(text);
        field(text, n, fields[i]);
        text += n;
        if (*text == separator)
            ++text;
    }
}

void set_code(const QZVQSettings& cfg, const char* text, QZVQCode* code)
{
    *code = QZVQCode{};
    if ((cfg.plctype & 15) == QZVQ_PLC_KEYENCE)
        std::memcpy(code->text, text, std::min(std::strlen(text), sizeof code->text - 1));
    else
        code->number = QZVQNumber(text);
}

// "address" or "address:bit".
void set_address(const char* text, int32_t* address, int32_t* bit)
{
    char parts[2][kField];
    split(text, ':', parts, 2);
    *address = QZVQNumber(parts[0]);
    *bit = QZVQNumber(parts[1]);
}

// Two numbers "a,b"; a missing one is 0.
void set_pair(const char* value, int32_t* out)
{
    char fields[2][kField];
    split(value, ',', fields, 2);
    out[0] = QZVQNumber(fields[0]);
    out[1] = QZVQNumber(fields[1]);
}

// The device keys PLCSSDEVn "code,address[:bit]", PLCHSDEVn
// "code,address[:bit],address[:bit]" and PLCMSDEVn "code,address" for n 0
// and 1; false for any other key.
bool set_device(QZVQSettings& cfg, const char* key, const char* value)
{
    if (std::strlen(key) != 9 || std::strncmp(key, "PLC", 3) != 0 || std::strncmp(key + 5, "DEV", 3) != 0 ||
        (key[8] != '0' && key[8] != '1'))
        return false;
    int n = key[8] - '0';
    char fields[3][kField];
    if (std::strncmp(key + 3, "HS", 2) == 0) {
        QZVQDevice& d = cfg.hsdev[n];
        d = QZVQDevice{};
        split(value, ',', fields, 3);
        set_code(cfg, fields[0], &d.code);
        set_address(fields[1], &d.address[0], &d.bit[0]);
        set_address(fields[2], &d.address[1], &d.bit[1]);
        return true;
    }
    bool status = std::strncmp(key + 3, "SS", 2) == 0;
    if (!status && std::strncmp(key + 3, "MS", 2) != 0)
        return false;
    QZVQDevice& d = status ? cfg.ssdev[n] : cfg.msdev[n];
    d = QZVQDevice{};
    split(value, ',', fields, 2);
    set_code(cfg, fields[0], &d.code);
    if (status)
        set_address(fields[1], &d.address[0], &d.bit[0]);
    else
        d.address[0] = QZVQNumber(fields[1]);
    return true;
}

}  // namespace

namespace {

// One key of the bridge section and where its value goes.
struct Key {
    const char* name;
    enum { TEXT, NUMBER, PAIR } kind;
    size_t offset;
    size_t size;  // text fields
};

#define QZVQ_KEY(name, kind, field) {name, Key::kind, offsetof(QZVQSettings, field), sizeof(QZVQSettings::field)}

const Key kKeys[] = {
    QZVQ_KEY("TRCDIR", TEXT, trcdir),       QZVQ_KEY("TRCTTYPE", NUMBER, trcttype),
    QZVQ_KEY("TRCTOUT", NUMBER, trctout),   QZVQ_KEY("TRCTLEVEL", NUMBER, trctlevel),
    QZVQ_KEY("TRCTATTR", NUMBER, trctattr), QZVQ_KEY("TRCTSIZE", NUMBER, trctsize),
    QZVQ_KEY("TRCXDATA", NUMBER, trcxdata), QZVQ_KEY("PLCTYPE", NUMBER, plctype),
    QZVQ_KEY("PLCHOST", TEXT, plchost),     QZVQ_KEY("PLCPORT", NUMBER, plcport),
    QZVQ_KEY("PLCOPT0", PAIR, plcopt0),     QZVQ_KEY("PLCMODE", NUMBER, plcmode),
    QZVQ_KEY("PLCINTER", PAIR, plcinter),   QZVQ_KEY("PLCTO", PAIR, plcto),
    QZVQ_KEY("PLCQUEUE", NUMBER, plcqueue), QZVQ_KEY("PLCHSTO", NUMBER, plchsto),
    QZVQ_KEY("PLCNOREPLY", NUMBER, plcnoreply),
};

#undef QZVQ_KEY

void set_key(QZVQSettings& cfg, const char* key, const char* value)
{
    if (set_device(cfg, key, value))
        return;
    for (const Key& k : kKeys) {
        if (std::strcmp(key, k.name) != 0)
            continue;
        char* at = reinterpret_cast<char*>(&cfg) + k.offset;
        if (k.kind == Key::TEXT)
            XKWStrCopy(at, value, k.size);
        else if (k.kind == Key::NUMBER)
            *reinterpret_cast<int32_t*>(at) = QZVQNumber(value);
        else
            set_pair(value, reinterpret_cast<int32_t*>(at));
        return;
    }
}

// One line of the dump, as a comment record of the SECS session.
void dump_line(const QZVQContext* ctx, const char* format, ...) __attribute__((format(printf, 2, 3)));
void dump_line(const QZVQContext* ctx, const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    XKSSendComment(XKSLoad(ctx->session[1]), 0, text, __FILE__, __LINE__);
}

// The device lines in the form of the PLC family; name is "SSDEV0" etc.
void dump_device(const QZVQContext* ctx, const char* name, const QZVQDevice& d, bool handshake)
{
    const int32_t type = ctx->cfg.plctype & 15;
    const int32_t code = d.code.number;
    if (type == QZVQ_PLC_MELSEC || (type == QZVQ_PLC_OMRON && name[0] == 'M')) {
        if (handshake)
            dump_line(ctx, "PLC%s   = \"0x%02x,0x%04x,0x%04x\"", name, code, d.address[0], d.address[1]);
        else
            dump_line(ctx, "PLC%s   = \"0x%02x,0x%04x\"", name, code, d.address[0]);
    } else if (type == QZVQ_PLC_OMRON) {
        if (handshake)
            dump_line(ctx, "PLC%s   = \"0x%02x,0x%04x:%2d,0x%04x:%2d\"", name, code, d.address[0], d.bit[0],
                      d.address[1], d.bit[1]);
        else
            dump_line(ctx, "PLC%s   = \"0x%02x,0x%04x:%2d\"", name, code, d.address[0], d.bit[0]);
    } else if (type == QZVQ_PLC_KEYENCE) {
        if (handshake)
            dump_line(ctx, "PLC%s   = \"%-2s,0x%04x,0x%04x\"", name, d.code.text, d.address[0], d.address[1]);
        else
            dump_line(ctx, "PLC%s   = \"%-2s,0x%04x\"", name, d.code.text, d.address[0]);
    }
}

void dump(const QZVQContext* ctx)
{
    const QZVQSettings& c = ctx->cfg;
    dump_line(ctx, "%s [%s]", ctx->plcini, ctx->plcsect);
    dump_line(ctx, "TRCDIR      = \"%s\"", c.trcdir);
    dump_line(ctx, "TRCTTYPE    =  0x%04x", c.trcttype);
    dump_line(ctx, "TRCTOUT     =  0x%04x", c.trctout);
    dump_line(ctx, "TRCTLEVEL   =%8d", c.trctlevel);
    dump_line(ctx, "TRCTATTR    =  0x%04x", c.trctattr);
    dump_line(ctx, "TRCTSIZE    =%8d", c.trctsize);
    dump_line(ctx, "TRCTXDATA   =%8d", c.trcxdata);
    dump_line(ctx, "PLCTYPE     =%8d", c.plctype);
    dump_line(ctx, "PLCHOST     = \"%s\"", c.plchost);
    dump_line(ctx, "PLCPORT     =%8d", c.plcport);
    dump_line(ctx, "PLCOPT0     = \"0x%04x,%04x\"", c.plcopt0[0], c.plcopt0[1]);
    dump_line(ctx, "PLCMODE     =  0x%04x", c.plcmode);
    dump_line(ctx, "PLCINTER    = \"%6d,%6d\"", c.plcinter[0], c.plcinter[1]);
    dump_line(ctx, "PLCTO       = \"%6d,%6d\"", c.plcto[0], c.plcto[1]);
    dump_device(ctx, "SSDEV0", c.ssdev[0], false);
    dump_device(ctx, "SSDEV1", c.ssdev[1], false);
    dump_device(ctx, "HSDEV0", c.hsdev[0], true);
    dump_device(ctx, "HSDEV1", c.hsdev[1], true);
    dump_device(ctx, "MSDEV0", c.msdev[0], false);
    dump_device(ctx, "MSDEV1", c.msdev[1], false);
    dump_line(ctx, "PLCQUEUE    =%8d", c.plcqueue);
    dump_line(ctx, "PLCHSTO     =%8d", c.plchsto);
    dump_line(ctx, "PLCNOREPLY  =%8d", c.plcnoreply);
}

}  // namespace

int32_t QZVQAnalizeConfigure(QZVQContext* ctx)
{
    if (ctx == nullptr)
        ctx = QZVQGetContext();
    int32_t ini = XKWIniOpenId(ctx->plcini, ctx->plcsect);
    if (ini < 0) {
        QZVQ_LOG(QZVQ_LOG_FORMAT, 1, "PLC Configureration file [%s .. %s] open error (%d)", ctx->plcini,
                 ctx->plcsect, ini);
        return XKW_E_NOMEM;
    }
    ctx->cfg.plcqueue = QZVQ_DEFAULT_QUEUE;
    ctx->cfg.plchsto = QZVQ_DEFAULT_HSTO;
    char section[XKW_INI_SECTION], key[XKW_INI_KEY], value[XKW_INI_VALUE];
    while (XKWIniNextId(ini, section, sizeof section, key, sizeof key, value, sizeof value) == 0)
        set_key(ctx->cfg, key, value);
    XKWIniCloseId(ini);
    ctx->cfg.plcqueue = std::max(ctx->cfg.plcqueue, 0);
    ctx->cfg.plchsto = std::max(ctx->cfg.plchsto, 0);
    dump(ctx);
    return 0;
}
