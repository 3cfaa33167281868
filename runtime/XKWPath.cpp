// Path splitting, joining, directory creation and normalisation.
//
// XKWPathDir and XKWPathStem return text of their own: each has a ring of
// 64 buffers handed out by an atomic counter, so concurrent callers get
// different buffers and a result stays valid for the next 63 calls.
#include "runtime/XKWPath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "runtime/XKWCode.h"
#include "runtime/XKWResult.h"

namespace {

constexpr size_t ring_size = 64;

struct Ring {
    std::array<std::array<char, XKW_PATH_MAX>, ring_size> buf{};
    std::atomic<uint32_t> next{0};

    char* take() { return buf[next.fetch_add(1, std::memory_order_relaxed) % ring_size].data(); }
};

Ring dir_ring;
Ring stem_ring;


bool is_sep(char c)
{
    return c == '/' || c == '\\';
}

bool is_alpha(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// 2 when path starts with a drive letter and colon, else 0.
size_t drive_len(const char* path)
{
    return is_alpha(path[0]) && path[1] == ':' ? 2 : 0;
}

// Offset of the character after the last separator (or after the drive).
size_t base_offset(const char* path)
{
    size_t base = drive_len(path);
    for (size_t i = base; path[i] != '\0';) {
        size_t n = XKWCodeCharLen(path + i);
        if (n == 1 && is_sep(path[i]))
            base = i + 1;
        i += n;
    }
    return base;
}

// Copy len bytes of src into a ring buffer as whole characters.
const char* ring_copy(Ring& ring, const char* src, size_t len)
{
    char* out = ring.take();
    size_t i = 0;
    while (i < len) {
        size_t n = XKWCodeCharLen(src + i);
        if (i + n > len || i + n > XKW_PATH_MAX - 1)
            break;
        i += n;
    }
    std::memcpy(out, src, i);
    out[i] = '\0';
    return out;
}

bool is_dot_name(const char* s, size_t len)
{
    return (len == 1 && s[0] == '.') || (len == 2 && s[0] == '.' && s[1] == '.');
}

// Offset of the last "." in the len bytes of name, or len when none.
size_t last_dot(const char* name, size_t len)
{
    size_t dot = len;
    for (size_t i = 0; i < len;) {
        size_t n = XKWCodeCharLen(name + i);
        if (n == 1 && name[i] == '.')
            dot = i;
        i += n;
    }
    return dot;
}

// True when the last character of s is a separator.
bool ends_with_sep(const char* s)
{
    bool sep = false;
    for (size_t i = 0; s[i] != '\0';) {
        size_t n = XKWCodeCharLen(s + i);
        sep = n == 1 && is_sep(s[i]);
        i += n;
    }
    return sep;
}

int32_t join_parts(char* out, size_t size, const char* first, va_list ap)
{
    if (out == nullptr || size == 0)
        return XKW_E_INVAL;
    size_t len = 0;
    bool tail_sep = false;
    out[0] = '\0';
    for (const char* part = first; part != nullptr; part = va_arg(ap, const char*)) {
        size_t n = std::strlen(part);
        if (n == 0)
            continue;
        bool seam = len > 0 && !tail_sep && !is_sep(part[0]);
        if (len + (seam ? 1 : 0) + n >= size) {
            out[0] = '\0';
            return XKW_E_FULL;
        }
        if (seam)
            out[len++] = '/';
        std::memcpy(out + len, part, n + 1);
        len += n;
        tail_sep = ends_with_sep(part);
    }
    return static_cast<int32_t>(len);
}

// mkdir each directory that ends before a separator of path.
int32_t make_dirs(char* path)
{
    size_t start = drive_len(path);
    for (size_t i = start; path[i] != '\0';) {
        size_t n = XKWCodeCharLen(path + i);
        // A separator right after the drive or at the start is the root,
        // and the second of two separators names the same directory again.
        if (n == 1 && is_sep(path[i]) && i > start && !is_sep(path[i - 1])) {
            char saved = path[i];
            path[i] = '\0';
            int rc = mkdir(path, 0777);
            int err = errno;
            path[i] = saved;
            if (rc != 0 && err != EEXIST)
                return -err;
        }
        i += n;
    }
    return 0;
}

// Step 1: every run of separators becomes its first separator.
size_t collapse_separators(char* path)
{
    size_t w = 0;
    bool prev_sep = false;
    for (size_t r = 0; path[r] != '\0';) {
        size_t n = XKWCodeCharLen(path + r);
        bool sep = n == 1 && is_sep(path[r]);
        if (!(sep && prev_sep)) {
            std::memmove(path + w, path + r, n);
            w += n;
        }
        prev_sep = sep;
        r += n;
    }
    path[w] = '\0';
    return w;
}

// Step 2: at the root, "/.." and "/." lead nowhere and are dropped. Only
// whole components count, so "/.profile" and "/...x" stay as they are.
void drop_root_dots(char* p)
{
    for (;;) {
        size_t len = std::strlen(p);
        if (len < 4 || !is_sep(p[0]) || p[1] != '.')
            break;
        size_t drop = 0;
        if (p[2] == '.' && is_sep(p[3]))
            drop = 3;
        else if (is_sep(p[2]))
            drop = 2;
        else
            break;
        std::memmove(p, p + drop, len - drop + 1);
    }
    size_t len = std::strlen(p);
    if (len >= 2 && is_sep(p[0]) && p[1] == '.' &&
        (len == 2 || (len == 3 && (p[2] == '.' || is_sep(p[2])))))
        p[1] = '\0';
}

// Offset in p of the start of the last component written in [base, end),
// where p[end - 1] is the separator that closes it.
size_t last_component(const char* p, size_t base, size_t end)
{
    size_t start = base;
    for (size_t i = base; i < end - 1;) {
        size_t n = XKWCodeCharLen(p + i);
        if (n == 1 && is_sep(p[i]))
            start = i + 1;
        i += n;
    }
    return start;
}

// Step 3: remove "." components and "name/.." pairs. The output is built
// in place as components each followed by the separator that followed it,
// so a removal at the end of the path leaves the separator before it.
size_t fold_components(char* p, size_t drive)
{
    bool absolute = is_sep(p[drive]);
    size_t base = drive + (absolute ? 1 : 0);
    size_t w = base;
    size_t r = base;
    while (p[r] != '\0') {
        size_t e = r;
        while (p[e] != '\0') {
            size_t n = XKWCodeCharLen(p + e);
            if (n == 1 && is_sep(p[e]))
                break;
            e += n;
        }
        size_t len = e - r;
        size_t next = p[e] != '\0' ? e + 1 : e;
        bool dot = len == 1 && p[r] == '.';
        bool dotdot = len == 2 && p[r] == '.' && p[r + 1] == '.';
        if (dot && (w > base || absolute)) {
            r = next;
            continue;
        }
        if (dotdot && w > base) {
            size_t top = last_component(p, base, w);
            if (!is_dot_name(p + top, w - 1 - top)) {
                w = top;
                r = next;
                continue;
            }
        } else if (dotdot && absolute) {
            r = next;  // the parent of the root is the root
            continue;
        }
        std::memmove(p + w, p + r, next - r);
        w += next - r;
        r = next;
    }
    p[w] = '\0';
    return w;
}

}  // namespace

const char* XKWPathBase(const char* path)
{
    if (path == nullptr)
        return "";
    return path + base_offset(path);
}

const char* XKWPathDir(const char* path)
{
    if (path == nullptr)
        path = "";
    size_t drive = drive_len(path);
    size_t base = base_offset(path);
    size_t len = 0;
    if (base == drive)
        len = drive;  // no separator: at most a bare drive
    else if (base - 1 == drive)
        len = base;   // the separator is the root: keep it
    else
        len = base - 1;
    return ring_copy(dir_ring, path, len);
}

const char* XKWPathExt(const char* path)
{
    const char* name = XKWPathBase(path);
    size_t len = std::strlen(name);
    if (is_dot_name(name, len))
        return name + len;
    size_t dot = last_dot(name, len);
    return dot < len ? name + dot + 1 : name + len;
}

const char* XKWPathStem(const char* path)
{
    const char* name = XKWPathBase(path);
    size_t len = std::strlen(name);
    size_t dot = is_dot_name(name, len) ? len : last_dot(name, len);
    if (dot == 0)
        dot = len;
    return ring_copy(stem_ring, name, dot);
}

int32_t XKWPathJoin(char* out, size_t size, const char* first, ...)
{
    va_list ap;
    va_start(ap, first);
    int32_t rc = join_parts(out, size, first, ap);
    va_end(ap);
    return rc;
}

int32_t XKWPathJoinMake(char* out, size_t size, const char* first, ...)
{
    va_list ap;
    va_start(ap, first);
    int32_t rc = join_parts(out, size, first, ap);
    va_end(ap);
    if (rc < 0)
        return rc;
    int32_t made = make_dirs(out);
    return made < 0 ? made : rc;
}

int32_t XKWPathNormal(char* path)
{
    if (path == nullptr)
        return 0;
    if (collapse_separators(path) == 0)
        return 0;
    size_t drive = drive_len(path);
    drop_root_dots(path + drive);
    size_t len = fold_components(path, drive);
    if (len == 0) {
        path[0] = '.';  // "a/.." and the like: the current directory
        path[1] = '\0';
        len = 1;
    }
    return static_cast<int32_t>(len);
}

int32_t XKWPathProgram(char* out, size_t size)
{
    if (out == nullptr || size == 0)
        return XKW_E_INVAL;
    out[0] = '\0';
    ssize_t n = readlink("/proc/self/exe", out, size);
    if (n < 0)
        return -errno;
    if (size_t(n) >= size) {
        out[0] = '\0';
        return XKW_E_FULL;
    }
    out[n] = '\0';
    return int32_t(n);
}
