// Library configuration: one table of keys drives the defaults, the load,
// the re-read and the settings listing, so the four always agree on the
// names, the order and which keys may change while a session runs.
#include "secs/XKSLib.h"

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "runtime/XKWIni.h"
#include "runtime/XKWPath.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWStr.h"
#include "runtime/XKWText.h"
#include "runtime/XKWTime.h"

namespace {

// How a key is stored and listed.
enum Kind : uint8_t {
    DEC,    // int, listed "%8d"
    HEX8,   // bits, listed "0x%08x"
    HEX4,   // int or bits, listed "0x%04x"
    TEXT,   // text, listed in quotes
    PATH,   // text resolved against the INI directory
    DEVID,  // the device-ID list (second pass)
};

struct Key {
    const char* name;
    Kind kind;
    bool reread;  // applied again when the file changes
    uint16_t offset;
    uint16_t size;
    int64_t def;
};

#define NUM(field, name, kind, reread, def) \
    {name, kind, reread, offsetof(XKSConfig, field), sizeof(XKSConfig::field), def}
#define STR(field, name, kind, reread) \
    {name, kind, reread, offsetof(XKSConfig, field), sizeof(XKSConfig::field), 0}

constexpr Key kKeys[] = {
    NUM(secsmode, "SECSMODE", HEX8, false, 0x00000001),
    NUM(devmode, "DEVMODE", HEX8, false, 0x00001800),
    NUM(xdev, "XDEV", DEC, false, 16),
    {"DEVID", DEVID, false, 0, 0, 0},
    NUM(xmsgsize, "XMSGSIZE", DEC, false, 65536),
    NUM(xtranx, "XTRANX", DEC, false, 1024),
    NUM(srcid0, "SRCID0", HEX4, true, 0),
    NUM(srcid1, "SRCID1", HEX4, true, 0x7FFF),
    NUM(xidmin, "XIDMIN", HEX4, true, 1),
    NUM(xidmax, "XIDMAX", HEX4, true, 0xFFFF),
    NUM(inter0, "INTER0", DEC, true, 300),
    NUM(inter1, "INTER1", DEC, true, 1000),
    NUM(inter2, "INTER2", DEC, true, 100),
    NUM(inter3, "INTER3", DEC, true, 60),
    STR(sdevice, "SDEVICE", TEXT, false),
    NUM(sspeed, "SSPEED", DEC, false, 9600),
    NUM(scsize, "SCSIZE", DEC, false, 8),
    NUM(sparity, "SPARITY", DEC, false, 0),
    NUM(sstop, "SSTOP", DEC, false, 1),
    STR(host, "HOST", TEXT, false),
    NUM(port, "PORT", DEC, false, 0),
    NUM(linkint, "LINKINT", DEC, true, 0),
    NUM(xretry, "XRETRY", DEC, true, 3),
    NUM(t1, "T1", DEC, true, 100),
    NUM(t2, "T2", DEC, true, 10),
    NUM(t3, "T3", DEC, true, 45),
    NUM(t4, "T4", DEC, true, 45),
    NUM(t5, "T5", DEC, true, 10),
    NUM(t6, "T6", DEC, true, 5),
    NUM(t7, "T7", DEC, true, 10),
    NUM(t8, "T8", DEC, true, 10),
    NUM(torecv, "TORECV", DEC, true, 0),
    STR(quedir, "QUEDIR", PATH, false),
    NUM(quesize, "QUESIZE", DEC, false, 1024),
    NUM(querec, "QUEREC", DEC, false, 1024),
    NUM(quemode, "QUEMODE", HEX4, false, 0x00B0),
    NUM(thstackusr, "THSTACKUSR", DEC, false, 0),
    NUM(thstacksys, "THSTACKSYS", DEC, false, 0),
    STR(trcthost, "TRCTHOST", TEXT, true),
    NUM(trctport, "TRCTPORT", DEC, true, 0),
    STR(trcdir, "TRCDIR", PATH, false),
    NUM(trcttype, "TRCTTYPE", HEX4, true, 0x0001),
    NUM(trctout, "TRCTOUT", HEX4, true, 0x0002),
    NUM(trctlevel, "TRCTLEVEL", DEC, true, 5),
    NUM(trctattr, "TRCTATTR", HEX4, true, 0x810F),
    NUM(trctsize, "TRCTSIZE", DEC, true, 5000000),
    NUM(trctxdump, "TRCTXDUMP", DEC, true, 0),
    NUM(trcpout, "TRCPOUT", HEX4, true, 0x0000),
    NUM(trcplevel, "TRCPLEVEL", DEC, true, 5),
    NUM(trcpattr, "TRCPATTR", HEX4, true, 0x812F),
    NUM(trcpsize, "TRCPSIZE", DEC, true, 5000000),
    NUM(trcpprint, "TRCPPRINT", DEC, true, 0),
    NUM(trcuout, "TRCUOUT", HEX4, true, 0x0000),
    NUM(trculevel, "TRCULEVEL", DEC, true, 5),
    NUM(trcuattr, "TRCUATTR", HEX4, true, 0x812F),
    NUM(trcusize, "TRCUSIZE", DEC, true, 5000000),
    NUM(trcuprint, "TRCUPRINT", DEC, true, 0),
    NUM(trcdeltime, "TRCDELTIME", DEC, true, 0),
    NUM(trcdelday, "TRCDELDAY", DEC, true, 0),
    STR(mdmssg, "MDMSSG", PATH, true),
    NUM(mdmxitem, "MDMXITEM", DEC, true, 1024),
    NUM(mdmxmssg, "MDMXMSSG", DEC, true, 512),
    NUM(mdmxmitem, "MDMXMITEM", DEC, true, 10240),
    NUM(mdmxpool, "MDMXPOOL", DEC, true, 65536),
};

#undef NUM
#undef STR

const Key* find_key(const char* name)
{
    for (const Key& k : kKeys)
        if (std::strcmp(k.name, name) == 0)
            return &k;
    return nullptr;
}

char* field_text(XKSConfig& cfg, const Key& k) { return reinterpret_cast<char*>(&cfg) + k.offset; }

int32_t field_number(const XKSConfig& cfg, const Key& k)
{
    int32_t v;
    std::memcpy(&v, reinterpret_cast<const char*>(&cfg) + k.offset, sizeof v);
    return v;
}

void set_number(XKSConfig& cfg, const Key& k, int64_t value)
{
    auto v = static_cast<int32_t>(static_cast<uint32_t>(value));
    std::memcpy(reinterpret_cast<char*>(&cfg) + k.offset, &v, sizeof v);
}

void set_defaults(XKSConfig& cfg)
{
    for (const Key& k : kKeys)
        if (k.kind != TEXT && k.kind != PATH && k.kind != DEVID)
            set_number(cfg, k, k.def);
}

void store(XKSConfig& cfg, const Key& k, const char* value)
{
    if (k.kind == TEXT || k.kind == PATH)
        XKWStrCopy(field_text(cfg, k), value, k.size);
    else
        set_number(cfg, k, XKWTextToInt(value, 0));
}

// A path as the configuration understands it: absolute when it starts with
// a separator or a drive ("C:"), otherwise below base; "." and ".." steps
// folded away and every "\" turned into "/".
void resolve(char* out, size_t size, const char* base, const char* path)
{
    bool absolute = path[0] == '/' || path[0] == '\\' || (path[0] != '\0' && path[1] == ':');
    if (absolute || XKWPathJoin(out, size, base, path, nullptr) < 0)
        XKWStrCopy(out, path, size);
    XKWPathNormal(out);
    for (char* p = out; *p != '\0'; ++p)
        if (*p == '\\')
            *p = '/';
}

// Call apply(key, value) for every entry of exactly that section (the
// reader finds sections case-insensitively; the upper-cased name must
// still equal the name asked for). Returns 0, or -2 when the file cannot
// be opened.
template <class Apply>
int32_t read_section(const char* path, const char* section, Apply&& apply)
{
    // Kept off the stack: callers may run on small thread stacks.
    struct Entry {
        char section[XKW_INI_SECTION];
        char key[XKW_INI_KEY];
        char value[XKW_INI_VALUE];
    };
    std::unique_ptr<Entry> e(new (std::nothrow) Entry);
    if (e == nullptr)
        return XKW_E_NOMEM;
    XKWIni ini{};
    if (XKWIniOpen(&ini, path, section) < 0)
        return XKW_E_NOTFOUND;
    XKWIniSetMode(&ini, 0);
    while (XKWIniNext(&ini, e->section, sizeof e->section, e->key, sizeof e->key, e->value,
                      sizeof e->value) == 0)
        if (std::strcmp(e->section, section) == 0)
            apply(e->key, e->value);
    XKWIniClose(&ini);
    return XKW_OK;
}

// The three sections in override order.
template <class Apply>
int32_t read_sections(const char* path, const char* section, Apply&& apply)
{
    for (const char* s : {"DEFAULT", "SECSCOMMON", section}) {
        int32_t rc = read_section(path, s, apply);
        if (rc < 0)
            return rc;
    }
    return XKW_OK;
}

// First pass: every key but DEVID, over the defaults; paths resolved.
int32_t load_keys(XKSConfig& cfg, const char* path)
{
    set_defaults(cfg);
    int32_t rc = read_sections(path, cfg.xsect, [&](const char* key, const char* value) {
        const Key* k = find_key(key);
        if (k != nullptr && k->kind != DEVID)
            store(cfg, *k, value);
    });
    if (rc < 0)
        return rc;
    char raw[XKS_PATH_SIZE];
    for (const Key& k : kKeys)
        if (k.kind == PATH) {
            XKWStrCopy(raw, field_text(cfg, k), sizeof raw);
            resolve(field_text(cfg, k), k.size, cfg.xdir, raw);
        }
    return XKW_OK;
}

// Second pass: the DEVID entries of all three sections, duplicates and
// entries beyond XDEV dropped.
int32_t load_devids(XKSConfig& cfg, const char* path)
{
    return read_sections(path, cfg.xsect, [&](const char* key, const char* value) {
        if (std::strcmp(key, "DEVID") != 0)
            return;
        char token[XKW_INI_VALUE];
        const char* p = value;
        while (cfg.ndev < cfg.xdev && XKWIniItem(&p, token, sizeof token) >= 0) {
            auto id = static_cast<int32_t>(XKWTextToInt(token, 0));
            bool known = false;
            for (int32_t i = 0; i < cfg.ndev && !known; ++i)
                known = cfg.devid[i] == id;
            if (!known)
                cfg.devid[cfg.ndev++] = id;
        }
    });
}

void free_arrays(XKSConfig& cfg)
{
    std::free(cfg.devid);
    std::free(cfg.devst);
    std::free(cfg.devss);
    std::free(cfg.devud);
    std::free(cfg.devtm);
    cfg.devid = nullptr;
    cfg.devst = nullptr;
    cfg.devss = nullptr;
    cfg.devud = nullptr;
    cfg.devtm = nullptr;
    cfg.ndev = 0;
}

// The INI file the acb was loaded from, rebuilt absolute so that a later
// change of the working directory does not move it.
void ini_path(const XKSConfig& cfg, char* out, size_t size)
{
    resolve(out, size, cfg.xdir, XKWPathBase(cfg.xini));
}

int64_t modification_time(const char* path)
{
    struct stat st {};
    if (::stat(path, &st) != 0)
        return -1;
    return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// Where the listing goes: the chosen trace when open, else null.
XKWTrace* listing_trace(XKSAcb* acb, uint32_t flags)
{
    XKWTrace* t = (flags & XKS_DUMP_CTRACE) != 0 ? acb->ctrace : &acb->utrace;
    return t != nullptr && t->open != 0 ? t : nullptr;
}

void format_line(char* line, size_t size, const XKSConfig& cfg, const Key& k)
{
    int n = std::snprintf(line, size, "%-12s=", k.name);
    if (n < 0 || size_t(n) >= size)
        return;
    char* p = line + n;
    size_t left = size - size_t(n);
    switch (k.kind) {
    case DEC:
        std::snprintf(p, left, "%8d", field_number(cfg, k));
        break;
    case HEX8:
        std::snprintf(p, left, "  0x%08x", uint32_t(field_number(cfg, k)));
        break;
    case HEX4:
        std::snprintf(p, left, "  0x%04x", uint32_t(field_number(cfg, k)));
        break;
    case TEXT:
    case PATH:
        std::snprintf(p, left, " \"%s\"", reinterpret_cast<const char*>(&cfg) + k.offset);
        break;
    case DEVID: {
        int m = std::snprintf(p, left, " \"");
        for (int32_t i = 0; i < cfg.ndev && m >= 0 && size_t(m) < left; ++i)
            m += std::snprintf(p + m, left - size_t(m), i == 0 ? "0x%04x" : ",0x%04x", uint32_t(cfg.devid[i]));
        if (m >= 0 && size_t(m) < left)
            std::snprintf(p + m, left - size_t(m), "\"");
        break;
    }
    }
}

std::mutex g_print_lock;
bool g_print_started = false;  // the first write of the process truncates the file

}  // namespace

int32_t XKSLibReadConfig(XKSAcb* acb, const char* file, const char* section)
{
    if (acb == nullptr)
        return XKW_E_INVAL;
    std::memset(acb, 0, sizeof *acb);
    XKSConfig& cfg = acb->cfg;
    XKWStrCopy(cfg.xini, file != nullptr && *file != '\0' ? file : XKS_INI_DEFAULT_FILE, sizeof cfg.xini);
    XKWStrCopy(cfg.xsect, section != nullptr && *section != '\0' ? section : XKS_INI_DEFAULT_SECTION,
               sizeof cfg.xsect);

    char cwd[XKS_PATH_SIZE];
    if (::getcwd(cwd, sizeof cwd) == nullptr)
        cwd[0] = '\0';
    char path[XKS_PATH_SIZE];
    resolve(path, sizeof path, cwd, cfg.xini);
    XKWStrCopy(cfg.xdir, XKWPathDir(path), sizeof cfg.xdir);

    int32_t rc = load_keys(cfg, path);
    if (rc < 0)
        return rc;
    if (cfg.xdev < 1)
        cfg.xdev = 1;
    // Device IDs are 16-bit: more entries could never be filled, and a
    // mistyped value must not allocate gigabytes.
    if (cfg.xdev > XKS_XDEV_MAX)
        cfg.xdev = XKS_XDEV_MAX;
    auto n = size_t(cfg.xdev);
    cfg.devid = static_cast<int32_t*>(std::calloc(n, sizeof(int32_t)));
    cfg.devst = static_cast<uint8_t*>(std::calloc(n, 1));
    cfg.devss = static_cast<uint8_t*>(std::calloc(n, 1));
    cfg.devud = static_cast<uint8_t*>(std::calloc(n, 1));
    cfg.devtm = static_cast<int64_t*>(std::calloc(n, sizeof(int64_t)));
    if (cfg.devid == nullptr || cfg.devst == nullptr || cfg.devss == nullptr || cfg.devud == nullptr ||
        cfg.devtm == nullptr) {
        free_arrays(cfg);
        return XKW_E_NOMEM;
    }
    rc = load_devids(cfg, path);
    if (rc < 0) {
        free_arrays(cfg);
        return rc;
    }
    cfg.xmtime = modification_time(path);
    return XKW_OK;
}

int32_t XKSLibRereadConfig(XKSAcb* acb)
{
    if (acb == nullptr)
        return XKW_E_INVAL;
    XKSConfig& cfg = acb->cfg;
    char path[XKS_PATH_SIZE];
    ini_path(cfg, path, sizeof path);
    // Loaded afresh over the defaults, so a key taken out of the file
    // returns to its default rather than keeping its last value.
    std::unique_ptr<XKSConfig> fresh(new (std::nothrow) XKSConfig{});
    if (fresh == nullptr)
        return XKW_E_NOMEM;
    std::memcpy(fresh->xdir, cfg.xdir, sizeof fresh->xdir);
    std::memcpy(fresh->xsect, cfg.xsect, sizeof fresh->xsect);
    int32_t rc = load_keys(*fresh, path);
    if (rc < 0)
        return rc;
    for (const Key& k : kKeys)
        if (k.reread)
            std::memcpy(reinterpret_cast<char*>(&cfg) + k.offset,
                        reinterpret_cast<const char*>(fresh.get()) + k.offset, k.size);
    return XKW_OK;
}

int32_t XKSLibWatchConfig(XKSAcb* acb, int64_t now, const char* prefix, XKWTrace* trace)
{
    if (acb == nullptr)
        return XKW_E_INVAL;
    XKSConfig& cfg = acb->cfg;
    if (cfg.xfa != 0 && now - cfg.xfa < cfg.inter3)
        return 0;
    cfg.xfa = now;
    char path[XKS_PATH_SIZE];
    ini_path(cfg, path, sizeof path);
    int64_t mtime = modification_time(path);
    if (mtime < 0 || mtime == cfg.xmtime)
        return 0;
    char text[2 * XKS_PATH_SIZE + 64];
    std::snprintf(text, sizeof text, "%sGet parameters from %s [%s].", prefix != nullptr ? prefix : "",
                  cfg.xini, cfg.xsect);
    if (trace != nullptr && trace->open != 0)
        XKWTraceWriteText(__FILE__, __LINE__, __func__, trace, 0, 0, "IN", text);
    else
        XKSLibPrint(XKS_PRINT_LIBRARY | XKS_PRINT_FORMAT, "%s\n", text);
    int32_t rc = XKSLibRereadConfig(acb);
    if (rc < 0)
        return rc;
    cfg.xmtime = mtime;
    return 1;
}

void XKSLibFreeConfig(XKSAcb* acb)
{
    if (acb != nullptr)
        free_arrays(acb->cfg);
}

int32_t XKSLibDumpConfig(XKSAcb* acb, uint32_t flags)
{
    if (acb == nullptr)
        return XKW_E_INVAL;
    XKWTrace* trace = listing_trace(acb, flags);
    bool write = trace != nullptr || (flags & XKS_DUMP_TRACE_ONLY) == 0;
    const XKSConfig& cfg = acb->cfg;
    int32_t count = 0;
    char line[XKS_LINE_SIZE * 8];

    auto emit = [&](const char* text) {
        if (write) {
            if (trace != nullptr)
                XKWTraceWriteText(__FILE__, __LINE__, __func__, trace, 0, 0, "IN", text);
            else
                XKSLibPrint(XKS_PRINT_LIBRARY | XKS_PRINT_FORMAT, "%s\n", text);
        }
        // Line 0 of the identification list is the banner; the listing
        // follows it while there is room.
        if (acb->idlines != nullptr && count + 1 < acb->nidlines)
            XKWStrCopy(acb->idlines[count + 1], text, XKS_LINE_SIZE);
        ++count;
    };

    std::snprintf(line, sizeof line, "%s [%s]", cfg.xini, cfg.xsect);
    emit(line);
    for (const Key& k : kKeys) {
        format_line(line, sizeof line, cfg, k);
        emit(line);
    }
    std::memset(line, '-', 100);
    line[100] = '\0';
    emit(line);
    // A shorter listing than the last one must not leave old lines behind.
    for (int32_t i = count + 1; acb->idlines != nullptr && i < acb->nidlines; ++i)
        acb->idlines[i][0] = '\0';
    return count;
}

int32_t XKSLibVersion(char* record)
{
    if (record == nullptr)
        return XKW_E_INVAL;
    std::memset(record, 0, 96);
    XKWStrCopy(record, "20.040", 32);
    XKWStrCopy(record + 32, "200412.1455", 32);
    XKWStrCopy(record + 64, "VS2010", 32);
    return int32_t(sizeof(void*) * 8);
}

const XKSVersionInfo& XKSLibVersionInfo()
{
    static XKSVersionInfo v;
    static std::once_flag once;
    std::call_once(once, [] {
        v.bits = XKSLibVersion(v.record);
        std::snprintf(v.line, sizeof v.line, "XK-Project [XKS:%.31s(%dbit) DATE:%.31s by %.31s] .. [%s %s]",
                      v.record, v.bits, v.record + 32, v.record + 64, "Apr 16 2020", "15:22:30");
        v.list[0] = v.line;
        v.list[1] = nullptr;
    });
    return v;
}

namespace {

int32_t file_name(const char* pattern, const char* kind, int32_t side, int32_t devid, const char* dir,
                  char* out, size_t size)
{
    if (out == nullptr || size == 0)
        return XKW_E_INVAL;
    char base[64];
    std::snprintf(base, sizeof base, pattern, side != 0 ? "e" : "h", unsigned(devid) & 0xFFFFu, kind);
    char path[XKS_PATH_SIZE + 64];
    resolve(path, sizeof path, dir != nullptr ? dir : "", base);
    if (XKWStrCopy(out, path, size) != int32_t(std::strlen(path))) {
        out[0] = '\0';
        return XKW_E_FULL;
    }
    return XKW_OK;
}

}  // namespace

int32_t XKSLibQueueName(int32_t kind, int32_t side, int32_t devid, const char* dir, char* out, size_t size)
{
    static constexpr const char* kinds[] = {"r", "s", "c", "s", "u", "w", " ", " "};
    if (kind < 0 || kind > 7)
        return XKW_E_INVAL;
    return file_name("q%s%04x%s.xkq", kinds[kind], side, devid, dir, out, size);
}

int32_t XKSLibTraceName(int32_t kind, int32_t side, int32_t devid, const char* dir, char* out, size_t size)
{
    static constexpr const char* kinds[] = {"t", "e", "p", "u"};
    if (kind < 0 || kind > 3)
        return XKW_E_INVAL;
    return file_name("t%s%04x%s.trc", kinds[kind], side, devid, dir, out, size);
}

int32_t XKSLibDevIndex(const XKSAcb* acb, int32_t devid)
{
    if (acb == nullptr || acb->cfg.devid == nullptr)
        return XKW_E_NODEV;
    const XKSConfig& cfg = acb->cfg;
    bool hsms = (cfg.secsmode & 0x1) != 0;
    // SECS-I carries the R-bit in the top bit of the device ID; HSMS does
    // too when asked to, except for the control-message ID 0xFFFF.
    bool low15 = !hsms || ((cfg.secsmode & 0x200) != 0 && devid != 0xFFFF);
    int32_t mask = low15 ? 0x7FFF : -1;
    for (int32_t i = 0; i < cfg.ndev; ++i)
        if ((cfg.devid[i] & mask) == (devid & mask))
            return i;
    return XKW_E_NODEV;
}

int32_t XKSLibNextXid(const XKSAcb* acb, int32_t previous)
{
    if (acb == nullptr)
        return XKW_E_INVAL;
    const XKSConfig& cfg = acb->cfg;
    int64_t p = previous < cfg.xidmin ? int64_t(cfg.xidmin) - 1 : previous;
    return p + 1 > cfg.xidmax ? cfg.xidmin : int32_t(p + 1);
}

int32_t XKSLibPrint(int32_t flags, const char* format, ...)
{
    if (format == nullptr)
        return XKW_E_INVAL;
    char text[XKS_PRINT_MAX + 1];
    if ((flags & XKS_PRINT_FORMAT) != 0) {
        va_list ap;
        va_start(ap, format);
        std::vsnprintf(text, sizeof text, format, ap);
        va_end(ap);
    } else {
        XKWStrCopy(text, format, sizeof text);
    }
    if ((flags & (XKS_PRINT_STDOUT | XKS_PRINT_FILE_BIT)) == 0)
        return int32_t(std::strlen(text));

    int32_t clock = 0;
    int32_t ms = 0;
    int64_t now = XKWTimeStamp(nullptr, &clock, &ms) / 1000;
    int day_seconds = clock / 10000 * 3600 + clock / 100 % 100 * 60 + clock % 100;
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%06d.%06d.%03d:", int(now % 1000000), day_seconds, ms);

    std::lock_guard<std::mutex> guard(g_print_lock);
    if ((flags & XKS_PRINT_STDOUT) != 0) {
        std::fputs(prefix, stdout);
        std::fputs(text, stdout);
        std::fflush(stdout);
    }
    if ((flags & XKS_PRINT_FILE_BIT) != 0) {
        FILE* f = std::fopen(XKS_PRINT_FILE, g_print_started ? "ab" : "wb");
        if (f != nullptr) {
            g_print_started = true;
            std::fputs(prefix, f);
            std::fputs(text, f);
            std::fclose(f);
        }
    }
    return int32_t(std::strlen(text));
}
