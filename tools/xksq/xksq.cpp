// xksq: a console on the SECS library for testing a host link without a
// PLC. It opens one session from an INI file and section (the INI decides
// host or equipment, active or passive), prints every communication trace
// line the engine produces (headers, names and item lines) with a time
// stamp, can answer received primaries from the message definitions (-a),
// and sends what the operator types: control requests, messages defined by
// name, or messages given as item text lines.
//
// Threads: the main thread reads standard input (poll with a time-out, so
// a signal flag or the end of input is noticed at once); the library calls
// the receive callback on its callback thread and the trace callback on
// the engine's threads. Every output line goes through one lock and is
// flushed at once, so lines never mix and a reading pipe sees them as they
// happen. The definition table is shared by the main thread (send NAME)
// and the receive callback (automatic replies) under a lock of its own.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "secs/XKSLib.h"
#include "secs/XKSMDMssg.h"
#include "secs/XKSTrace.h"
#include "secs/xks.h"

namespace {

constexpr int32_t kOpenMode = XKS_OPEN_MIRROR | XKS_OPEN_ENGINE_THREAD;
constexpr int32_t kParamXmsgsize = 6;
constexpr int32_t kParamTrcttype = 51;
constexpr int32_t kSelected = 3;
constexpr int32_t kProcessKind = XKS_TK_PROCESS;  // trace record kind of a process-trace line
constexpr int kPollMs = 200;               // input poll: how soon a signal is noticed
constexpr size_t kMaxLine = 65536;         // longer input lines are cut
constexpr int kMaxWaitSeconds = 3600;
constexpr int kDefaultWaitSeconds = 10;
constexpr const char* kPrompt = "xksq> ";

volatile sig_atomic_t stop_flag = 0;

void on_signal(int)
{
    stop_flag = 1;
}

const char* const kCommands[] = {
    "connect                  connect an active HSMS link",
    "select | deselect        Select.req / Deselect.req",
    "separate                 Separate.req",
    "send NAME                send the defined message NAME with its defined values",
    "SxFy [W]                 then item lines, ended by a line \".\": send them as SxFy",
    "wait selected [SECONDS]  wait until the link is selected (default 10 s)",
    "wait SxFy [SECONDS]      wait until an SxFy is received (one per wait)",
    "status                   link state and counters",
    "help                     this list",
    "quit                     close the session and end (also end of input, Ctrl-C)",
};

struct Options {
    char file[260] = "";     // program file, for the usage text
    char ini[260] = "";
    char section[32] = "SECS";
    bool autoreply = false;
};

// Bounded copy that always terminates.
void copy_text(char* out, size_t size, const char* text)
{
    std::snprintf(out, size, "%s", text);
}

// "S1F2", with " W" when the W-bit is set.
std::string sf_text(int32_t sf)
{
    char text[24];
    std::snprintf(text, sizeof text, "S%dF%d%s", (sf >> 8) & 0x7F, sf & 0xFF, (sf & 0x8000) ? " W" : "");
    return text;
}

// "S<stream>F<function>" (any case) as stream * 256 + function, else -1.
int32_t parse_sf(const std::string& token)
{
    int stream = 0, function = 0, used = 0;
    if (token.size() < 4 || std::sscanf(token.c_str(), "%*1[Ss]%3d%*1[Ff]%3d%n", &stream, &function, &used) != 2 ||
        used != int(token.size()) || stream < 0 || stream > 127 || function < 0 || function > 255)
        return -1;
    return stream * 256 + function;
}

std::vector<std::string> split(const std::string& line)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
            ++i;
        size_t j = i;
        while (j < line.size() && !std::isspace(static_cast<unsigned char>(line[j])))
            ++j;
        if (j > i)
            out.push_back(line.substr(i, j - i));
        i = j;
    }
    return out;
}

bool same(const std::string& a, const char* b)
{
    return strcasecmp(a.c_str(), b) == 0;
}

// Kind of a link event (-960 .. -999) as the trace names it.
const char* event_name(int32_t event)
{
    int32_t n = -event;
    int32_t kind = n >= 990 ? n - 980 : n >= 980 ? n - 960 : n - 930;
    return XKSTraceKindName(kind);
}

class Console {
public:
    explicit Console(const Options& opt) : opt_(opt) {}

    int run();

    // Library callbacks (their threads).
    void traced(const XKSTraceRecord* rec);
    void received(const XKSRecvRecord* rec);

private:
    void out(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void prompt();
    bool read_lines(std::string& pending, std::vector<std::string>& lines);
    // One input line; false when the program is to end.
    bool command(const std::string& line);
    void control(int32_t mode, const char* what);
    void send_defined(const std::string& name);
    void begin_text(int32_t sf);
    void text_line(const std::string& line);
    void wait_selected(int seconds);
    void wait_message(int32_t sf, int seconds);
    void status();
    void auto_reply(const XKSRecvRecord* rec);
    void send(const std::string& what, int32_t session, int32_t mode, int32_t devid, int32_t sf, uint32_t xid,
              const uint8_t* body, int32_t length);
    void shut();

    const Options& opt_;
    std::mutex out_lock_;
    bool interactive_ = false;
    bool prompt_shown_ = false;
    std::atomic<int32_t> session_{0};
    std::atomic<bool> closing_{false};
    std::atomic<int32_t> sent_{0}, received_{0};
    int32_t notation_ = 0;   // text notation of typed item lines (TRCTTYPE bits 4..6)
    int32_t capacity_ = 65536;

    std::mutex md_lock_;     // definition table: main thread and receive callback
    int32_t md_ = 0;
    std::vector<uint8_t> body_, reply_;

    std::mutex recv_lock_;   // messages received and not yet waited for, by SxFy
    std::condition_variable recv_cv_;
    std::map<int32_t, int32_t> arrived_;

    // Item lines being collected for a message typed as text.
    int32_t text_sf_ = -1;
    int32_t text_handle_ = 0;
    int32_t text_error_ = 0;
};

void Console::out(const char* format, ...)
{
    char text[4096];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(out_lock_);
    if (prompt_shown_)
        std::fputc('\n', stdout);
    prompt_shown_ = false;
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Console::prompt()
{
    std::lock_guard<std::mutex> g(out_lock_);
    if (!interactive_ || prompt_shown_)
        return;
    std::fputs(text_sf_ >= 0 ? "....> " : kPrompt, stdout);
    std::fflush(stdout);
    prompt_shown_ = true;
}

void Console::traced(const XKSTraceRecord* rec)
{
    // Lines of the engine's process trace repeat the communication trace.
    if (rec == nullptr || rec->text == nullptr || (rec->kind & kProcessKind) != 0)
        return;
    // SHUTDOWN and TERMINATE lines carry blank lines behind them.
    size_t n = std::strlen(rec->text);
    while (n > 0 && (rec->text[n - 1] == '\n' || rec->text[n - 1] == '\r'))
        --n;
    out("%02d:%02d:%02d.%03d %.*s", rec->clock / 10000, rec->clock / 100 % 100, rec->clock % 100, rec->ms, int(n),
        rec->text);
}

void Console::received(const XKSRecvRecord* rec)
{
    if (rec->req >= 66 && rec->req <= 69) {
        out("event %s", XKSTraceKindName(rec->event - 930));
        return;
    }
    if (rec->event >= 960 && rec->event <= 999) {
        out("event %s (%d)", event_name(-rec->event), -rec->event);
        return;
    }
    if (rec->rtn < 0) {
        out("receive error %d", rec->rtn);
        return;
    }
    received_.fetch_add(1);
    {
        std::lock_guard<std::mutex> g(recv_lock_);
        ++arrived_[rec->sf & 0x7FFF];
    }
    recv_cv_.notify_all();
    if (opt_.autoreply && (rec->sf & 0x8000) && (rec->sf & 1))
        auto_reply(rec);
}

// The defined reply to a received primary, sent with its transaction ID.
// The callback thread must not stall: building takes no time and the send
// of a reply waits only for the engine to write it.
void Console::auto_reply(const XKSRecvRecord* rec)
{
    // The callback thread starts inside the open, before the handle is known.
    for (int i = 0; i < 100 && session_.load() == 0 && !closing_.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int32_t session = session_.load();
    if (session <= 0 || closing_.load())
        return;
    char name[XKS_MD_NAME] = "", reply_name[XKS_MD_NAME] = "";
    int32_t sf = 0;
    int32_t len;
    {
        std::lock_guard<std::mutex> g(md_lock_);
        if (md_ <= 0) {
            out("auto reply error %d for %s: no definitions", md_, sf_text(rec->sf).c_str());
            return;
        }
        len = XKSMDAutoReply(md_, 0, rec->header, rec->body, rec->rtn, reply_.data(), int32_t(reply_.size()),
                             name, reply_name, &sf);
    }
    if (len < 0) {
        out("auto reply error %d for %s", len, sf_text(rec->sf).c_str());
        return;
    }
    std::string what = sf_text(sf);
    out("auto reply %s [%s] to %s [%s]", what.c_str(), reply_name[0] ? reply_name : what.c_str(),
        sf_text(rec->sf).c_str(), name);
    // An S9Fx is a primary of its own and gets a new transaction ID.
    send(what, session, 0, rec->devid, sf, rec->xid, reply_.data(), len);
}

// Send and print the outcome. The transaction ID comes apart from the
// result: any of its 32 bits may be set (SRCID0 0x8000 and above, a host
// that numbers so), which a signed result could not tell from an error.
void Console::send(const std::string& what, int32_t session, int32_t mode, int32_t devid, int32_t sf, uint32_t xid,
                   const uint8_t* body, int32_t length)
{
    uint32_t id = 0;
    int32_t rc = XKSSendId(session, mode, devid, sf, xid, body, length, nullptr, nullptr, &id);
    if (rc >= 0) {
        sent_.fetch_add(1);
        out("sent %s xid=0x%08x", what.c_str(), id);
    } else {
        out("send error %d", rc);
    }
}

void Console::control(int32_t mode, const char* what)
{
    send(what, session_.load(), mode, -1, 0, 0, nullptr, 0);
}

void Console::send_defined(const std::string& name)
{
    int32_t sf = 0;
    int32_t len;
    {
        std::lock_guard<std::mutex> g(md_lock_);
        if (md_ <= 0) {
            out("send error %d: no definitions", md_);
            return;
        }
        len = XKSMDSelect(md_, 0, nullptr, capacity_, name.c_str());
        XKSMDTable* table = nullptr;
        if (len >= 0 && XKSMDGetTable(md_, 0, &table) == 0 && table != nullptr)
            sf = table->cur.sf | ((table->cur.at & XKS_MD_W) ? 0x8000 : 0);
        if (len >= 0)
            len = XKSMDBuild(md_, 0, body_.data());
    }
    if (len < 0) {
        out("send error %d: %s", len, len == -2 ? "no such message" : "cannot build it");
        return;
    }
    send(sf_text(sf) + " [" + name + "]", session_.load(), 0, -1, sf, 0, body_.data(), len);
}

void Console::begin_text(int32_t sf)
{
    text_sf_ = sf;
    text_error_ = 0;
    text_handle_ = XKSMsgBuildOpen(0, body_.data(), capacity_, session_.load());
    if (text_handle_ < 0) {
        text_error_ = text_handle_;
        text_handle_ = 0;
    }
}

// One item line of a message typed as text, or its end ".".
void Console::text_line(const std::string& line)
{
    size_t b = line.find_first_not_of(" \t");
    std::string item = b == std::string::npos ? "" : line.substr(b);
    if (item == ".") {
        int32_t len = text_handle_ > 0 ? XKSMsgBuildClose(text_handle_, 0, body_.data()) : text_error_;
        int32_t sf = text_sf_;
        text_sf_ = -1;
        text_handle_ = 0;
        if (text_error_ < 0 || len < 0)
            out("send error %d: message not sent", text_error_ < 0 ? text_error_ : len);
        else
            send(sf_text(sf), session_.load(), 0, -1, sf, 0, body_.data(), len);
        return;
    }
    if (item.empty() || text_error_ < 0)
        return;
    // Lines copied from an angle-notation trace are read in that notation
    // whatever the session's own notation is.
    int32_t notation = notation_;
    if ((item[0] == '<' || item[0] == '>') && notation != XKS_TEXT_COMMA)
        notation = XKS_TEXT_ANGLE;
    int32_t rc = XKSMsgPutText(text_handle_, notation << 4, body_.data(), item.c_str());
    if (rc < 0) {
        text_error_ = rc;
        out("item error %d: %s", rc, item.c_str());
    }
}

void Console::wait_selected(int seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        if (XKSGetXStat(session_.load(), 0) == kSelected) {
            out("wait selected ok");
            return;
        }
        if (stop_flag || std::chrono::steady_clock::now() >= end)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    out("wait selected timeout");
}

void Console::wait_message(int32_t sf, int seconds)
{
    sf &= 0x7FFF;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::unique_lock<std::mutex> g(recv_lock_);
    // Woken by every arrival; the short step notices a signal.
    while (arrived_[sf] == 0 && !stop_flag && std::chrono::steady_clock::now() < end)
        recv_cv_.wait_for(g, std::chrono::milliseconds(kPollMs));
    bool ok = arrived_[sf] > 0;
    if (ok)
        --arrived_[sf];
    g.unlock();
    out("wait %s %s", sf_text(sf).c_str(), ok ? "ok" : "timeout");
}

void Console::status()
{
    static const char* const names[] = {"not connected", "connected", "selecting", "selected", "deselecting"};
    int32_t x = XKSGetXStat(session_.load(), 0);
    out("status xstat=%d (%s) sent=%d received=%d autoreply=%s", x, x >= 0 && x <= 4 ? names[x] : "?",
        sent_.load(), received_.load(), opt_.autoreply ? "on" : "off");
}

bool Console::command(const std::string& line)
{
    if (text_sf_ >= 0) {
        text_line(line);
        return true;
    }
    std::vector<std::string> t = split(line);
    if (t.empty())
        return true;
    const std::string& c = t[0];
    auto seconds = [&t]() {
        long s = t.size() > 2 ? std::strtol(t[2].c_str(), nullptr, 10) : kDefaultWaitSeconds;
        return int(s < 0 ? 0 : s > kMaxWaitSeconds ? kMaxWaitSeconds : s);
    };
    int32_t sf = parse_sf(c);
    if (same(c, "quit") || same(c, "exit"))
        return false;
    if (same(c, "connect"))
        control(XKS_SEND_CONNECT, "connect");
    else if (same(c, "select"))
        control(XKS_SEND_SELECT, "select");
    else if (same(c, "deselect"))
        control(XKS_SEND_DESELECT, "deselect");
    else if (same(c, "separate"))
        control(XKS_SEND_SEPARATE, "separate");
    else if (same(c, "send") && t.size() == 2)
        send_defined(t[1]);
    else if (sf >= 0 && (t.size() == 1 || (t.size() == 2 && same(t[1], "W"))))
        begin_text(sf | (t.size() == 2 ? 0x8000 : 0));
    else if (same(c, "wait") && t.size() >= 2 && same(t[1], "selected"))
        wait_selected(seconds());
    else if (same(c, "wait") && t.size() >= 2 && parse_sf(t[1]) >= 0)
        wait_message(parse_sf(t[1]), seconds());
    else if (same(c, "status"))
        status();
    else if (same(c, "help") || c == "?")
        for (const char* h : kCommands)
            out("  %s", h);
    else
        out("unknown command: %s (try help)", line.c_str());
    return true;
}

// Complete lines from standard input; false at its end (the rest of an
// unterminated last line comes as a line of its own).
bool Console::read_lines(std::string& pending, std::vector<std::string>& lines)
{
    char buf[4096];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0)
        return errno == EINTR || errno == EAGAIN;
    if (n > 0)
        pending.append(buf, size_t(n));
    size_t start = 0;
    for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string l = pending.substr(start, nl - start);
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        lines.push_back(l);
    }
    pending.erase(0, start);
    if (pending.size() > kMaxLine) {
        lines.push_back(pending.substr(0, kMaxLine));
        pending.clear();
    }
    if (n == 0 && !pending.empty()) {
        lines.push_back(pending);
        pending.clear();
    }
    return n > 0;
}

// Definitions first (the receive callback may be using them), then the
// session, which ends the callback and engine threads.
void Console::shut()
{
    closing_.store(true);
    if (text_handle_ > 0)
        XKSMsgBuildClose(text_handle_, 0, body_.data());
    {
        std::lock_guard<std::mutex> g(md_lock_);
        if (md_ > 0)
            XKSMDClose(md_, 0);
        md_ = 0;
    }
    int32_t rc = XKSClose(session_.load(), 0);
    out("closed (%d)", rc);
}

int Console::run()
{
    interactive_ = isatty(STDIN_FILENO) == 1;
    auto recv_cb = [](void* arg, const XKSRecvRecord* rec) -> int32_t {
        static_cast<Console*>(arg)->received(rec);
        return 0;
    };
    auto trace_cb = [](const XKSTraceRecord* rec, void* arg) { static_cast<Console*>(arg)->traced(rec); };
    int32_t session = XKSOpen(kOpenMode, opt_.ini, opt_.section, recv_cb, this, nullptr, nullptr, trace_cb, this);
    if (session <= 0) {
        out("open %s [%s] error %d", opt_.ini, opt_.section, session);
        return 1;
    }
    int32_t size = XKSGetParam(session, 0, kParamXmsgsize, nullptr, 0);
    notation_ = (XKSGetParam(session, 0, kParamTrcttype, nullptr, 0) >> 4) & 7;
    if (size > 0)
        capacity_ = size;
    body_.resize(size_t(capacity_));
    // The receive callback waits for the handle before it touches the
    // reply buffer or the definitions, so both are ready before it is set.
    reply_.resize(size_t(capacity_));
    {
        std::lock_guard<std::mutex> g(md_lock_);
        md_ = XKSMDOpen(0, session, nullptr);
    }
    session_.store(session);
    out("open %s [%s] session=%d", opt_.ini, opt_.section, session);
    if (md_ < 0)
        out("definitions error %d: send NAME and -a are not available", md_);

    std::string pending;
    bool more = true;
    while (more && !stop_flag) {
        prompt();
        pollfd p{STDIN_FILENO, POLLIN, 0};
        int r = poll(&p, 1, kPollMs);
        if (r <= 0)
            continue;
        {
            std::lock_guard<std::mutex> g(out_lock_);
            prompt_shown_ = false;  // the operator's line ended it
        }
        std::vector<std::string> lines;
        more = read_lines(pending, lines);
        for (const std::string& l : lines)
            if (!command(l)) {
                more = false;
                break;
            }
    }
    shut();
    return 0;
}

[[noreturn]] void usage(const Options& opt)
{
    char rec[96] = {};
    int32_t bits = XKSLibVersion(rec);
    std::printf("\n[xksq] Ver:%s (%dbit) .. Build:%s\n\n", rec, bits, rec + 32);
    std::printf("Usage: %s [options..]\n\nOptions\n", opt.file);
    std::printf("  -h      : Display usage message\n");
    std::printf("  -a      : Answer received primaries from the message definitions\n\n");
    std::printf("  +i ini  : Specify .ini file         [%s]\n", opt.ini);
    std::printf("  +s sect : Specify SECS section name [%s]\n\nCommands\n", opt.section);
    for (const char* h : kCommands)
        std::printf("  %s\n", h);
    std::printf("\n");
    std::exit(2);
}

// Program file and stem from argv[0]; defaults; then the options in order.
void parse_options(int argc, char** argv, Options& opt)
{
    const char* name = argc > 0 && argv[0] != nullptr ? argv[0] : "xksq";
    const char* base = name;
    for (const char* p = name; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\' || (*p == ':' && p == name + 1))
            base = p + 1;
    copy_text(opt.file, sizeof opt.file, base);
    std::string stem = base;
    size_t dot = stem.rfind('.');
    if (dot != std::string::npos && dot > 0)
        stem.resize(dot);
    std::snprintf(opt.ini, sizeof opt.ini, "%s.ini", stem.c_str());
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (a[0] == '-' && a[1] == 'h')
            usage(opt);
        else if (a[0] == '-' && a[1] == 'a')
            opt.autoreply = true;
        else if (a[0] == '+' && i + 1 < argc && (a[1] == 'i' || a[1] == 's')) {
            if (a[1] == 'i')
                copy_text(opt.ini, sizeof opt.ini, argv[i + 1]);
            else
                copy_text(opt.section, sizeof opt.section, argv[i + 1]);
            ++i;
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    parse_options(argc, argv, opt);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    Console console(opt);
    return console.run();
}
