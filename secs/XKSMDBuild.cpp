// Building messages by definition: the instance of a selected message in
// the working areas of its table, values set by item name, list counts,
// the "@TIME" and "@FILE" macros, the encoding of the instance into a body
// and the numeric parameters through which callers walk the instance.
//
// An instance is a run of message items behind the loaded entries, each
// with its own copy of its item record, so occurrences can carry their own
// names ("NAME:k" inside repetition k of a list) and counts. Values live in
// the working pool. Nothing is allocated: the instance, its values and the
// per-item staging of the build use the preallocated table areas (only an
// XMSGSIZE above the 64 KB staging buffer makes the build allocate one
// buffer for the call).
//
// Conventions the other files rely on:
// - in the definition, a list is followed by its entry definitions: a
//   fixed list by its count of them, a variable list by the entries it
//   takes by default (its stored count, the minimum, or one when that is
//   0), an alternatives list L[a|b] by b;
// - in an instance, the entries of a list are found by depth (dp), never
//   by count: a list whose surplus entries are excluded keeps them in
//   place, so its count may be smaller than the entries that follow it;
// - a list occurrence whose count the caller set has a value 0 of four
//   bytes (the count) in the working pool.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "runtime/XKWFile.h"
#include "runtime/XKWCode.h"
#include "runtime/XKWPath.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWStr.h"
#include "runtime/XKWTime.h"
#include "secs/XKSMDInternal.h"
#include "secs/XKSMssg.h"

namespace {

// Definitions nest far less deeply than this; the limit keeps the
// recursive expansion from running a small thread stack dry on a
// malformed table.
constexpr int32_t kMaxDepth = 256;
constexpr int32_t kDefaultMsgSize = 65536;

// A list whose entry count is not fixed by its definition.
bool is_variable(const XKSMDItem& it) { return md_is_list(it) && it.min != it.max; }

int32_t clamp_count(int64_t c, int32_t lo, int32_t hi)
{
    return static_cast<int32_t>(std::clamp<int64_t>(c, lo, std::max(lo, hi)));
}

bool starts_with_upper(const char* name, const char* prefix)
{
    for (; *prefix != '\0'; ++name, ++prefix)
        if (*name == '\0' || (*name >= 'a' && *name <= 'z' ? *name - 32 : *name) != *prefix)
            return false;
    return true;
}

// The value of a file item names a file whose contents are sent: items
// marked so by "@FILENAME=" and items named "@FILE...".
bool is_file_item(const XKSMDItem& it)
{
    return (it.flags & XKS_MD_FILEITEM) != 0 || starts_with_upper(it.name, "@FILE");
}

bool has_instance(const XKSMDTable* t)
{
    return t->cur.name[0] != '\0' && t->cur.ino >= 0 && t->cur.noi >= 0 &&
           static_cast<int64_t>(t->cur.ino) + t->cur.noi <= t->xmitem;
}

// ---- Instance expansion ----

struct Expansion {
    XKSMDTable* t;
    int32_t end;                  // end of the message's definition items
    int32_t pos[XKS_MD_COUNTS];   // instance position of the list each caller-set count
                                  // went to, -1 none (the first occurrence of its name)
};

// Append the occurrence of definition item d (element number n, depth) and
// everything inside it to the instance; next gets the definition item
// behind it.
int32_t expand(Expansion& x, int32_t d, int32_t n, int32_t depth, int32_t& next)
{
    XKSMDTable* t = x.t;
    if (depth > kMaxDepth)
        return XKW_E_INVAL;
    if (t->mmitem >= t->xmitem)
        return XKS_E_MDMITEM;
    if (t->mitem >= t->xitem)
        return XKS_E_MDITEM;
    const XKSMDMitem& def = t->mitems[d];
    int32_t src = def.item;
    if (src < 0 || src >= t->citem)
        return XKW_E_INVAL;

    int32_t mi = t->mmitem++;
    int32_t ii = t->mitem++;
    ++t->cur.noi;
    XKSMDMitem& m = t->mitems[mi];
    XKSMDItem& it = t->items[ii];
    m = def;
    m.item = ii;
    m.dp = depth;
    m.excluded = 0;
    it = t->items[src];
    it.index = ii;

    if (!md_is_list(it)) {
        if (n > 0 && it.name[0] != '\0')
            md_instance_name(it.name, t->items[src].name, n);
        m.count = it.min == it.max || def.vsize[0] == 0 ? it.min : def.count;
        next = d + 1;
        return XKW_OK;
    }

    // Definition values of a list mean nothing to the build, and a value 0
    // would read as a count set by the caller.
    m.vsize[0] = 0;
    m.value[0] = nullptr;
    int32_t first = d + 1;
    int64_t children = md_entries(t, def);
    bool repeat = false;
    int64_t entries = children;
    if (src != 0) {
        if (n > 0 && is_variable(it) && it.name[0] != '\0')
            md_instance_name(it.name, t->items[src].name, n);
        int32_t r = 0;
        while (r < t->ncounts && (x.pos[r] >= 0 || std::strcmp(it.name, t->counts[r].name) != 0))
            ++r;
        if (r < t->ncounts) {
            // A list given a count repeats its first entry definition (an
            // alternatives list keeps all of them, the count leaves the
            // surplus out).
            x.pos[r] = mi;
            m.vsize[0] = sizeof(int32_t);  // value stored once the instance is in place
            if (!(it.flags & XKS_MD_ALTLIST)) {
                repeat = true;
                entries = first < x.end ? std::max(1, clamp_count(t->counts[r].count, it.min, it.max)) : 0;
            }
        }
    }
    if (!repeat) {
        int32_t at = first;
        int32_t made = 0;  // fewer when the definition ends early
        for (; made < children && at < x.end; ++made) {
            int32_t rc = expand(x, at, n, depth + 1, at);
            if (rc < 0)
                return rc;
        }
        m.count = made;
        next = at;
        return XKW_OK;
    }
    int32_t behind = first;
    for (int32_t k = 1; k <= entries; ++k) {
        int32_t rc = expand(x, first, k, depth + 1, behind);
        if (rc < 0)
            return rc;
    }
    m.count = static_cast<int32_t>(entries);
    next = md_skip(t, first, children, x.end);
    return XKW_OK;
}

// Expand message ment (all its top-level items) behind the current ends,
// applying the caller-set counts; x.pos tells where each went.
int32_t expand_message(XKSMDTable* t, Expansion& x)
{
    const XKSMDMessage& msg = t->mssgs[t->ment];
    int32_t begin = std::clamp(msg.ino, 0, t->cmitem);
    int32_t end = static_cast<int32_t>(std::clamp<int64_t>(static_cast<int64_t>(begin) + msg.noi, begin, t->cmitem));
    x.t = t;
    x.end = end;
    std::fill(std::begin(x.pos), std::end(x.pos), -1);
    t->cur.ino = t->mmitem;
    t->cur.noi = 0;
    for (int32_t d = begin; d < end;) {
        int32_t rc = expand(x, d, 0, 0, d);
        if (rc < 0)
            return rc;
    }
    return XKW_OK;
}

// Exclude the entries of the list at instance position li from entry
// `keep` on (with everything inside them). Returns the entries it has.
int32_t exclude_entries(XKSMDTable* t, int32_t li, int32_t keep)
{
    int32_t end = t->cur.ino + t->cur.noi;
    int32_t dp = t->mitems[li].dp;
    int32_t entry = -1;
    for (int32_t j = li + 1; j < end && t->mitems[j].dp > dp; ++j) {
        if (t->mitems[j].dp == dp + 1)
            ++entry;
        if (entry >= keep)
            t->mitems[j].excluded = 1;
    }
    return entry + 1;
}

// Apply count c to the list at instance position li: the surplus entries
// are left out of the build.
void set_list_count(XKSMDTable* t, int32_t li, int32_t c)
{
    int32_t have = exclude_entries(t, li, c);
    t->mitems[li].count = std::min(c, have);
}

// ---- Values ----

// Position of the instance message item named name, or -2.
int32_t find_instance_item(const XKSMDTable* t, const char* name)
{
    // Cut to the name field as the loader cuts the names it reads.
    if (name == nullptr || name[0] == '\0')
        return XKW_E_NOTFOUND;
    char want[XKS_MD_NAME];
    XKWStrCopy(want, name, sizeof want);
    XKWStrUpper(want);
    for (int32_t k = t->cur.ino; k < t->cur.ino + t->cur.noi; ++k) {
        int32_t ii = t->mitems[k].item;
        if (ii >= 0 && ii < t->xitem && std::strcmp(t->items[ii].name, want) == 0)
            return k;
    }
    return XKW_E_NOTFOUND;
}

// Room for bytes in the working pool, or null.
uint8_t* pool_take(XKSMDTable* t, int64_t bytes)
{
    if (bytes < 0 || t->mpool + bytes > t->xpool)
        return nullptr;
    uint8_t* p = t->pool + t->mpool;
    t->mpool += static_cast<int32_t>(bytes);
    return p;
}

void set_value(XKSMDMitem& m, const uint8_t* p, int64_t bytes, int32_t count)
{
    m.value[0] = p;
    m.vsize[0] = static_cast<int32_t>(bytes);
    m.count = count;
}

int32_t put_value(XKSMDTable* t, XKSMDMitem& m, int32_t count, const void* value)
{
    const XKSMDItem& it = t->items[m.item];
    if (count < 0 || it.sz <= 0)
        return XKW_E_INVAL;

    if (is_file_item(it)) {
        const char* s = value != nullptr ? static_cast<const char*>(value) : "";
        int64_t bytes = static_cast<int64_t>(std::strlen(s)) + 1;
        uint8_t* p = pool_take(t, bytes);
        if (p == nullptr)
            return XKS_E_MDPOOL;
        std::memcpy(p, s, static_cast<size_t>(bytes));
        set_value(m, p, bytes, static_cast<int32_t>(bytes));
        return XKW_OK;
    }

    if (XKSMssgIsText(it.form)) {
        const char* s = value != nullptr ? static_cast<const char*>(value) : "";
        // Text ends at a NUL as the codec reads it; nothing behind one is read.
        int64_t given = count > 0 ? static_cast<int64_t>(strnlen(s, static_cast<size_t>(count)))
                                  : static_cast<int64_t>(std::strlen(s));
        int64_t len = count > 0 ? count : given;
        // Never longer than the definition allows: a longer item would be
        // refused by every peer that reads it by the same definition.
        int64_t stored = it.min == it.max ? it.min : std::min<int64_t>(std::max<int64_t>(it.min, len), it.max);
        uint8_t* p = pool_take(t, stored);
        if (p == nullptr)
            return XKS_E_MDPOOL;
        int64_t copy = std::min(given, stored);
        std::memcpy(p, s, static_cast<size_t>(copy));
        std::memset(p + copy, ' ', static_cast<size_t>(stored - copy));
        set_value(m, p, stored, static_cast<int32_t>(stored));
        return XKW_OK;
    }

    int64_t c = count == 0 ? it.min : count;
    int32_t stored = it.min == it.max ? it.min : clamp_count(c, it.min, it.max);
    int64_t given = value != nullptr ? std::min<int64_t>(c, it.max) : 0;
    given = std::min<int64_t>(given, stored);
    int64_t bytes = static_cast<int64_t>(stored) * it.sz;
    uint8_t* p = pool_take(t, bytes);
    if (p == nullptr)
        return XKS_E_MDPOOL;
    if (given > 0)
        std::memcpy(p, value, static_cast<size_t>(given * it.sz));
    std::memset(p + given * it.sz, 0, static_cast<size_t>(bytes - given * it.sz));
    set_value(m, p, bytes, stored);
    return XKW_OK;
}

// Give the list occurrence at instance position k an entry count: rebuild
// the instance from the definition behind the current one with every
// count set so far, then move it down to the start of the working areas.
// Values set earlier are lost; counts are kept, so nested lists can each
// have theirs. When the rebuilt instance has no list of that name (its
// outer list no longer repeats it), the current instance stays (-2).
int32_t put_count(XKSMDTable* t, int32_t k, int32_t request)
{
    char name[XKS_MD_NAME];
    XKWStrCopy(name, t->items[t->mitems[k].item].name, sizeof name);
    if (name[0] == '\0')
        return XKW_E_NOTFOUND;  // an unnamed list cannot be named
    int32_t r = 0;
    while (r < t->ncounts && std::strcmp(t->counts[r].name, name) != 0)
        ++r;
    if (r == XKS_MD_COUNTS)
        return XKW_E_FULL;
    int32_t saved_n = t->ncounts;
    XKSMDCount saved_count = t->counts[r];
    auto restore_counts = [&] {
        t->counts[r] = saved_count;
        t->ncounts = saved_n;
    };
    XKWStrCopy(t->counts[r].name, name, sizeof t->counts[r].name);
    t->counts[r].count = request;
    if (r == t->ncounts)
        ++t->ncounts;
    if (t->xpool - t->cpool < t->ncounts * static_cast<int32_t>(sizeof(int32_t))) {
        restore_counts();
        return XKS_E_MDPOOL;
    }

    XKSMDMessage saved = t->cur;
    int32_t old_m = t->mmitem;
    int32_t old_i = t->mitem;
    Expansion x{};
    int32_t rc = expand_message(t, x);
    if (rc < 0 || x.pos[r] < 0) {
        restore_counts();
        t->cur = saved;
        t->mmitem = old_m;
        t->mitem = old_i;
        return rc < 0 ? rc : XKW_E_NOTFOUND;
    }

    int32_t nm = t->mmitem - old_m;
    int32_t ni = t->mitem - old_i;
    std::memmove(static_cast<void*>(t->mitems + t->cmitem), t->mitems + old_m, sizeof(XKSMDMitem) * nm);
    std::memmove(static_cast<void*>(t->items + t->citem), t->items + old_i, sizeof(XKSMDItem) * ni);
    int32_t shift = old_i - t->citem;
    for (int32_t j = t->cmitem; j < t->cmitem + nm; ++j)
        t->mitems[j].item -= shift;
    for (int32_t j = t->citem; j < t->citem + ni; ++j)
        t->items[j].index = j;
    t->cur.ino = t->cmitem;
    t->cur.noi = nm;
    t->mmitem = t->cmitem + nm;
    t->mitem = t->citem + ni;
    t->mpool = t->cpool;

    // Every list that took a count: its value 0 holds the count, the
    // surplus entries are left out.
    for (int32_t q = 0; q < t->ncounts; ++q) {
        if (x.pos[q] < 0)
            continue;
        int32_t li = x.pos[q] - (old_m - t->cmitem);
        const XKSMDItem& it = t->items[t->mitems[li].item];
        int32_t c = clamp_count(t->counts[q].count, it.min, it.max);
        set_list_count(t, li, c);
        uint8_t* p = pool_take(t, sizeof(int32_t));  // room checked above
        std::memcpy(p, &c, sizeof c);
        t->mitems[li].value[0] = p;
        t->mitems[li].vsize[0] = sizeof c;
    }
    return XKW_OK;
}

// ---- Build ----

// Variable lists whose count was never set go out with their minimum:
// the surplus entries are left out in place, so values set elsewhere in
// the instance survive.
void settle_lists(XKSMDTable* t)
{
    for (int32_t j = t->cur.ino; j < t->cur.ino + t->cur.noi; ++j) {
        const XKSMDMitem& m = t->mitems[j];
        const XKSMDItem& it = t->items[m.item];
        if (!m.excluded && is_variable(it) && m.vsize[0] == 0)
            set_list_count(t, j, it.min);
    }
}

struct Stage {
    uint8_t* data;
    int64_t size;
};

// Rewrite a date-time template in place with one reading of the clock.
void fill_time(uint8_t* s, int64_t n)
{
    int32_t date = 0;
    int32_t clock = 0;
    XKWTimeStamp(&date, &clock, nullptr);
    char d[16];
    std::snprintf(d, sizeof d, "%08d%06d", date, clock);
    struct Field {
        const char* mark;
        int off;
    };
    // Longest first: "YYYY" before "YY".
    static constexpr Field fields[] = {{"YYYY", 0}, {"YY", 2}, {"MM", 4}, {"DD", 6},
                                       {"hh", 8},   {"mm", 10}, {"ss", 12}};
    for (int64_t i = 0; i < n;) {
        int64_t step = 1;
        for (const Field& f : fields) {
            int64_t len = static_cast<int64_t>(std::strlen(f.mark));
            if (i + len <= n && std::memcmp(s + i, f.mark, static_cast<size_t>(len)) == 0) {
                std::memcpy(s + i, d + f.off, static_cast<size_t>(len));
                step = len;
                break;
            }
        }
        i += step;
    }
}

// Path of a file item: relative names are taken from the directory of the
// definition file. Backslashes from files written for another system
// become separators (never inside a multi-byte character).
bool file_path(const XKSMDTable* t, const XKSMDMitem& m, char* out, size_t size)
{
    char name[1024];
    size_t n = std::min(static_cast<size_t>(m.vsize[0]), sizeof name - 1);
    std::memcpy(name, m.value[0], n);
    name[n] = '\0';
    if (name[0] == '\0')
        return false;
    bool absolute = name[0] == '/' || name[0] == '\\' || name[1] == ':';
    int32_t rc = absolute ? XKWStrCopy(out, name, size) : XKWPathJoin(out, size, XKWPathDir(t->file), name, nullptr);
    if (rc < 0)
        return false;
    for (char* p = out; *p != '\0';) {
        if (*p == '\\')
            *p = '/';
        p += std::max<size_t>(XKWCodeCharLen(p), 1);
    }
    return true;
}

// Contents of the file named by a file item, staged; count gets the
// element count.
int32_t stage_file(const XKSMDTable* t, const XKSMDMitem& m, const XKSMDItem& it, int64_t msgsize,
                   const Stage& st, int32_t& count)
{
    count = 0;
    int64_t limit = std::min({static_cast<int64_t>(it.sz) * std::max(it.max, 0), msgsize, st.size});
    std::memset(st.data, XKSMssgIsText(it.form) ? ' ' : 0, static_cast<size_t>(limit));
    char path[1024];
    if (!file_path(t, m, path, sizeof path))
        return XKW_OK;
    std::FILE* f = XKWFileOpenRead(path);  // a FIFO or a device would never end
    if (f == nullptr)
        return XKW_OK;
    size_t got = std::fread(st.data, 1, static_cast<size_t>(limit), f);
    std::fclose(f);
    count = static_cast<int32_t>(static_cast<int64_t>(got) / it.sz);
    if (count < it.min && static_cast<int64_t>(it.min) * it.sz <= limit)
        count = it.min;
    return XKW_OK;
}

int32_t put(XKSMDTable* t, uint8_t* body, int32_t form, int32_t count, const void* data)
{
    // Text with count 0 would be measured up to a NUL: give it none.
    if (count == 0 && XKSMssgIsText(form))
        data = "";
    return XKSMssgPutItem(t->mb, 0, body, form, count, data);
}

int32_t build_item(XKSMDTable* t, uint8_t* body, const XKSMDMitem& m, int64_t msgsize, const Stage& st)
{
    const XKSMDItem& it = t->items[m.item];
    if (md_is_list(it))
        return XKSMssgPutItem(t->mb, 0, body, XKS_FMT_L, m.count, nullptr);
    if (it.sz <= 0 || m.count < 0)
        return XKW_E_INVAL;
    bool text = XKSMssgIsText(it.form);
    int64_t want = static_cast<int64_t>(m.count) * it.sz;
    int64_t have = m.value[0] != nullptr ? m.vsize[0] : 0;

    if (is_file_item(it) && have > 0) {
        int32_t count = 0;
        stage_file(t, m, it, msgsize, st, count);
        return put(t, body, it.form, count, st.data);
    }
    if (have == 0) {
        if (text)
            return put(t, body, it.form, m.count, nullptr);
        if (want > st.size)
            return XKW_E_FULL;
        std::memset(st.data, 0, static_cast<size_t>(want));
        return put(t, body, it.form, m.count, st.data);
    }

    const uint8_t* v = m.value[0];
    bool timed = starts_with_upper(it.name, "@TIME");
    if (timed || have < want) {
        // A value shorter than its count is completed with zeros.
        int64_t n = std::min(have, want);
        if (want > st.size)
            return XKW_E_FULL;
        std::memcpy(st.data, v, static_cast<size_t>(n));
        std::memset(st.data + n, 0, static_cast<size_t>(want - n));
        if (timed)
            fill_time(st.data, n);
        v = st.data;
        have = want;
    }
    if ((it.form & 0xFF) == XKS_FMT_K && it.min != it.max) {
        // Variable 2-byte text goes as text up to its first NUL; the codec
        // takes the length and the character set itself.
        int64_t n = std::min<int64_t>({have, std::max(it.max - 1, 0), st.size - 1});
        if (v != st.data)
            std::memcpy(st.data, v, static_cast<size_t>(n));
        st.data[n] = 0;
        return XKSMssgPutItem(t->mb, 0, body, it.form, 0, st.data);
    }
    return put(t, body, it.form, m.count, v);
}

}  // namespace

// ---- Helpers without locking ----

int32_t md_select(XKSMDTable* t, int32_t ment, int32_t capacity)
{
    md_reset(t);
    if (ment < 0 || ment >= t->cmssg)
        return XKW_E_NOTFOUND;
    t->cur = t->mssgs[ment];
    t->ment = ment;
    t->xlen = capacity;
    Expansion x{};
    int32_t rc = expand_message(t, x);
    if (rc < 0) {
        md_reset(t);
        return rc;
    }
    return XKW_OK;
}

int32_t md_build(XKSMDTable* t, uint8_t* body)
{
    if (t->cmssg == 0 || !has_instance(t))
        return XKW_E_NOTFOUND;
    if (t->mb == nullptr || t->stage == nullptr)
        return XKW_E_NOMEM;
    int64_t msgsize = t->xmsgsize > 0 ? t->xmsgsize : kDefaultMsgSize;
    Stage st{t->stage, XKS_MD_STAGE};
    std::unique_ptr<uint8_t[]> heap;
    if (msgsize > XKS_MD_STAGE) {
        heap.reset(new (std::nothrow) uint8_t[static_cast<size_t>(msgsize)]);
        if (heap == nullptr)
            return XKW_E_NOMEM;
        st = Stage{heap.get(), msgsize};
    }

    settle_lists(t);
    int32_t rc = XKSMssgBuildOpen(t->mb, XKS_MSSG_SIZE, body, t->xlen, t->xmsgsize);
    if (rc < 0)
        return rc;
    for (int32_t j = t->cur.ino; j < t->cur.ino + t->cur.noi; ++j) {
        const XKSMDMitem& m = t->mitems[j];
        if (m.excluded)
            continue;
        rc = build_item(t, body, m, msgsize, st);
        if (rc < 0)
            return rc;
    }
    return XKSMssgBuildEnd(t->mb);
}

// ---- Library interface ----

int32_t XKSMDSelect(int32_t handle, int32_t mode, void* scratch, int32_t capacity, const char* name)
{
    (void)scratch;  // the build reads only the body buffer
    XKSMDTable* t = md_get(handle);
    if (t == nullptr)
        return XKW_E_BADHANDLE;
    if (t->cmssg == 0)
        return XKW_E_NOTFOUND;
    md_take(t, mode, XKS_MD_HELD_SELECT);
    int32_t ment = md_find_message(t, name);
    int32_t rc = ment < 0 ? ment : md_select(t, ment, capacity);
    if (rc < 0) {
        md_reset(t);
        md_give(t, mode, XKS_MD_HELD_SELECT);
    }
    return rc;
}

int32_t XKSMDPutItem(int32_t handle, int32_t mode, void* scratch, const char* name, int32_t count, const void* value)
{
    (void)mode;  // putting neither takes nor releases the lock
    (void)scratch;
    XKSMDTable* t = md_get(handle);
    if (t == nullptr)
        return XKW_E_BADHANDLE;
    if (t->cmssg == 0 || !has_instance(t))
        return XKW_E_NOTFOUND;
    int32_t k = find_instance_item(t, name);
    if (k < 0)
        return k;
    XKSMDMitem& m = t->mitems[k];
    if (!md_is_list(t->items[m.item]))
        return put_value(t, m, count, value);
    int32_t request = count;
    if (value != nullptr)
        std::memcpy(&request, value, sizeof request);
    return put_count(t, k, request);
}

int32_t XKSMDBuild(int32_t handle, int32_t mode, uint8_t* body)
{
    XKSMDTable* t = md_get(handle);
    if (t == nullptr)
        return XKW_E_BADHANDLE;
    int32_t rc = md_build(t, body);
    // Released on failure too: a failed build must not keep other threads out.
    md_give(t, mode, XKS_MD_HELD_SELECT);
    return rc;
}

int32_t XKSMDGetParam(int32_t handle, int32_t reserved, int32_t param, char* text, int32_t size, int32_t index)
{
    (void)reserved;
    if (text != nullptr && size > 0)
        std::memset(text, 0, static_cast<size_t>(size));
    XKSMDTable* t = md_get(handle);
    if (t == nullptr)
        return XKW_E_BADHANDLE;
    // Only entries in use are read: loaded ones and the working areas up
    // to their current ends.
    int32_t nitems = std::min(std::max(t->mitem, t->citem), t->xitem);
    int32_t nmitems = std::min(std::max(t->mmitem, t->cmitem), t->xmitem);
    bool item_ok = index >= 0 && index < nitems;
    switch (param) {
    case 10:
        return t->ment;
    case 105:
        return t->cur.noi;
    case 106:
        return t->cur.ino;
    case 300:
        if (item_ok && text != nullptr && size > 0)
            XKWStrCopy(text, t->items[index].name, static_cast<size_t>(size));
        return 0;
    case 303:
        return item_ok ? t->items[index].form : 0;
    case 304:
        return item_ok ? t->items[index].sz : 0;
    case 501:
        return index >= 0 && index < nmitems ? t->mitems[index].item : 0;
    default:
        return 0;
    }
}
