// Reading received messages by definition: the match of a received body
// against the definitions of a table, reading its items by name or one
// text line at a time, the end of a match, the trace-side interface that
// the codec's hooks call, and the automatic reply to a primary.
//
// A match stores the body as an instance of its own behind the loaded
// entries (one working item record and one working message item per
// received item, the data in the working pool) and then compares each
// candidate definition with it, expanding the definition on the fly
// behind the received area. Variable lists take the received counts while
// the comparison descends, so nested variable lists (a list of reports,
// each a list of values) keep the count of every level. Nothing is
// allocated: the codec block, the staging buffer and the working areas are
// the table's own (the codec allocates its scratch only when XMSGSIZE is
// above 64 KB).
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "runtime/XKWByte.h"
#include "runtime/XKWCode.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWStr.h"
#include "secs/XKSAcb.h"
#include "secs/XKSMDInternal.h"
#include "secs/XKSMDMssg.h"
#include "secs/XKSMssg.h"

namespace {

// Results of the stream-only search behind an unmatched primary; they
// choose S9F3, S9F5 or S9F7.
constexpr int32_t kNoStream = -3;
constexpr int32_t kNoFunction = -5;
constexpr int32_t kNoStructure = -7;

// List levels the comparison descends. Real messages nest a few levels;
// the limit keeps a definition file or body of thousands of nested lists
// from exhausting a thread's stack. Deeper structures do not match.
constexpr int32_t kMaxDepth = 256;
// List levels whose depth the storing walk tracks; deeper items show at
// this depth.
constexpr int32_t kDepthTrack = 256;

// Point data/len at the text of a received code 022 item in the process
// code: converted into the staging buffer when its set differs, left as
// received when no conversion applies or the text is not valid in its set.
void to_process(XKSMDTable* t, int32_t form, const uint8_t*& data, int32_t& len)
{
    int32_t cset = static_cast<int32_t>(static_cast<uint32_t>(form) >> 16);
    if ((form & 0xFF) != XKS_FMT_K || len <= 0 || XKSMssgCsetCode(cset) < 0 || cset == XKSMssgProcessCset())
        return;
    int32_t n = XKWCodeConvert(XKSMssgCsetCode(cset), XKWCodeGet(), reinterpret_cast<const char*>(data),
                               static_cast<size_t>(len), reinterpret_cast<char*>(t->stage), XKS_MD_STAGE);
    if (n < 0)
        return;  // not valid in its set: use the bytes as received
    data = t->stage;
    len = n;
}

// Bytes of whole characters (process code) of text that fit into limit.
int32_t whole_chars(const uint8_t* text, int32_t len, int32_t limit)
{
    int32_t pos = 0;
    while (pos < len) {
        int32_t n = static_cast<int32_t>(XKWCodeCharLen(reinterpret_cast<const char*>(text) + pos));
        if (n <= 0 || pos + n > limit)
            break;
        pos += n;
    }
    return pos;
}

bool same_name(const char* a, const char* b)
{
    for (int i = 0; i < XKS_MD_NAME; ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
    return true;
}

// Data bytes announced by the item header at pos, -1 when the header
// itself is cut or malformed (the codec then reports the fault).
int64_t peek_length(const uint8_t* body, int32_t length, int32_t pos)
{
    if (body == nullptr || pos >= length)
        return -1;
    int32_t lenbytes = body[pos] & 3;
    if (lenbytes == 0 || pos + lenbytes >= length)
        return -1;
    int64_t n = 0;
    for (int32_t i = 1; i <= lenbytes; ++i)
        n = (n << 8) | body[pos + i];
    return n;
}

// Step 2: parse the body into the received area (working item records and
// message items behind the loaded entries, data in the working pool).
int32_t store_body(XKSMDTable* t, const uint8_t* body, int32_t length)
{
    XKSMssgBlock* mb = t->mb;
    int32_t rc = XKSMssgReadOpen(mb, XKS_MSSG_SIZE, body, length, t->xmsgsize, nullptr, nullptr, 0);
    if (rc < 0)
        return rc;
    // Entries still to come of each open list, for the depth of each item.
    std::array<int32_t, kDepthTrack> open{};
    int32_t level = 0;
    for (;;) {
        if (mb->position >= length)
            break;
        if (t->mitem >= t->xitem) {
            rc = XKS_E_MDITEM;
            break;
        }
        if (t->mmitem >= t->xmitem) {
            rc = XKS_E_MDMITEM;
            break;
        }
        // The codec clears the whole output area on every item; give it
        // the item's size (plus the text terminator), not the whole pool.
        int32_t room = t->xpool - t->mpool;
        int64_t want = peek_length(body, length, mb->position);
        int32_t outsize = want < 0 ? room : static_cast<int32_t>(std::min<int64_t>(room, want + 1));
        int32_t format = 0;
        int32_t size = 0;
        int32_t count = 0;
        uint8_t* out = t->pool + t->mpool;
        rc = XKSMssgGetItem(mb, 0, body, &format, &size, &count, out, outsize);
        if (rc == XKS_E_NODATA) {
            rc = XKW_OK;
            break;
        }
        if (rc == XKW_E_FULL) {
            rc = XKS_E_MDPOOL;
            break;
        }
        if (rc < 0)
            break;

        XKSMDItem& it = t->items[t->mitem];
        it = XKSMDItem{};
        it.index = t->mitem;
        it.form = format;
        it.sz = size;
        it.min = it.max = count;
        XKSMDMitem& mi = t->mitems[t->mmitem];
        mi = XKSMDMitem{};
        mi.item = t->mitem;
        mi.dp = level;
        mi.count = count;
        bool list = (format & 0xFF) == XKS_FMT_L;
        if (!list && count > 0) {
            mi.vsize[0] = count * size;
            mi.value[0] = out;
            t->mpool += mi.vsize[0];
        }
        ++t->mitem;
        ++t->mmitem;

        if (list && count > 0 && level < kDepthTrack) {
            open[static_cast<size_t>(level++)] = count;
            continue;
        }
        // One entry of the innermost open list is complete; a list that
        // completes is in turn one entry of its parent.
        while (level > 0 && --open[static_cast<size_t>(level - 1)] == 0)
            --level;
    }
    XKSMssgReadClose(mb);
    return rc;
}

// One comparison of a candidate definition with the received items.
struct Walk {
    XKSMDTable* t;
    int32_t dend;   // end of the definition's message items
    int32_t rend;   // end of the received message items
    bool repeated;  // variable lists may take the received counts
};

// Values 1..5 are the accepted alternatives: the received data must start
// with one of them. Value 0 (what a build sends) is not compared.
bool values_accept(const Walk& w, const XKSMDMitem& dm, const XKSMDItem& di, const XKSMDMitem& rm,
                   const XKSMDItem& ri)
{
    if (di.flags & XKS_MD_FILEITEM)
        return true;
    bool any = false;
    const uint8_t* data = rm.value[0];
    int32_t len = rm.vsize[0];
    bool converted = false;
    for (int k = 1; k < XKS_MD_VALUES; ++k) {
        if (dm.vsize[k] <= 0 || dm.value[k] == nullptr)
            continue;
        if (!converted) {
            // Defined text is in the process code; 2-byte text may arrive
            // in another set.
            to_process(w.t, ri.form, data, len);
            converted = true;
        }
        any = true;
        if (len >= dm.vsize[k] && std::memcmp(data, dm.value[k], static_cast<size_t>(dm.vsize[k])) == 0)
            return true;
    }
    return !any;
}

// Step 4: compare the definition item at d (expanded into the working
// area as occurrence n at depth) with the received item at r. Both move
// past what they consumed. Returns 1 equal, 0 different, or -941/-943 when
// the working area cannot take the expansion.
int32_t compare(const Walk& w, int32_t& d, int32_t& r, int32_t n, int32_t depth)
{
    XKSMDTable* t = w.t;
    if (d >= w.dend || r >= w.rend || depth > kMaxDepth)
        return 0;
    if (t->mmitem >= t->xmitem)
        return XKS_E_MDMITEM;
    if (t->mitem >= t->xitem)
        return XKS_E_MDITEM;
    const XKSMDMitem& dm = t->mitems[d];
    const XKSMDItem& di = t->items[dm.item];
    XKSMDMitem& rm = t->mitems[r];
    XKSMDItem& ri = t->items[rm.item];

    // The definition instance: a copy of the message item and its item
    // record, named NAME:n inside a repetition.
    XKSMDMitem& im = t->mitems[t->mmitem++];
    im = dm;
    im.dp = depth;
    XKSMDItem& ii = t->items[t->mitem];
    ii = di;
    ii.index = t->mitem;
    im.item = t->mitem++;
    bool list = md_is_list(di);
    bool variable = list && dm.item != 0 && di.min != di.max;
    if (n > 0 && di.name[0] != '\0' && (!list || variable))
        md_instance_name(ii.name, di.name, n);

    if ((ri.form & 0xFF) != (di.form & 0xFF))
        return 0;

    if (!list) {
        ++d;
        ++r;
        if (rm.count < di.min || rm.count > di.max || !values_accept(w, dm, di, rm, ri))
            return 0;
    } else {
        int32_t received = rm.count;
        int64_t entries = md_entries(t, dm);
        int32_t first = d + 1;
        ++r;
        im.count = received;
        if (variable && !(di.flags & XKS_MD_ALTLIST)) {
            // L,a..b: the first entry definition once per received entry.
            if (!w.repeated || received < di.min || received > di.max || (entries == 0 && received > 0))
                return 0;
            for (int32_t k = 1; k <= received; ++k) {
                int32_t dd = first;
                int32_t rc = compare(w, dd, r, k, depth + 1);
                if (rc <= 0)
                    return rc;
            }
        } else {
            // Fixed list (item 0 or a named list of one count), or
            // L[a|b]: the received entries against the next definition
            // entries in turn; surplus definition entries are skipped.
            int32_t want = dm.item == 0 ? dm.count : di.min;
            if (variable) {
                if (!w.repeated || (received != di.min && received != di.max))
                    return 0;
            } else if (received != want) {
                return 0;
            }
            if (received > entries)
                return 0;
            int32_t dd = first;
            for (int32_t k = 0; k < received; ++k) {
                int32_t rc = compare(w, dd, r, n, depth + 1);
                if (rc <= 0)
                    return rc;
            }
        }
        d = first;
        for (int64_t k = 0; k < entries && d < w.dend; ++k)
            d = md_skip(w.t, d, 1, w.dend);
    }
    if (ii.name[0] != '\0')
        XKWStrCopy(ri.name, ii.name, XKS_MD_NAME);
    return 1;
}

// Compare definition m with the received message. Returns 1, 0 or a
// working-area result.
int32_t compare_message(XKSMDTable* t, int32_t m, bool repeated)
{
    int32_t rbase = t->matched.ino;
    int32_t rcount = t->matched.noi;
    // The instance of each candidate starts right behind the received area,
    // and the names a failed candidate gave are taken back.
    t->mitem = t->aitem + rcount;
    t->mmitem = t->amitem + rcount;
    for (int32_t i = 0; i < rcount; ++i)
        t->items[t->mitems[rbase + i].item].name[0] = '\0';

    const XKSMDMessage& def = t->mssgs[m];
    if (rcount == 0 || def.noi <= 0)
        return rcount == 0 && def.noi <= 0 ? 1 : 0;
    Walk w{t, std::min(def.ino + def.noi, t->cmitem), rbase + rcount, repeated};
    int32_t d = def.ino;
    int32_t r = rbase;
    // Only the first item of the body, with everything inside it, counts.
    return compare(w, d, r, 0, 0);
}

// Whether a definition with attributes at takes part in a pass of a search
// in direction dir (0 any, 1 single-direction first, 2 this side's, 3 the
// peer's). Pass 0 holds the single-direction definitions, pass 1 those
// with both H and E; without a direction there is one pass of all.
bool in_pass(const XKSMDTable* t, int32_t at, int32_t dir, int32_t pass)
{
    if (dir == 0)
        return pass == 0;
    bool h = (at & XKS_MD_H) != 0;
    bool e = (at & XKS_MD_E) != 0;
    if (pass == 1)
        return h && e;
    if (h == e)
        return false;
    if (dir == 1)
        return true;
    bool equipment = (t->secsmode & 0x10) != 0;
    bool ours = equipment ? e : h;
    return dir == 2 ? ours : !ours;
}

int32_t passes(int32_t dir)
{
    return dir == 0 ? 1 : 2;
}

// Steps 1-4 without locking: store the body and find the first matching
// definition. Returns its stream * 256 + function (+ 0x8000 with W) and
// its index in *index, -2 when none matches, or a storing or working-area
// result. The received message stays in the received area either way.
int32_t match_core(XKSMDTable* t, int32_t dir, const uint8_t* body, int32_t length, int32_t sf, int32_t* index)
{
    md_reset(t);
    t->matched.ino = t->amitem;
    int32_t rc = store_body(t, body, length);
    if (rc < 0)
        return rc;
    int32_t rcount = t->mmitem - t->amitem;
    t->matched.noi = rcount;
    int32_t want = sf & 0x7FFF;
    for (int32_t repeated = 0; repeated < 2; ++repeated) {
        for (int32_t pass = 0; pass < passes(dir); ++pass) {
            for (int32_t m = 0; m < t->cmssg; ++m) {
                const XKSMDMessage& def = t->mssgs[m];
                if ((want != 0 && def.sf != want) || !in_pass(t, def.at, dir, pass))
                    continue;
                rc = compare_message(t, m, repeated != 0);
                if (rc < 0)
                    return rc;
                if (rc == 0)
                    continue;
                // The instance is no longer needed: the working ends go
                // back to the end of the received area.
                t->mitem = t->aitem + rcount;
                t->mmitem = t->amitem + rcount;
                std::memcpy(t->matched.name, def.name, sizeof t->matched.name);
                t->matched.sf = def.sf;
                t->matched.at = def.at;
                if (index != nullptr)
                    *index = m;
                return def.sf | ((def.at & XKS_MD_W) ? 0x8000 : 0);
            }
        }
    }
    t->mitem = t->aitem + rcount;
    t->mmitem = t->amitem + rcount;
    return XKW_E_NOTFOUND;
}

XKSMDTable* acb_table(const void* acb, int32_t flags)
{
    if (acb == nullptr)
        return nullptr;
    XKSMDTable* t = &const_cast<XKSAcb*>(static_cast<const XKSAcb*>(acb))->md[(flags & XKS_MSSG_ENGINE) ? 1 : 0];
    return t->op == XKS_ACB_OPEN ? t : nullptr;
}

// Message item of the received message whose matched name is name, or -2.
int32_t find_received(const XKSMDTable* t, const char* name)
{
    if (name == nullptr)
        return XKW_E_NOTFOUND;
    for (int32_t i = 0; i < t->matched.noi; ++i) {
        int32_t at = t->matched.ino + i;
        if (same_name(t->items[t->mitems[at].item].name, name))
            return at;
    }
    return XKW_E_NOTFOUND;
}

// Next received message item of the item-by-item reading, or -120.
int32_t next_received(XKSMDTable* t)
{
    while (t->pip >= 0 && t->pip < t->matched.noi) {
        int32_t at = t->matched.ino + t->pip++;
        if (!t->mitems[at].excluded)
            return at;
    }
    return XKW_E_NOMORE;
}

// The S9Fx body: one binary item with the received header in wire order.
int32_t error_body(XKSMDTable* t, const uint8_t* header, uint8_t* reply, int32_t capacity)
{
    uint8_t wire[10];
    std::memcpy(wire, header, sizeof wire);
    XKSMssgLinkOrder(wire, uint32_t(t->secsmode));
    int32_t rc = XKSMssgBuildOpen(t->mb, XKS_MSSG_SIZE, reply, capacity, t->xmsgsize);
    if (rc >= 0)
        rc = XKSMssgPutItem(t->mb, 0, reply, XKS_FMT_B, sizeof wire, wire);
    return rc < 0 ? rc : XKSMssgBuildEnd(t->mb);
}

// The part of the automatic reply that runs under the table lock.
int32_t auto_reply(XKSMDTable* t, int32_t mode, const uint8_t* header, const uint8_t* body, int32_t length,
                   uint8_t* reply, int32_t capacity, char* name, char* reply_name, int32_t* sf)
{
    int32_t stream = header[2] & 0x7F;
    int32_t function = header[3];
    int32_t primary = stream << 8 | function;
    int32_t dir = (mode & 0x1000) ? 0 : 3;
    int32_t m = -1;
    int32_t rc = match_core(t, dir, body, length, primary, &m);
    md_reset(t);
    if (rc == XKS_E_MDITEM || rc == XKS_E_MDMITEM || rc == XKS_E_MDPOOL)
        return rc;

    int32_t why = 0;
    if (rc >= 0) {
        if (name != nullptr)
            XKWStrCopy(name, t->mssgs[m].name, XKS_MD_NAME);
    } else {
        // Not matched, or a body that does not even parse: find out how
        // far the definitions know the message.
        why = kNoStream;
        for (int32_t i = 0; i < t->cmssg; ++i) {
            const XKSMDMessage& def = t->mssgs[i];
            if ((def.sf >> 8) != stream || !(in_pass(t, def.at, dir, 0) || in_pass(t, def.at, dir, 1)))
                continue;
            why = std::min(why, def.sf == primary ? kNoStructure : kNoFunction);
        }
        if (name != nullptr)
            std::snprintf(name, XKS_MD_NAME, "S%dF%d", stream, function);
    }

    // The reply: sent by this side first, then by both sides; for an
    // unmatched primary only a default reply, from the start of the table.
    int32_t rdir = (mode & 0x1000) ? 0 : 2;
    int32_t want = primary + 1;
    int32_t start = why == 0 ? m : 0;
    int32_t found = -1;
    for (int32_t pass = 0; pass < passes(rdir) && found < 0; ++pass) {
        for (int32_t k = 0; k < t->cmssg; ++k) {
            int32_t i = (start + k) % t->cmssg;
            const XKSMDMessage& def = t->mssgs[i];
            if (def.sf == want && in_pass(t, def.at, rdir, pass) && (why == 0 || (def.at & XKS_MD_D))) {
                found = i;
                break;
            }
        }
    }
    if (found >= 0) {
        rc = md_select(t, found, capacity);
        if (rc >= 0)
            rc = md_build(t, reply);
        if (rc < 0)
            return rc;
        if (reply_name != nullptr)
            XKWStrCopy(reply_name, t->mssgs[found].name, XKS_MD_NAME);
        if (sf != nullptr)
            *sf = t->mssgs[found].sf;
        return rc;
    }
    if (why == 0) {
        // A known primary without a reply definition: abort it with SxF0.
        if (sf != nullptr)
            *sf = stream << 8;
        return XKW_OK;
    }
    if (sf != nullptr)
        *sf = 0x0900 | -why;
    return error_body(t, header, reply, capacity);
}

}  // namespace

int32_t XKSMDMatch(int32_t handle, int32_t mode, const uint8_t* body, int32_t length, int32_t sf, char* name)
{
    XKSMDTable* t = md_get(handle);
    if (t == nullptr)
        return XKW_E_BADHANDLE;
    if (t->cmssg <= 0)
        return XKW_E_NOTFOUND;
    md_take(t, mode, XKS_MD_HELD_MATCH);
    int32_t rc = match_core(t, (mode & XKS_MD_DIRECTION) >> 12, body, length, sf, nullptr);
    if (rc < 0) {
        md_reset(t);
        md_give(t, mode, XKS_MD_HELD_MATCH);
        return rc;
    }
    if (name != nullptr)
        XKWStrCopy(name, t->matched.name, XKS_MD_NAME);
    return rc;
}

int32_t XKSMDGetItem(int32_t handle, int32_t mode, void* /*scratch*/, const char* name, int32_t count, void* buffer,
                     int32_t* format, int32_t* size)
{
    XKSMDTable* t = md_get(handle);
    if (t == nullptr)
        return XKW_E_BADHANDLE;
    int32_t at = find_received(t, name);
    if (at < 0)
        return at;
    const XKSMDMitem& mi = t->mitems[at];
    const XKSMDItem& it = t->items[mi.item];
    if (format != nullptr)
        *format = it.form;
    if (size != nullptr)
        *size = it.sz;
    if (buffer == nullptr)
        return XKW_E_INVAL;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    if (md_is_list(it)) {
        int32_t entries = mi.count;
        std::memcpy(out, &entries, sizeof entries);
        return 1;
    }
    int32_t n = count > 0 ? std::min(count, mi.count) : mi.count;
    if (!XKSMssgIsText(it.form)) {
        if (n > 0)
            std::memcpy(out, mi.value[0], static_cast<size_t>(n) * static_cast<size_t>(it.sz));
        return n;
    }
    const uint8_t* data = mi.value[0];
    int32_t len = mi.vsize[0];
    if (mode & XKS_MD_CONVERT) {
        to_process(t, it.form, data, len);
        // The caller's area holds n bytes and the terminator; a converted
        // text that grew is cut at a whole character.
        n = data == mi.value[0] ? n : whole_chars(data, len, n);
    }
    if (n > 0)
        std::memcpy(out, data, static_cast<size_t>(n));
    out[n] = '\0';
    return n;
}

int32_t XKSMDMatchEnd(int32_t handle, int32_t mode, void* /*scratch*/)
{
    XKSMDTable* t = md_get(handle);
    if (t == nullptr)
        return XKW_E_BADHANDLE;
    md_reset(t);
    md_give(t, mode, XKS_MD_HELD_MATCH);
    return XKW_OK;
}

int32_t XKSMDNextItemText(int32_t handle, int32_t /*mode*/, void* /*reserved*/, int32_t* format, int32_t* count,
                          char* text, int32_t size)
{
    XKSMDTable* t = md_get(handle);
    if (t == nullptr)
        return XKW_E_BADHANDLE;
    if (text != nullptr && size > 0)
        text[0] = '\0';
    if (t->cmssg <= 0)
        return XKW_E_NOTFOUND;
    if (text == nullptr || size < 1)
        return XKW_E_INVAL;
    int32_t at = next_received(t);
    if (at < 0)
        return at;
    const XKSMDMitem& mi = t->mitems[at];
    const XKSMDItem& it = t->items[mi.item];
    const uint8_t* data = mi.value[0];
    int32_t shown = mi.count;
    if (XKSMssgIsText(it.form))
        to_process(t, it.form, data, shown);
    int32_t form = it.form & ~0xFF00;
    if (format != nullptr)
        *format = form;
    if (count != nullptr)
        *count = shown;

    int32_t notation = t->owner != nullptr ? (static_cast<int32_t>(t->owner->cfg.trcttype) >> 4) & 7
                                           : XKS_TEXT_ANGLE;
    int32_t len = std::min(2 * mi.dp, size - 1);
    std::memset(text, ' ', static_cast<size_t>(len));
    text[len] = '\0';
    len = XKSMssgItemLabel(text, size, len, form, it.name, 0, notation, shown);
    if (len >= 0 && !md_is_list(it))
        XKSMssgItemValues(form, notation, shown, text, size, len, data, nullptr);
    return mi.dp;
}

int32_t XKSMDAutoReply(int32_t handle, int32_t mode, const uint8_t* header, const uint8_t* body, int32_t length,
                       uint8_t* reply, int32_t capacity, char* name, char* reply_name, int32_t* sf)
{
    if (name != nullptr)
        name[0] = '\0';
    if (reply_name != nullptr)
        reply_name[0] = '\0';
    if (sf != nullptr)
        *sf = 0;
    XKSMDTable* t = md_get(handle);
    if (t == nullptr)
        return XKW_E_BADHANDLE;
    if (header == nullptr || capacity < 0 || (reply == nullptr && capacity > 0))
        return XKW_E_INVAL;
    if (!(header[2] & 0x80))
        return XKS_E_NOTW;
    if ((header[3] & 1) == 0)
        return XKS_E_NOTPRIMARY;
    if (t->cmssg <= 0)
        return XKW_E_NOTFOUND;
    // One lock level for match, select and build together.
    md_take(t, mode, XKS_MD_HELD_MATCH);
    int32_t rc = auto_reply(t, mode, header, body, length, reply, capacity, name, reply_name, sf);
    md_give(t, mode, XKS_MD_HELD_MATCH);
    return rc;
}

// ---- Trace side ----

int32_t md_trace_lookup(const void* acb, int32_t flags, const uint8_t* body, int32_t length, int32_t sf, char* name,
                        size_t size)
{
    if (name != nullptr && size > 0)
        name[0] = '\0';
    XKSMDTable* t = acb_table(acb, flags);
    if (t == nullptr)
        return XKW_E_BADHANDLE;
    if (t->cmssg <= 0)
        return XKW_E_NOTFOUND;
    md_take(t, 0, XKS_MD_HELD_TRACE);
    int32_t m = -1;
    int32_t rc = match_core(t, (flags & XKS_MD_DIRECTION) >> 12, body, length, sf, &m);
    if (rc < 0) {
        md_reset(t);
        md_give(t, 0, XKS_MD_HELD_TRACE);
        return rc;
    }
    if (name != nullptr && size > 0)
        XKWStrCopy(name, t->matched.name, size);
    return m;
}

void md_trace_release(const void* acb, int32_t flags, int32_t /*definition*/)
{
    XKSMDTable* t = acb_table(acb, flags);
    if (t == nullptr)
        return;
    // Only the trace side's own match is ended; a table without a lock
    // has a single user.
    if (t->haslock && t->xlkf != XKS_MD_HELD_TRACE)
        return;
    md_reset(t);
    md_give(t, 0, XKS_MD_HELD_TRACE);
}

int32_t md_trace_next(const void* acb, int32_t flags, int32_t /*definition*/, char* name, size_t size)
{
    if (name != nullptr && size > 0)
        name[0] = '\0';
    XKSMDTable* t = acb_table(acb, flags);
    if (t == nullptr)
        return XKW_E_NOMORE;
    int32_t at = next_received(t);
    if (at < 0)
        return at;
    const XKSMDMitem& mi = t->mitems[at];
    if (name != nullptr && size > 0)
        XKWStrCopy(name, t->items[mi.item].name, size);
    return mi.item;
}
