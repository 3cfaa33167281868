// Trace and log files.
//
// A line is built in one stack buffer and written with one write() on a
// descriptor opened with O_APPEND, so lines of several writers never mix
// and the file stays open between lines. The size check behind rotation
// costs one fstat per line, and only in generation mode; the scan for the
// newest generation runs only when a trace is opened.
//
// Locking. A trace opened with 0x8000 serialises each line and each whole
// dump, together with the rotation check and reopen. With 0x1000 that is
// the block's thread lock; without it a named mutex named after the trace's
// directory and file name (not the generation or day name, so processes
// that opened different generations of one trace still share it). In the
// named-mutex mode the thread lock is taken first as well: the writer that
// times out on the mutex closes and re-creates the block's mutex handle,
// which must not happen under another thread of the process that is still
// using it.
//
// Time stamps. The day compared for date rotation is the day of the line's
// own time stamp, so a preset time (XKWTraceSetTime) moves a trace into the
// day of that time exactly as the clock would.
//
// SIGXFSZ is ignored from the first open on (unless the process handles
// it): a trace that reaches the file size limit must fail its write, not
// end the process.
#include "runtime/XKWTrace.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>

#include "runtime/XKWCode.h"
#include "runtime/XKWDir.h"
#include "runtime/XKWDump.h"
#include "runtime/XKWHandle.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWStr.h"
#include "runtime/XKWTime.h"

namespace {

constexpr uint32_t mode_lock = 0x8000;
constexpr uint32_t mode_thread_lock = 0x1000;
constexpr uint32_t mode_no_header = 0x4000;
constexpr int32_t out_stdout = 0x1;
constexpr int32_t out_file = 0x2;
constexpr int32_t out_date = 0x30;
constexpr int32_t out_generations = 0x40;
constexpr int32_t out_naming = 0x70;
constexpr int32_t attr_crlf = 0x8000;
constexpr int32_t flag_raw = 0x80;
constexpr int32_t flag_no_lock = 0x40000000;
constexpr int32_t flag_held = static_cast<int32_t>(0x80000000u);
constexpr int32_t default_size_in_header = 0x10000000;
constexpr int32_t max_generation_digits = 9;
constexpr size_t retry_slots = 4;
constexpr size_t max_id_lines = 4096;
// Room behind the 2047 characters, so that a text cut there still has the
// trailing bytes of its last character to look at, and for the line end.
constexpr size_t line_slack = 8;
constexpr size_t path_size = 1024;

// Process defaults. The numbers are read by every write, so they are atomic;
// the directory is read only at open, under its own lock.
struct Defaults {
    std::mutex dir_lock;
    char dir[XKW_PATH_MAX] = "";
    std::atomic<int32_t> out{out_file};
    std::atomic<int32_t> keep{0};
    std::atomic<int32_t> attr{0x010F};
    std::atomic<int32_t> level{5};
    std::atomic<int32_t> size{0};
    std::atomic<int32_t> wait_ms{0};
};
Defaults defaults;

// Generation files whose deletion failed, retried at the next deletion and
// at close. Traces rotate in any thread, so the list has a lock.
struct RetryList {
    std::mutex lock;
    std::array<std::array<char, XKW_PATH_MAX>, retry_slots> path{};
};
RetryList retry_list;

// The process trace table; new handles come from the top.
XKWHandleTable<XKWTrace, XKW_HANDLES> table(true);

// The descriptor is checked by every writer before it takes the lock and
// replaced by a rotation under the lock, so it is accessed atomically.
int32_t load_fd(XKWTrace* t)
{
    return std::atomic_ref<int32_t>(t->fd).load(std::memory_order_acquire);
}

void store_fd(XKWTrace* t, int32_t fd)
{
    std::atomic_ref<int32_t>(t->fd).store(fd, std::memory_order_release);
}

void ignore_file_size_signal()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction old {};
        if (sigaction(SIGXFSZ, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
            signal(SIGXFSZ, SIG_IGN);
    });
}

// The values a write works with: the block's, or the defaults where the
// block holds a negative one.
struct Settings {
    int32_t out;
    int32_t attr;
    int32_t level;
};

Settings settings_of(const XKWTrace* t)
{
    return {t->out >= 0 ? t->out : defaults.out.load(std::memory_order_relaxed),
            t->attr >= 0 ? t->attr : defaults.attr.load(std::memory_order_relaxed),
            t->level >= 0 ? t->level : defaults.level.load(std::memory_order_relaxed)};
}

const char* line_end(int32_t attr)
{
    return (attr & attr_crlf) != 0 ? "\r\n" : "\n";
}

// One line's time in local time. The clock comes from the seconds, not
// from the milliseconds of the day: those count from midnight UTC, so their
// minutes are not the local minutes in zones a half or quarter hour off.
struct Stamp {
    int32_t date;  // yyyymmdd
    int32_t hour, minute, second, milli;
    bool preset;   // the caller's time, not the clock's
};

Stamp stamp_of(int64_t seconds, int32_t ms_of_day, bool preset)
{
    int32_t clock = XKWTimeClock(seconds);
    return {XKWTimeDate(seconds), clock / 10000, clock / 100 % 100, clock % 100, ms_of_day % 1000, preset};
}

// The preset time of the block (cleared), or now from one clock reading.
Stamp take_stamp(XKWTrace* t)
{
    if (t->preset_time != 0 || t->preset_ms != 0) {
        Stamp s = stamp_of(t->preset_time, t->preset_ms, true);
        t->preset_time = 0;
        t->preset_ms = 0;
        return s;
    }
    int64_t now_ms = XKWTimeStamp(nullptr, nullptr, nullptr);
    return stamp_of(now_ms / 1000, static_cast<int32_t>(now_ms % 86400000), false);
}

// Bytes of the whole characters of text that fit in max bytes.
size_t whole_chars(const char* text, size_t max)
{
    size_t n = 0;
    for (size_t c; (c = XKWCodeCharLen(text + n)) != 0 && n + c <= max;)
        n += c;
    return n;
}

// Text appended to a line buffer, never past `cap` characters. The prefix
// fields are written by hand: they are on every line, and printf costs
// more than the write itself.
struct LineText {
    char* p;
    size_t cap;
    size_t n = 0;

    void add(const char* s, size_t len)
    {
        len = std::min(len, cap - n);
        std::memcpy(p + n, s, len);
        n += len;
    }
    void add(char c) { add(&c, 1); }
    void pad(size_t count, char c)
    {
        count = std::min(count, cap - n);
        std::memset(p + n, c, count);
        n += count;
    }
    // A decimal number right-aligned in width columns, padded with blanks or
    // zeros as printf's "%*d" and "%0*d".
    void number(int64_t v, size_t width, char fill)
    {
        char digits[24];
        auto r = std::to_chars(digits, digits + sizeof digits, v);
        size_t len = static_cast<size_t>(r.ptr - digits);
        const char* d = digits;
        if (fill == '0' && v < 0) {
            add('-');
            ++d;
            --len;
            width = width > 0 ? width - 1 : 0;
        }
        if (len < width)
            pad(width - len, fill);
        add(d, len);
    }
    // At most max characters of s, then blanks up to width, as "%-*.*s".
    void field(const char* s, size_t width, size_t max)
    {
        size_t len = strnlen(s, max);
        add(s, len);
        if (len < width)
            pad(width - len, ' ');
    }

    // Raw text, or a format with its arguments, cut on a character boundary.
    // p must have line_slack bytes of room past cap.
    void text(const char* text_or_format, va_list* ap)
    {
        const char* s = text_or_format != nullptr ? text_or_format : "";
        size_t room = cap - n;
        if (ap == nullptr) {
            size_t len = whole_chars(s, room);
            std::memcpy(p + n, s, len);
            n += len;
        } else {
            int r = std::vsnprintf(p + n, room + line_slack, s, *ap);
            if (r < 0)
                return;
            n += static_cast<size_t>(r) <= room ? static_cast<size_t>(r) : whole_chars(p + n, room);
        }
        p[n] = '\0';
    }
};

char separator(int32_t flags)
{
    switch ((flags >> 4) & 3) {
    case 1:
        return '+';
    case 2:
        return '-';
    default:
        return ':';
    }
}

struct Site {
    const char* source;
    int32_t line;
    const char* function;
};

// Time stamp, separator and the fields chosen by the attributes, each
// followed by ":".
void put_prefix(LineText& out, const XKWTrace* t, int32_t attr, const Stamp& st, int32_t flags,
                int32_t level, const Site& site, const char* tag)
{
    if ((attr & 0x3) != 0) {
        out.number(st.date % 1000000, 6, '0');
        out.add('.');
        out.number(st.hour, 2, '0');
        out.number(st.minute, 2, '0');
        out.number(st.second, 2, '0');
    }
    if ((attr & 0x2) != 0) {
        out.add('.');
        out.number(st.milli, 3, '0');
    }
    out.add(separator(flags));
    if ((attr & 0x4) != 0) {
        out.number(static_cast<int32_t>(t->pid), 5, ' ');
        out.add(':');
    }
    if ((attr & 0x8) != 0) {
        out.number(level, 2, ' ');
        out.add(':');
    }
    if ((attr & 0x10) != 0) {
        out.field(XKWPathBase(site.source != nullptr ? site.source : "unknown"), 16, 16);
        out.add(':');
    }
    if ((attr & 0x20) != 0 && site.line > 0) {
        out.number(site.line, 4, '0');
        out.add(':');
    }
    if ((attr & 0x40) != 0 && site.function != nullptr && site.function[0] != '\0') {
        out.field(site.function, 0, out.cap);
        out.add(':');
    }
    if ((attr & 0x100) != 0 && tag != nullptr && tag[0] != '\0') {
        out.field(tag, 2, 2);
        out.add(':');
    }
}

// One write() for the whole line; a short write (a nearly full disk) is
// finished, a failed one returns -errno.
int32_t write_all(int fd, const char* data, size_t len)
{
    while (len > 0) {
        ssize_t w = write(fd, data, len);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return w < 0 ? -errno : XKW_E_FAIL;
        data += w;
        len -= static_cast<size_t>(w);
    }
    return XKW_OK;
}

// ---- names ----------------------------------------------------------------

bool generation_inside(std::string_view ext)
{
    return ext == "trc" || ext == "log" || ext == "dat" || ext == "txt";
}

// The parts of a trace's file name: the generation goes between stem and
// extension for the known extensions, otherwise at the end.
struct NameParts {
    std::string_view stem;
    const char* ext;  // with its dot, or ""
};

NameParts split_name(const char* name)
{
    const char* ext = XKWPathExt(name);
    if (ext > name && ext[0] != '\0' && generation_inside(ext))
        return {std::string_view(name, static_cast<size_t>(ext - 1 - name)), ext - 1};
    return {std::string_view(name), ""};
}

// The generation number written after the prefix of an entry name, or -1.
int32_t generation_after(const char* name, const char* prefix)
{
    size_t len = std::strlen(prefix);
    if (std::strncmp(name, prefix, len) != 0)
        return -1;
    int32_t g = 0;
    for (int i = 0; i < max_generation_digits && name[len + i] >= '0' && name[len + i] <= '9'; ++i)
        g = g * 10 + (name[len + i] - '0');
    return g;
}

// The newest generation among the files that match the base name of
// pattern (a path with "*" for the generation) in its directory; 0 when
// there is none.
int32_t newest_generation(const char* pattern, const char* prefix)
{
    const char* base = XKWPathBase(pattern);
    std::array<char, path_size> dir{};
    std::memcpy(dir.data(), pattern, static_cast<size_t>(base - pattern));
    XKWDir listing;
    int32_t newest = 0;
    if (XKWDirOpen(&listing, dir.data(), base) == 0) {
        std::array<char, XKW_PATH_MAX> name{};
        for (int32_t rc; (rc = XKWDirNext(&listing, name.data(), name.size())) != 1;)
            if (rc == 0)
                newest = std::max(newest, generation_after(name.data(), prefix));
            else if (rc != XKW_E_FULL)
                break;
    }
    XKWDirClose(&listing);
    return newest;
}

// Build the path of the trace's file into path. Generation: explicit n
// (>= 0); else the next after the open one; else 0 after a rotation
// (reopen); else the newest existing one, found by a scan. In date mode 1
// the day directory is created. Returns the length or -errno.
int32_t build_path(XKWTrace* t, int32_t out, bool reopen, int32_t n, char* path, size_t size)
{
    NameParts parts = split_name(t->file);
    int stem_len = static_cast<int>(parts.stem.size());
    const char* stem = parts.stem.data();
    char gen[24] = "";
    bool scan = false;
    if ((out & out_generations) != 0) {
        if (n >= 0) {
            std::snprintf(gen, sizeof gen, ".%04d", n);
        } else if (t->generation >= 0 || reopen) {
            t->generation = t->generation >= 0 ? t->generation + 1 : 0;
            std::snprintf(gen, sizeof gen, ".%04d", t->generation);
        } else {
            std::strcpy(gen, ".*");
            scan = true;
        }
    }
    int32_t day = t->date % 1000000;
    int32_t date_mode = (out & out_date) >> 4;
    char name[XKW_PATH_MAX + 64];
    char prefix[XKW_PATH_MAX + 16];
    switch (date_mode) {
    case 1:
        std::snprintf(name, sizeof name, "%06d/%.*s%s%s", day, stem_len, stem, gen, parts.ext);
        std::snprintf(prefix, sizeof prefix, "%.*s.", stem_len, stem);
        break;
    case 2:
        std::snprintf(name, sizeof name, "%06d.%.*s%s%s", day, stem_len, stem, gen, parts.ext);
        std::snprintf(prefix, sizeof prefix, "%06d.%.*s.", day, stem_len, stem);
        break;
    case 3:
        std::snprintf(name, sizeof name, "%.*s.%06d%s%s", stem_len, stem, day, gen, parts.ext);
        std::snprintf(prefix, sizeof prefix, "%.*s.%06d.", stem_len, stem, day);
        break;
    default:
        std::snprintf(name, sizeof name, "%.*s%s%s", stem_len, stem, gen, parts.ext);
        std::snprintf(prefix, sizeof prefix, "%.*s.", stem_len, stem);
        break;
    }
    int32_t len = date_mode == 1 ? XKWPathJoinMake(path, size, t->dir, name, nullptr)
                                 : XKWPathJoin(path, size, t->dir, name, nullptr);
    if (len == XKW_E_FULL)
        return -ENAMETOOLONG;
    if (len < 0 || !scan)
        return len;
    t->generation = newest_generation(path, prefix) - 1;
    return build_path(t, out, true, -1, path, size);
}

// The name of the trace's named mutex: its directory and file name.
void mutex_name(const XKWTrace* t, char* name, size_t size)
{
    if (XKWPathJoin(name, size, t->dir, t->file, nullptr) < 0)
        XKWStrCopy(name, t->file, size);
}

// ---- deletion ---------------------------------------------------------------

bool remove_file(const char* path)
{
    return unlink(path) == 0 || errno == ENOENT;
}

// Retry the failed deletions; then delete path (when given) and keep it for
// a later retry when that fails and a slot is free.
void delete_generation(const char* path)
{
    std::lock_guard<std::mutex> guard(retry_list.lock);
    for (auto& slot : retry_list.path)
        if (slot[0] != '\0' && remove_file(slot.data()))
            slot[0] = '\0';
    if (path == nullptr || remove_file(path))
        return;
    for (auto& slot : retry_list.path) {
        if (slot[0] == '\0') {
            if (std::strlen(path) < slot.size())
                std::memcpy(slot.data(), path, std::strlen(path) + 1);
            return;
        }
    }
}

// ---- open, rotate, close --------------------------------------------------------

int32_t write_header(XKWTrace* t, int fd, int32_t attr)
{
    char header[160];
    const char* title = t->title[0] != '\0' ? t->title : t->file;
    int32_t limit = t->size != 0 ? t->size : default_size_in_header;
    int n = std::snprintf(header, sizeof header, "%*d,%*d,%-*.*s%s", 12, 64, 12, limit,
                          XKW_TRACE_TITLE_MAX, XKW_TRACE_TITLE_MAX, title, line_end(attr));
    return write_all(fd, header, static_cast<size_t>(std::min(n, static_cast<int>(sizeof header) - 1)));
}

// Open the trace's file (after a rotation: reopen), write the header into
// an empty file and delete the generation that falls out of the kept ones.
int32_t open_file(XKWTrace* t, bool reopen)
{
    Settings s = settings_of(t);
    std::array<char, path_size> path{};
    int32_t rc = build_path(t, s.out, reopen, -1, path.data(), path.size());
    if (rc < 0)
        return rc;
    int fd = open(path.data(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno != 0 ? -errno : XKW_E_FAIL;
    // Descriptor 0 means "no file" in the block; it is free only when the
    // process runs without standard input.
    if (fd == 0) {
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        if (moved < 0)
            return -errno;
        fd = moved;
    }
    struct stat st {};
    if ((t->mode & mode_no_header) == 0 && fstat(fd, &st) == 0 && st.st_size == 0 &&
        (rc = write_header(t, fd, s.attr)) < 0) {
        close(fd);
        return rc;
    }
    store_fd(t, fd);
    if (t->keep > 0 && t->generation - t->keep >= 0 &&
        build_path(t, s.out, reopen, t->generation - t->keep, path.data(), path.size()) >= 0)
        delete_generation(path.data());
    return XKW_OK;
}

// Steps of an open after the block is cleared and marked.
int32_t open_block(XKWTrace* t, int32_t mode, const char* file, const char* title, int32_t size)
{
    ignore_file_size_signal();
    t->mode = static_cast<uint32_t>(mode) & 0xF000;
    if (XKWThreadSafe(-1))
        t->mode |= mode_lock;
    t->fd = 0;
    t->pid = static_cast<uint32_t>(getpid());
    t->date = XKWTimeDate(0);
    t->generation = -1;
    t->keep = defaults.keep.load(std::memory_order_relaxed);
    t->out = defaults.out.load(std::memory_order_relaxed);
    t->attr = defaults.attr.load(std::memory_order_relaxed);
    t->level = defaults.level.load(std::memory_order_relaxed);
    t->size = size != 0 ? size : defaults.size.load(std::memory_order_relaxed);
    if ((mode & out_naming) != 0)
        t->out = (t->out & ~out_naming) | (mode & out_naming);
    {
        std::lock_guard<std::mutex> guard(defaults.dir_lock);
        XKWStrCopy(t->dir, defaults.dir, sizeof t->dir);
    }
    if (file == nullptr)
        file = "";
    const char* base = XKWPathBase(file);
    if (std::strlen(base) >= sizeof t->file)
        return -ENAMETOOLONG;
    if (base != file) {
        // Refused rather than cut: a cut directory is another directory.
        if (static_cast<size_t>(base - file) > sizeof t->dir)
            return -ENAMETOOLONG;
        XKWStrCopy(t->dir, XKWPathDir(file), sizeof t->dir);
    }
    XKWStrCopy(t->file, base, sizeof t->file);
    XKWStrCopy(t->title, title != nullptr ? title : "", XKW_TRACE_TITLE_MAX + 1);
    if (t->file[0] == '\0')
        return XKW_OK;

    int32_t rc = open_file(t, false);
    if (rc < 0)
        return rc;
    if ((t->mode & mode_lock) != 0) {
        XKWLockInit(&t->lock);
        if ((t->mode & mode_thread_lock) == 0) {
            char name[path_size];
            mutex_name(t, name, sizeof name);
            XKWResourceOpen(&t->mutex, 1, name);
        }
    }
    return XKW_OK;
}

void close_block(XKWTrace* t)
{
    int fd = load_fd(t);
    if (fd > 0)
        close(fd);
    store_fd(t, 0);
    if ((t->mode & mode_lock) != 0) {
        if ((t->mode & mode_thread_lock) == 0)
            XKWResourceClose(&t->mutex);
        XKWLockDelete(&t->lock);
    }
    delete_generation(nullptr);
}

// ---- locking -----------------------------------------------------------------

struct Held {
    bool thread = false;
    bool mutex = false;
};

Held take_lock(XKWTrace* t)
{
    Held held;
    if ((t->mode & mode_lock) == 0)
        return held;
    held.thread = XKWLockEnter(&t->lock, 0) == 0;
    if ((t->mode & mode_thread_lock) != 0)
        return held;
    if (XKWResourceLock(&t->mutex, 0, defaults.wait_ms.load(std::memory_order_relaxed)) == 0) {
        held.mutex = true;
        return held;
    }
    // The holder may be hung: write this line without the mutex, and give
    // the next line a freshly opened one.
    char name[path_size];
    mutex_name(t, name, sizeof name);
    XKWResourceClose(&t->mutex);
    XKWResourceOpen(&t->mutex, 1, name);
    return held;
}

void release(XKWTrace* t, const Held& held)
{
    if (held.mutex)
        XKWResourceUnlock(&t->mutex);
    if (held.thread)
        XKWLockLeave(&t->lock);
}

// ---- writing ---------------------------------------------------------------------

int32_t emit(XKWTrace* t, const Site& site, int32_t flags, int32_t level, const char* tag,
             const Stamp* stamp, const char* format, va_list* ap);

// Rotate when the day has changed since the file was opened (date naming) or the
// file has passed the size limit (generations); the new file starts with
// the identification lines. Runs under the trace's lock.
int32_t check_rotation(XKWTrace* t, const Settings& s, const Stamp& st)
{
    // The day is today's, not the line's: a line stamped before midnight
    // but written after it must not send the trace back to the old day.
    int32_t today = (s.out & out_date) == 0 ? t->date : st.preset ? XKWTimeDate(0) : st.date;
    bool day_changed = today != t->date;
    bool too_big = false;
    struct stat info {};
    if (!day_changed && (s.out & out_generations) != 0 && t->size > 0)
        too_big = fstat(load_fd(t), &info) == 0 && info.st_size > t->size;
    if (!day_changed && !too_big)
        return XKW_OK;
    if (day_changed) {
        t->date = today;
        t->generation = -1;
    }
    // The old descriptor stays in the block until the new one replaces it:
    // writers that have not taken the lock yet test it, and must not see a
    // trace without a file in the middle of a rotation.
    int old = load_fd(t);
    int32_t rc = open_file(t, true);
    close(old);
    if (rc < 0) {
        store_fd(t, 0);
        return rc;
    }
    // Written without the rotation check: a limit smaller than the id lines
    // would otherwise rotate again on every one of them.
    for (size_t i = 0; t->id_lines != nullptr && t->id_lines[i] != nullptr && i < max_id_lines; ++i)
        if (t->id_lines[i][0] != '\0')
            emit(t, {__FILE__, __LINE__, __func__}, flag_held | flag_raw, 1, "ID", &st,
                 t->id_lines[i], nullptr);
    return XKW_OK;
}

// Write one line. stamp: the time of the line (dumps, id lines), or null to
// take it now; ap: null for raw text.
int32_t emit(XKWTrace* t, const Site& site, int32_t flags, int32_t level, const char* tag,
             const Stamp* stamp, const char* format, va_list* ap)
{
    if (t == nullptr || t->open == 0 || load_fd(t) <= 0)
        return XKW_E_BADHANDLE;
    Settings s = settings_of(t);
    if (level > s.level || (s.out & (out_stdout | out_file)) == 0)
        return XKW_OK;
    Stamp st = stamp != nullptr ? *stamp : take_stamp(t);

    char buf[XKW_TRACE_LINE_MAX + line_slack + 1];
    LineText line{buf, XKW_TRACE_LINE_MAX};
    put_prefix(line, t, s.attr, st, flags, level, site, tag);
    line.text(format, (flags & flag_raw) != 0 ? nullptr : ap);
    size_t n = line.n;

    if ((s.out & out_stdout) != 0) {
        buf[n] = '\n';
        std::fwrite(buf, 1, n + 1, stdout);
        std::fflush(stdout);
    }
    if ((s.out & out_file) == 0)
        return XKW_OK;

    Held held;
    if (flags >= 0 && (flags & flag_no_lock) == 0)
        held = take_lock(t);
    // Checked again under the lock: a failed rotation in another writer
    // leaves the trace without a file.
    int32_t rc = load_fd(t) > 0 ? XKW_OK : XKW_E_BADHANDLE;
    if (rc == XKW_OK && flags >= 0 && separator(flags) != '-')
        rc = check_rotation(t, s, st);
    if (rc == XKW_OK) {
        const char* end = line_end(s.attr);
        size_t e = std::strlen(end);
        std::memcpy(buf + n, end, e);
        rc = write_all(load_fd(t), buf, n + e);
    }
    release(t, held);
    return rc;
}

int32_t dump(const Site& site, XKWTrace* t, int32_t dumpflags, int32_t level, const char* tag,
             const char* label, const void* data, int32_t length)
{
    if (t == nullptr || t->open == 0 || load_fd(t) <= 0)
        return XKW_E_BADHANDLE;
    if (length < 0 || (data == nullptr && length > 0))
        return XKW_E_INVAL;
    Settings s = settings_of(t);
    if (level > s.level || (s.out & (out_stdout | out_file)) == 0)
        return XKW_OK;
    Stamp st = take_stamp(t);
    Held held = (s.out & out_file) != 0 ? take_lock(t) : Held{};
    int32_t first_sep = (dumpflags >> 4) & 3;
    int32_t offset = 0;
    int32_t carry = 0;
    int32_t rc = XKW_OK;
    // Bounded: every line advances the offset by at least one byte.
    while (rc == XKW_OK && offset < length) {
        int32_t start = offset;
        char text[XKW_DUMP_LINE_SIZE];
        int32_t nonzero = XKWDumpLine(dumpflags, label, data, length, &offset, &carry, text, sizeof text);
        if (nonzero < 0 || offset <= start)
            break;
        bool limited = t->dump_limit != 0 && static_cast<uint32_t>(start) >= t->dump_limit;
        if (start != 0 && offset < length && (nonzero == 0 || limited))
            continue;
        int32_t sep = start == 0 ? (first_sep != 0 ? first_sep : 1) : 2;
        rc = emit(t, site, flag_held | flag_raw | (sep << 4), level, tag, &st, text, nullptr);
    }
    release(t, held);
    return rc;
}

int32_t set_attr(XKWTrace* t, int32_t out, int32_t attr, int32_t level, int32_t size)
{
    if (t == nullptr || t->open == 0)
        return XKW_E_BADHANDLE;
    if (out >= 0) {
        t->out = out & 0x73;
        t->keep = (out >> 8) & 0x3F;
    }
    if (attr >= 0)
        t->attr = attr;
    if (level >= 0)
        t->level = level;
    if (size > 0)
        t->size = size;
    return XKW_OK;
}

}  // namespace

int32_t XKWTraceSetDefaults(const char* dir, int32_t out, int32_t attr, int32_t level, int32_t size)
{
    if (dir != nullptr) {
        if (std::strlen(dir) >= XKW_PATH_MAX)
            return XKW_E_INVAL;
        std::lock_guard<std::mutex> guard(defaults.dir_lock);
        XKWStrCopy(defaults.dir, dir, sizeof defaults.dir);
    }
    if (out >= 0) {
        defaults.out.store(out & 0x73, std::memory_order_relaxed);
        defaults.keep.store((out >> 8) & 0x3F, std::memory_order_relaxed);
    }
    if (attr >= 0)
        defaults.attr.store(attr, std::memory_order_relaxed);
    if (level >= 0)
        defaults.level.store(level, std::memory_order_relaxed);
    if (size >= 0)
        defaults.size.store(size, std::memory_order_relaxed);
    return XKW_OK;
}

int32_t XKWTraceSetLockWait(int32_t ms)
{
    defaults.wait_ms.store(std::max(ms, 0), std::memory_order_relaxed);
    return XKW_OK;
}

int32_t XKWTraceOpen(XKWTrace* trace, int32_t mode, const char* file, const char* title, int32_t size)
{
    if (trace == nullptr)
        return XKW_E_INVAL;
    *trace = XKWTrace{};
    trace->open = 1;
    trace->index = -1;
    int32_t rc = open_block(trace, mode, file, title, size);
    if (rc < 0)
        *trace = XKWTrace{};
    return rc;
}

int32_t XKWTraceOpen(int32_t index, int32_t mode, const char* file, const char* title, int32_t size)
{
    XKWTrace* t = nullptr;
    int32_t handle = index == -1 ? table.Alloc(&t) : table.AllocAt(index, &t);
    if (handle < 0)
        return handle;
    t->open = static_cast<uint32_t>(getpid());
    t->index = handle;
    int32_t rc = open_block(t, mode, file, title, size);
    if (rc < 0) {
        table.Free(handle);
        return rc;
    }
    return handle;
}

int32_t XKWTraceOpenId(int32_t mode, const char* file, const char* title, int32_t size)
{
    return XKWTraceOpen(-1, mode, file, title, size);
}

int32_t XKWTraceSetAttr(XKWTrace* trace, int32_t out, int32_t attr, int32_t level, int32_t size)
{
    return set_attr(trace, out, attr, level, size);
}

int32_t XKWTraceSetDumpLimit(XKWTrace* trace, uint32_t bytes)
{
    if (trace == nullptr || trace->open == 0)
        return XKW_E_BADHANDLE;
    trace->dump_limit = bytes;
    return XKW_OK;
}

int32_t XKWTraceSetIdLines(XKWTrace* trace, const char* const* list)
{
    if (trace == nullptr || trace->open == 0)
        return XKW_E_BADHANDLE;
    trace->id_lines = list;
    return XKW_OK;
}

int32_t XKWTraceSetPid(XKWTrace* trace, uint32_t number)
{
    if (trace == nullptr || trace->open == 0)
        return XKW_E_BADHANDLE;
    trace->pid = number;
    return XKW_OK;
}

int32_t XKWTraceSetTime(XKWTrace* trace, int64_t seconds, int32_t ms)
{
    if (trace == nullptr || trace->open == 0)
        return XKW_E_BADHANDLE;
    trace->preset_time = seconds;
    trace->preset_ms = ms;
    return XKW_OK;
}

int32_t XKWTraceWrite(const char* source, int32_t line, const char* function, XKWTrace* trace,
                      int32_t flags, int32_t level, const char* tag, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    int32_t rc = emit(trace, {source, line, function}, flags, level, tag, nullptr, format, &ap);
    va_end(ap);
    return rc;
}

int32_t XKWTraceWriteText(const char* source, int32_t line, const char* function, XKWTrace* trace,
                          int32_t flags, int32_t level, const char* tag, const char* text)
{
    return emit(trace, {source, line, function}, flags | flag_raw, level, tag, nullptr, text, nullptr);
}

int32_t XKWTraceDump(const char* source, int32_t line, const char* function, XKWTrace* trace,
                     int32_t dumpflags, int32_t level, const char* tag, const char* label,
                     const void* data, int32_t length)
{
    return dump({source, line, function}, trace, dumpflags, level, tag, label, data, length);
}

int32_t XKWTraceClose(XKWTrace* trace)
{
    if (trace == nullptr || trace->open == 0)
        return XKW_E_BADHANDLE;
    close_block(trace);
    *trace = XKWTrace{};
    return XKW_OK;
}

int32_t XKWTraceCloseId(int32_t handle)
{
    XKWTrace* t = table.Get(handle);
    if (t == nullptr)
        return XKW_E_BADHANDLE;
    close_block(t);
    table.Free(handle);
    return XKW_OK;
}

int32_t XKWTraceSetAttrId(int32_t handle, int32_t out, int32_t attr, int32_t level, int32_t size)
{
    return set_attr(table.Get(handle), out, attr, level, size);
}

int32_t XKWTraceSetDumpLimitId(int32_t handle, uint32_t bytes)
{
    return XKWTraceSetDumpLimit(table.Get(handle), bytes);
}

int32_t XKWTraceSetIdLinesId(int32_t handle, const char* const* list)
{
    return XKWTraceSetIdLines(table.Get(handle), list);
}

int32_t XKWTraceSetTimeId(int32_t handle, int64_t seconds, int32_t ms)
{
    return XKWTraceSetTime(table.Get(handle), seconds, ms);
}

int32_t XKWTraceWriteId(const char* source, int32_t line, const char* function, int32_t handle,
                        int32_t flags, int32_t level, const char* tag, const char* format, ...)
{
    XKWTrace* t = table.Get(handle);
    if (t == nullptr)
        return XKW_E_BADHANDLE;
    char text[XKW_TRACE_LINE_MAX + line_slack + 1];
    LineText formatted{text, XKW_TRACE_LINE_MAX};
    va_list ap;
    va_start(ap, format);
    formatted.text(format, (flags & flag_raw) != 0 ? nullptr : &ap);
    va_end(ap);
    return emit(t, {source, line, function}, flags | flag_raw, level, tag, nullptr, text, nullptr);
}

int32_t XKWTraceDumpId(const char* source, int32_t line, const char* function, int32_t handle,
                       int32_t dumpflags, int32_t level, const char* tag, const char* label,
                       const void* data, int32_t length)
{
    return dump({source, line, function}, table.Get(handle), dumpflags, level, tag, label, data, length);
}
