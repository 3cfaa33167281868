// INI reader and writer.
//
// Lines are read character by character under the process character code
// (XKWCodeCharLen): a trailing byte such as 0x5C in a Shift-JIS character is
// never taken for a backslash, a quote or a separator. The reader never
// reads past the newline that ends a logical line, so a reader holds no
// buffered text between entries and the writer can copy a line's bytes
// unchanged by their file offsets.
//
// An update writes the whole new file to "<path>.tmp" and renames it over
// the file. rename() replaces the old file in one step: a reader sees the
// old or the new text, never a missing file, and a failed rename leaves the
// old file intact (deleting it first would lose it). Updates of one file
// take an exclusive flock() on it and start over when the file they locked
// has meanwhile been replaced, so two updates never write the temporary
// file at once and neither one's change is lost.
#include "runtime/XKWFile.h"
#include "runtime/XKWIni.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/XKWCode.h"
#include "runtime/XKWHandle.h"
#include "runtime/XKWResult.h"
#include "runtime/XKWStr.h"

namespace {

constexpr size_t line_size = 4096;   // a logical line of 4095 bytes and its NUL
constexpr size_t env_name_max = 259;
constexpr size_t char_max = 6;       // longest character: a UTF-8 lead byte 1111110x and 5 more
constexpr int lock_attempts = 100;   // each retry means another update completed

XKWHandleTable<XKWIni, XKW_HANDLES> ini_table;

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// Bounded text in a caller's buffer. Takes whole characters while they fit
// in size - 1 bytes; after the first one that does not fit it takes none,
// so a cut text never resumes behind a dropped character.
struct Text {
    char* p;
    size_t size;
    size_t n = 0;
    bool full = false;

    Text(char* buf, size_t sz) : p(buf), size(sz) { p[0] = '\0'; }
    void put(const char* s, size_t len)
    {
        if (full || n + len >= size) {
            full = true;
            return;
        }
        std::memcpy(p + n, s, len);
        n += len;
        p[n] = '\0';
    }
    void put_text(const char* s)
    {
        for (size_t k; !full && (k = XKWCodeCharLen(s)) > 0; s += k)
            put(s, k);
    }
};

// The characters of a file, read byte by byte, never past a newline. CR and
// NUL bytes are dropped; a newline is always a character of its own.
struct CharReader {
    FILE* f;
    char buf[char_max];
    size_t n = 0;
    bool eof = false;

    // Copy the next character to out; returns its length, 0 at the end.
    size_t next(char* out)
    {
        while (n < char_max && !eof && (n == 0 || buf[n - 1] != '\n')) {
            int c = getc_unlocked(f);
            if (c == EOF)
                eof = true;
            else if (c != '\r' && c != '\0')
                buf[n++] = static_cast<char>(c);
        }
        if (n == 0)
            return 0;
        size_t len = 1;
        if (buf[0] != '\n') {
            char probe[char_max + 1];
            size_t k = 0;
            for (; k < n && buf[k] != '\n'; ++k)
                probe[k] = buf[k];
            probe[k] = '\0';
            len = XKWCodeCharLen(probe);
        }
        std::memcpy(out, buf, len);
        std::memmove(buf, buf + len, n - len);
        n -= len;
        return len;
    }
};

// Read one logical line into line (line_size bytes): a backslash at the end
// of a physical line joins the next one, bytes past 4095 are dropped up to
// the end of the logical line, as is a backslash that ends the file.
// Returns -1 at the end of the file, 0 for a line ended by its newline,
// else (ended by the end of the file) how many newlines a copy of it needs
// before more text can follow: 2 right after a backslash (the second ends
// the line it would join), 1 otherwise.
int read_line(FILE* f, char* line)
{
    CharReader in{f, {}};
    Text out(line, line_size);
    bool any = false, backslash = false, kept = false;
    char ch[char_max];
    for (size_t len; (len = in.next(ch)) > 0;) {
        any = true;
        if (len == 1 && ch[0] == '\n') {
            if (!backslash)
                return 0;
            if (kept)
                out.p[--out.n] = '\0';
            backslash = false;
            continue;
        }
        size_t before = out.n;
        out.put(ch, len);
        kept = out.n != before;
        backslash = len == 1 && ch[0] == '\\';
    }
    if (!any)
        return -1;
    // A backslash at the very end joins nothing and is dropped, so the line
    // reads the same before and after an update appends to the file.
    if (backslash && kept)
        out.p[--out.n] = '\0';
    return backslash ? 2 : 1;
}

struct Entry {
    char key[line_size];    // quotes and unquoted blanks dropped, case kept
    char value[line_size];  // quotes and escaping backslashes dropped
    const char* comment;    // the rest of the line, "" when none
};

bool is_comment(const char* p)
{
    return *p == '#' || *p == ';' || *p == '\'' || (p[0] == '/' && (p[1] == '/' || p[1] == '*'));
}

// Copy the character at p into out, a backslash standing for the character
// after it as it is; returns the position after what was taken.
const char* take_char(const char* p, Text& out)
{
    size_t n = XKWCodeCharLen(p);
    if (n == 1 && *p == '\\') {
        ++p;
        n = XKWCodeCharLen(p);
    }
    out.put(p, n);
    return p + n;
}

// Split a logical line into key, value and comment. Returns false for a
// blank or comment line and for a line without a key.
bool split_line(const char* line, Entry* e)
{
    const char* p = line;
    while (is_blank(*p))
        ++p;
    if (*p == '\0' || is_comment(p))
        return false;
    Text key(e->key, sizeof e->key);
    Text value(e->value, sizeof e->value);
    e->comment = "";
    bool quoted = false;
    while (*p != '\0') {
        size_t n = XKWCodeCharLen(p);
        if (n == 1 && *p == '"') {
            quoted = !quoted;
        } else if (n == 1 && *p == '=' && !quoted) {
            break;
        } else if (quoted || !is_blank(*p)) {
            key.put(p, n);
        }
        p += n;
    }
    if (key.n == 0)
        return false;
    if (*p != '=')
        return true;  // all key: a section line or a bare name
    ++p;
    while (is_blank(*p))
        ++p;
    quoted = false;
    while (*p != '\0') {
        size_t n = XKWCodeCharLen(p);
        if (n == 1 && *p == '"') {
            ++p;
            // A closing quote ends the value unless a blank or the end follows.
            if (quoted && *p != '\0' && !is_blank(*p))
                break;
            quoted = !quoted;
            continue;
        }
        if (n == 1 && !quoted && is_blank(*p))
            break;
        p = take_char(p, value);
    }
    while (is_blank(*p))
        ++p;
    e->comment = p;
    return true;
}

// The name of a section line's key "[name]...", upper-cased into name
// (line_size bytes); returns its length.
size_t section_name(const char* key, char* name)
{
    Text out(name, line_size);
    for (const char* p = key + 1; *p != '\0';) {
        size_t n = XKWCodeCharLen(p);
        if (n == 1 && *p == ']')
            break;
        out.put(p, n);
        p += n;
    }
    XKWStrUpper(name);
    return out.n;
}

// Apply a section line to the reader state; returns true when it ends the
// wanted section. The name is compared whole, so a name too long for
// current (which keeps it cut) never passes for the wanted section.
bool enter_section(XKWIni* ini, const char* key)
{
    if (ini->state == 1 && ini->wanted[0] != '\0')
        return true;
    char name[line_size];
    section_name(key, name);
    XKWStrCopy(ini->current, name, sizeof ini->current);
    if (std::strcmp(name, ini->wanted) == 0)
        ini->state = 1;
    else if ((ini->mode & XKW_INI_DEFAULT) != 0 && std::strcmp(name, "DEFAULT") == 0)
        ini->state = 3;
    else if ((ini->mode & XKW_INI_COMMON) != 0 && std::strcmp(name, "COMMON") == 0)
        ini->state = 4;
    else
        ini->state = ini->wanted[0] == '\0' ? 2 : 0;
    return false;
}

// Copy value into out (size bytes) with every $(NAME) or ${NAME} replaced
// by that environment variable (nothing when unset). A reference without a
// closing ")" or "}", or with a name over 259 bytes, is kept as written.
void expand(const char* value, char* out, size_t size)
{
    Text t(out, size);
    const char* p = value;
    while (*p != '\0' && !t.full) {
        if (p[0] == '$' && (p[1] == '(' || p[1] == '{')) {
            const char* name = p + 2;
            const char* q = name;
            while (*q != '\0' && *q != ')' && *q != '}')
                q += XKWCodeCharLen(q);
            if (*q == '\0') {  // no closing bracket anywhere after: nothing more to expand
                t.put_text(p);
                break;
            }
            auto len = static_cast<size_t>(q - name);
            if (len <= env_name_max) {
                char env[env_name_max + 1];
                std::memcpy(env, name, len);
                env[len] = '\0';
                if (const char* v = std::getenv(env))
                    t.put_text(v);
            } else {
                t.put(p, static_cast<size_t>(q + 1 - p));
            }
            p = q + 1;
            continue;
        }
        size_t n = XKWCodeCharLen(p);
        t.put(p, n);
        p += n;
    }
}

// ---- update ----

struct Update {
    const char* section;  // as given, for the appended section line
    const char* key;      // as given, for the written entry
    char value[line_size];  // escaped for writing between double quotes
    char section_uc[XKW_INI_SECTION];
    char key_uc[line_size];
};

bool has_eol(const char* text)
{
    return std::strpbrk(text, "\r\n") != nullptr;
}

// Escape double quotes and backslashes of value with a backslash, so that
// the value written between double quotes reads back as given (Windows
// paths stay whole). Trailing bytes of multi-byte characters are copied as
// they are, as the reader never looks inside a character. False when the
// escaped text does not fit.
bool escape_value(const char* value, char* out, size_t size)
{
    size_t n = 0;
    for (const char* p = value; *p != '\0';) {
        size_t len = XKWCodeCharLen(p);
        bool esc = len == 1 && (*p == '"' || *p == '\\');
        if (n + len + (esc ? 1 : 0) >= size)
            return false;
        if (esc)
            out[n++] = '\\';
        std::memcpy(out + n, p, len);
        n += len;
        p += len;
    }
    out[n] = '\0';
    return true;
}

// Check the arguments of an update and fill u. The written lines must read
// back as given: the section line as the same section, the entry as the
// same key (not a section, comment or another key) with the same value.
int32_t check_update(const char* section, const char* key, const char* value, Update* u)
{
    if (section == nullptr || key == nullptr || value == nullptr || *section == '\0' || *key == '\0')
        return XKW_E_INVAL;
    if (has_eol(section) || has_eol(key) || has_eol(value) || std::strlen(section) >= sizeof u->section_uc)
        return XKW_E_INVAL;
    u->section = section;
    u->key = key;
    if (!escape_value(value, u->value, sizeof u->value))
        return XKW_E_INVAL;
    XKWStrCopy(u->section_uc, section, sizeof u->section_uc);
    XKWStrUpper(u->section_uc);

    char line[line_size];
    char name[line_size];
    Entry e;
    int n = std::snprintf(line, sizeof line, "[%s]", section);
    if (n < 0 || static_cast<size_t>(n) >= sizeof line || !split_line(line, &e) || e.key[0] != '[')
        return XKW_E_INVAL;
    section_name(e.key, name);
    if (std::strcmp(name, u->section_uc) != 0)
        return XKW_E_INVAL;

    n = std::snprintf(line, sizeof line, "%s\t= \"%s\"", key, u->value);
    if (n < 0 || static_cast<size_t>(n) >= sizeof line || !split_line(line, &e) || e.key[0] == '[' ||
        std::strcmp(e.value, value) != 0)
        return XKW_E_INVAL;
    XKWStrCopy(u->key_uc, key, sizeof u->key_uc);
    XKWStrUpper(u->key_uc);
    XKWStrUpper(e.key);
    return std::strcmp(e.key, u->key_uc) == 0 ? XKW_OK : XKW_E_INVAL;
}

// Open path (created when missing) and lock it for an update; returns the
// descriptor, -2 when it cannot be opened or is not a regular file, -16
// when it keeps being replaced.
int lock_file(const char* path)
{
    for (int attempt = 0; attempt < lock_attempts; ++attempt) {
        int fd = open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            return XKW_E_NOTFOUND;
        struct stat held, now;
        int rc = -1;
        for (int i = 0; i < lock_attempts && (rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR; ++i) {
        }
        if (rc != 0 || fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
            close(fd);
            return XKW_E_NOTFOUND;
        }
        if (stat(path, &now) == 0 && now.st_dev == held.st_dev && now.st_ino == held.st_ino)
            return fd;
        close(fd);  // replaced while we waited: lock the new file
    }
    return XKW_E_BUSY;
}

// Length of text without a final backslash character: written at the end
// of a line it would join the next line to it (a comment can end in one
// when its line was cut or had no newline).
int comment_length(const char* text)
{
    size_t last = 0, i = 0;
    for (size_t n; (n = XKWCodeCharLen(text + i)) > 0; i += n)
        last = i;
    return static_cast<int>(i > 0 && i - last == 1 && text[last] == '\\' ? last : i);
}

// Copy count bytes from in to out, or all that are left when count < 0.
bool copy_bytes(FILE* in, FILE* out, off_t count)
{
    char buf[8192];
    while (count != 0) {
        size_t want = count < 0 || count > static_cast<off_t>(sizeof buf) ? sizeof buf : static_cast<size_t>(count);
        size_t got = std::fread(buf, 1, want, in);
        if (got == 0)
            return count < 0 && !std::ferror(in);
        if (std::fwrite(buf, 1, got, out) != got)
            return false;
        if (count > 0)
            count -= static_cast<off_t>(got);
    }
    return true;
}

// Write in to out with the entry set. States: 0 before the section, 1 in
// it, 2 done. Every entry of the key in the section is replaced: readers
// take the last one, so replacing only the first would leave the old value
// in force. Returns 0, -2 on a read error, -3 on a write error.
int32_t rewrite(FILE* in, FILE* out, const Update& u)
{
    char line[line_size];
    char name[line_size];
    Entry e;
    int state = 0;
    bool written = false;
    int pad = 0;  // newlines the last copied line needs before appended text
    bool ok = true;
    while (ok && state != 2) {
        off_t start = ftello(in);
        int r = read_line(in, line);
        if (r < 0)
            break;
        bool entry = split_line(line, &e);
        if (entry && e.key[0] == '[') {
            if (state == 1) {
                if (!written)
                    std::fprintf(out, "%s\t= \"%s\"\n\n", u.key, u.value);
                written = true;
                state = 2;
            } else {
                section_name(e.key, name);
                if (std::strcmp(name, u.section_uc) == 0)
                    state = 1;
            }
        } else if (entry && state == 1) {
            XKWStrUpper(e.key);
            if (std::strcmp(e.key, u.key_uc) == 0) {
                std::fprintf(out, "%s\t= \"%s\"\t%.*s\n", u.key, u.value, comment_length(e.comment), e.comment);
                written = true;
                pad = 0;
                continue;
            }
        }
        off_t end = ftello(in);
        ok = start >= 0 && end >= start && fseeko(in, start, SEEK_SET) == 0 && copy_bytes(in, out, end - start);
        pad = r;
    }
    if (ok && state == 2)
        ok = copy_bytes(in, out, -1);
    if (ok && (state == 0 || !written)) {
        for (; pad > 0; --pad)
            std::fputc('\n', out);
        if (state == 0)
            std::fprintf(out, "\n[%s]\n", u.section);
        std::fprintf(out, "%s\t= \"%s\"\n\n", u.key, u.value);
    }
    if (std::ferror(out))
        return XKW_INI_E_TEMP;
    return ok && !std::ferror(in) ? XKW_OK : XKW_E_NOTFOUND;
}

}  // namespace

int32_t XKWIniOpen(XKWIni* ini, const char* path, const char* section)
{
    if (ini == nullptr || path == nullptr)
        return XKW_E_INVAL;
    if (section == nullptr)
        section = "";
    if (std::strlen(section) >= sizeof ini->wanted)
        return XKW_E_INVAL;
    if (ini->file != nullptr)
        XKWIniClose(ini);
    FILE* f = XKWFileOpenRead(path);
    if (f == nullptr)
        return XKW_E_NOTFOUND;
    *ini = XKWIni{};
    ini->file = f;
    ini->mode = XKW_INI_DEFAULT;
    XKWStrCopy(ini->wanted, section, sizeof ini->wanted);
    XKWStrUpper(ini->wanted);
    return XKW_OK;
}

int32_t XKWIniSetMode(XKWIni* ini, int32_t mode)
{
    if (ini == nullptr || ini->file == nullptr)
        return XKW_E_BADHANDLE;
    ini->mode = mode;
    return XKW_OK;
}

int32_t XKWIniNext(XKWIni* ini, char* section, size_t section_size, char* key, size_t key_size,
                   char* value, size_t value_size)
{
    if (ini == nullptr || ini->file == nullptr)
        return XKW_E_BADHANDLE;
    if (section == nullptr || key == nullptr || value == nullptr || section_size == 0 || key_size == 0 ||
        value_size == 0)
        return XKW_E_INVAL;
    section[0] = key[0] = value[0] = '\0';
    char line[line_size];
    Entry e;
    // Each pass consumes a line, so the walk ends with the file.
    while (ini->end == 0 && read_line(ini->file, line) >= 0) {
        if (!split_line(line, &e))
            continue;
        if (e.key[0] == '[') {
            if (enter_section(ini, e.key))
                ini->end = 1;
            continue;
        }
        if (ini->state == 0)
            continue;
        XKWStrUpper(e.key);
        if (std::strlen(ini->current) >= section_size || std::strlen(e.key) >= key_size)
            continue;
        XKWStrCopy(section, ini->current, section_size);
        XKWStrCopy(key, e.key, key_size);
        if ((ini->mode & XKW_INI_ENV) != 0)
            expand(e.value, value, value_size < line_size ? value_size : line_size);
        else
            XKWStrCopy(value, e.value, value_size);
        return XKW_OK;
    }
    return XKW_E_NOMORE;
}

int32_t XKWIniClose(XKWIni* ini)
{
    if (ini == nullptr || ini->file == nullptr)
        return XKW_E_BADHANDLE;
    std::fclose(ini->file);
    ini->file = nullptr;
    ini->state = 0;
    return XKW_OK;
}

int32_t XKWIniGetEx(const char* path, const char* section, const char* key, char* value,
                    size_t value_size, int32_t mode)
{
    if (value == nullptr || value_size == 0 || key == nullptr)
        return XKW_E_INVAL;
    value[0] = '\0';
    char want[XKW_INI_KEY];
    if (std::strlen(key) >= sizeof want)
        return XKW_E_NOTFOUND;  // no line holds a key that long
    XKWStrCopy(want, key, sizeof want);
    XKWStrUpper(want);
    XKWIni ini{};
    int32_t rc = XKWIniOpen(&ini, path, section);
    if (rc < 0)
        return rc;
    ini.mode = mode;
    // The reader returns only entries of the wanted section and of the
    // fallback sections the mode allows, so every entry of the key counts.
    char s[XKW_INI_SECTION], k[XKW_INI_KEY], v[XKW_INI_VALUE];
    rc = XKW_E_NOTFOUND;
    while (XKWIniNext(&ini, s, sizeof s, k, sizeof k, v, sizeof v) == XKW_OK) {
        if (std::strcmp(k, want) == 0) {
            XKWStrCopy(value, v, value_size);
            rc = XKW_OK;
        }
    }
    XKWIniClose(&ini);
    return rc;
}

int32_t XKWIniGet(const char* path, const char* section, const char* key, char* value, size_t value_size)
{
    return XKWIniGetEx(path, section, key, value, value_size, XKW_INI_DEFAULT);
}

int32_t XKWIniPut(const char* path, const char* section, const char* key, const char* value)
{
    Update u;
    if (path == nullptr || *path == '\0')
        return XKW_E_INVAL;
    int32_t rc = check_update(section, key, value, &u);
    if (rc < 0)
        return rc;
    int fd = lock_file(path);
    if (fd < 0)
        return fd;
    FILE* in = fdopen(fd, "r");
    if (in == nullptr) {
        close(fd);
        return XKW_E_NOTFOUND;
    }
    const std::string tmp = std::string(path) + ".tmp";
    int tfd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    FILE* out = tfd >= 0 ? fdopen(tfd, "w") : nullptr;
    if (out == nullptr) {
        if (tfd >= 0) {
            close(tfd);
            unlink(tmp.c_str());
        }
        std::fclose(in);
        return XKW_INI_E_TEMP;
    }
    rc = rewrite(in, out, u);
    // On disk before the rename, or a crash could leave an empty file.
    if ((std::fflush(out) != 0 || fsync(tfd) != 0) && rc == XKW_OK)
        rc = XKW_INI_E_TEMP;
    if (std::fclose(out) != 0 && rc == XKW_OK)
        rc = XKW_INI_E_TEMP;
    if (rc == XKW_OK && std::rename(tmp.c_str(), path) != 0)
        rc = XKW_INI_E_RENAME;
    // Only while we still hold the lock is the temporary file ours: once
    // renamed, the next update may already be writing a new one.
    if (rc != XKW_OK)
        unlink(tmp.c_str());
    std::fclose(in);
    return rc;
}

int32_t XKWIniOpenId(const char* path, const char* section)
{
    return ini_table.Open([&](XKWIni& ini) { return XKWIniOpen(&ini, path, section); });
}

int32_t XKWIniCloseId(int32_t handle)
{
    XKWIni* ini = ini_table.Get(handle);
    if (ini == nullptr)
        return XKW_E_BADHANDLE;
    XKWIniClose(ini);
    return ini_table.Free(handle);
}

int32_t XKWIniSetModeId(int32_t handle, int32_t mode)
{
    XKWIni* ini = ini_table.Get(handle);
    return ini == nullptr ? XKW_E_BADHANDLE : XKWIniSetMode(ini, mode);
}

int32_t XKWIniNextId(int32_t handle, char* section, size_t section_size, char* key, size_t key_size,
                     char* value, size_t value_size)
{
    XKWIni* ini = ini_table.Get(handle);
    if (ini == nullptr)
        return XKW_E_BADHANDLE;
    return XKWIniNext(ini, section, section_size, key, key_size, value, value_size);
}

int32_t XKWIniItem(const char** text, char* item, size_t size)
{
    if (text == nullptr || item == nullptr || size == 0)
        return XKW_E_INVAL;
    Text out(item, size);
    const char* p = *text;
    if (p == nullptr)
        return XKW_E_NOMORE;
    while (is_blank(*p) || *p == ',')
        ++p;
    if (*p == '\0') {
        *text = p;
        return XKW_E_NOMORE;
    }
    bool quoted = false;
    while (*p != '\0') {
        size_t n = XKWCodeCharLen(p);
        if (n == 1 && *p == '"') {
            quoted = !quoted;
            ++p;
            continue;
        }
        if (n == 1 && !quoted && (*p == ',' || is_blank(*p)))
            break;
        p = take_char(p, out);
    }
    *text = p;
    return static_cast<int32_t>(out.n);
}
