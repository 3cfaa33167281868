// plcsim: plays the PLC of a bridge without hardware. See tools/README.md
// for the options, the commands and the lines it shows.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "plc/qzrplc.h"
#include "runtime/XKWSleep.h"
#include "tools/plcsim/PlcSim.h"

using namespace plcsim;

namespace {

constexpr int kPollMs = 100;
constexpr int32_t kDefaultSettings = 0x2005;  // 9600 bit/s, 8 data bits, 1 stop bit, even parity

volatile sig_atomic_t stop_flag = 0;

void on_signal(int)
{
    stop_flag = 1;
}

std::mutex out_lock;

// One time-stamped line on standard output.
void show(const std::string& line)
{
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count() %
              1000;
    std::lock_guard<std::mutex> lock(out_lock);
    std::printf("%02d:%02d:%02d.%03d %s\n", tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms), line.c_str());
    std::fflush(stdout);
}

struct Options {
    std::string family, host, device, ini, plc = "PLC", secs = "SECS";
    int32_t port = -1, settings = -1, interval = 20;
    bool verbose = false, answer = false, no_equipment = false;
    std::vector<std::string> timers;  // "SECONDS COMMAND"
};

[[noreturn]] void usage(int status)
{
    std::printf(
        "usage: plcsim [-h] [-v] [-a] [-n] [-f family] [-H host] [-p port] [-s device] [-c settings]\n"
        "              [-w ms] [-t 'seconds command']... [+i file] [+p section] [+s section]\n"
        "\n"
        "  -f family   melsec3e, melsec4e, omron, keyence or memory (default: PLCTYPE of +i)\n"
        "  -H host     address to listen on (default 127.0.0.1); memory: the image name (PLCHOST)\n"
        "  -p port     TCP port, 0 a free one (default PLCPORT); memory: the image size\n"
        "  -s device   keyence: serve the upper link on this serial line instead of TCP\n"
        "  -c settings serial line settings word (default 0x2005, or PLCPORT of a serial PLCTYPE)\n"
        "  -v          show every PLC read and write\n"
        "  +i file     bridge INI file: play the equipment side of its handshakes\n"
        "  +p section  its bridge section (default PLC)\n"
        "  +s section  its library section (default SECS)\n"
        "  -n          memory only: no handshakes even with +i\n"
        "  -a          answer every host primary with the W-bit by its defined reply\n"
        "  -w ms       pause between two passes over the handshakes (default 20)\n"
        "  -t 'S CMD'  run the command CMD every S seconds (for example -t '5 send S6F11 CEID=1001')\n"
        "\n"
        "commands: send NAME [ITEM=VALUE ...], get DEVICE [COUNT], set DEVICE VALUE...,\n"
        "          stop, run, status, help, quit\n");
    std::exit(status);
}

bool parse_options(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help")
            usage(0);
        if (a == "-v" || a == "-a" || a == "-n") {
            (a == "-v" ? o->verbose : a == "-a" ? o->answer : o->no_equipment) = true;
            continue;
        }
        static const std::string with_value[] = {"-f", "-H", "-p", "-s", "-c", "-w", "-t", "+i", "+p", "+s"};
        if (std::find(std::begin(with_value), std::end(with_value), a) == std::end(with_value)) {
            std::fprintf(stderr, "plcsim: unknown option %s\n", a.c_str());
            return false;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "plcsim: %s needs a value\n", a.c_str());
            return false;
        }
        std::string v = argv[++i];
        if (a == "-f")
            o->family = v;
        else if (a == "-H")
            o->host = v;
        else if (a == "-p")
            o->port = QZVQNumber(v.c_str());
        else if (a == "-s")
            o->device = v;
        else if (a == "-c")
            o->settings = QZVQNumber(v.c_str());
        else if (a == "-w")
            o->interval = std::max(1, QZVQNumber(v.c_str()));
        else if (a == "-t")
            o->timers.push_back(v);
        else if (a == "+i")
            o->ini = v;
        else if (a == "+p")
            o->plc = v;
        else
            o->secs = v;
    }
    return true;
}

// Words of a command line; "..." keeps blanks in a word (also after
// ITEM=) and is removed.
std::vector<std::string> split(const std::string& line)
{
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (any)
                words.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any)
        words.push_back(word);
    return words;
}

// A device as in the bridge's INI file: code,address[:bit]. For the
// shared image the code is the access kind (0 status, 1 handshake, 2
// information block, 3 item).
bool parse_device(Family family, const std::string& text, QZVQCode* code, int32_t* address, int32_t* bit)
{
    size_t comma = text.find(',');
    if (comma == std::string::npos || comma == 0)
        return false;
    std::string c = text.substr(0, comma), rest = text.substr(comma + 1);
    *code = {};
    if (family == Family::Keyence) {
        if (c.size() > 3)
            return false;
        for (size_t i = 0; i < c.size(); ++i)
            code->text[i] = char(std::toupper(static_cast<unsigned char>(c[i])));
    } else {
        code->number = QZVQNumber(c.c_str());
    }
    size_t colon = rest.find(':');
    *address = QZVQNumber(rest.substr(0, colon).c_str());
    *bit = colon == std::string::npos ? 0 : QZVQNumber(rest.substr(colon + 1).c_str());
    return *address >= 0 && *bit >= 0 && *bit < 16;
}

class Simulator {
public:
    Options opt;
    Family family = Family::Melsec3E;
    std::unique_ptr<DeviceImage> image;
    std::unique_ptr<SharedImage> shared;
    std::unique_ptr<SimServer> server;
    std::unique_ptr<SimEquipment> equipment;
    SimMemory* memory = nullptr;

    int start();
    // Run one command line; false for quit.
    bool command(const std::string& line);

private:
    void memory_command(const std::vector<std::string>& w, bool writing);
};

int Simulator::start()
{
    int32_t table = 0, devid = 0;
    bool equip_side = true;
    const QZVQSettings& cfg = QZVQGetContext()->cfg;
    if (!opt.ini.empty()) {
        std::string error;
        table = load_bridge(opt.ini, opt.plc, opt.secs, &devid, &equip_side, &error);
        if (table < 0) {
            std::fprintf(stderr, "plcsim: %s\n", error.c_str());
            return 1;
        }
    }
    if (!opt.family.empty() ? !family_from_text(opt.family, &family)
                            : opt.ini.empty() || !family_from_settings(cfg, &family)) {
        std::fprintf(stderr, "plcsim: %s\n",
                     opt.family.empty() ? "give a PLC family (-f) or a bridge INI file with its PLCTYPE (+i)"
                                        : ("unknown PLC family " + opt.family).c_str());
        return 1;
    }
    bool from_ini = !opt.ini.empty();
    char where[300];
    if (family == Family::Memory) {
        std::string name = !opt.host.empty() ? opt.host : from_ini ? cfg.plchost : "";
        int32_t size = opt.port >= 0 ? opt.port : from_ini ? cfg.plcport : 0;
        shared = std::make_unique<SharedImage>(name, size);
        if (name.empty() || !shared->ready()) {
            std::fprintf(stderr, "plcsim: cannot map the PLC image \"%s\" of %d bytes\n", name.c_str(), size);
            return 1;
        }
        memory = shared.get();
        std::snprintf(where, sizeof where, "image %s (%d bytes)", name.c_str(), size);
    } else {
        image = std::make_unique<DeviceImage>(family);
        memory = image.get();
        server = std::make_unique<SimServer>(*image, show, opt.verbose);
        int32_t rc;
        if (!opt.device.empty()) {
            if (family != Family::Keyence) {
                std::fprintf(stderr, "plcsim: a serial line (-s) is for keyence only\n");
                return 1;
            }
            bool serial_ini = from_ini && (cfg.plctype & QZRPLC_KEYENCE_LINK) == QZRPLC_KEYENCE_SERIAL;
            int32_t settings = opt.settings >= 0 ? opt.settings : serial_ini ? cfg.plcport : kDefaultSettings;
            rc = server->start_serial(opt.device, settings);
            std::snprintf(where, sizeof where, "serial %s (0x%04x)", opt.device.c_str(), unsigned(settings));
        } else {
            std::string host = opt.host.empty() ? "127.0.0.1" : opt.host;
            int32_t port = opt.port >= 0 ? opt.port : from_ini ? cfg.plcport : -1;
            if (port < 0 || port > 0xFFFF) {
                std::fprintf(stderr, "plcsim: give a TCP port (-p)\n");
                return 1;
            }
            rc = server->start_tcp(host, port);
            std::snprintf(where, sizeof where, "%s:%d", host.c_str(), server->port());
        }
        if (rc < 0) {
            std::fprintf(stderr, "plcsim: cannot open %s (%d)\n", where, rc);
            return 1;
        }
    }
    show(std::string("plcsim ") + family_text(family) + " on " + where);
    if (from_ini && !opt.no_equipment) {
        equipment = std::make_unique<SimEquipment>(*memory, table, devid, equip_side, opt.answer, show);
        const QZVQContext* c = QZVQGetContext();
        show("equipment " + opt.ini + " [" + opt.plc + "] [" + opt.secs + "], " + std::to_string(c->nmssg) +
             " PLC messages of " + c->lib.mdmssg);
        equipment->start(opt.interval);
    }
    return 0;
}

void Simulator::memory_command(const std::vector<std::string>& w, bool writing)
{
    QZVQCode code{};
    int32_t address = 0, bit = 0;
    if (w.size() < 2 || !parse_device(family, w[1], &code, &address, &bit) || (writing && w.size() < 3)) {
        show(writing ? "usage: set DEVICE VALUE..." : "usage: get DEVICE [COUNT]");
        return;
    }
    std::vector<uint16_t> words;
    if (writing) {
        for (size_t i = 2; i < w.size(); ++i)
            words.push_back(uint16_t(QZVQNumber(w[i].c_str())));
    } else {
        words.resize(size_t(std::clamp(w.size() > 2 ? QZVQNumber(w[2].c_str()) : 1, 1, 4096)));
    }
    int32_t n = int32_t(words.size());
    bool ok = writing ? memory->put(code.number, code, address, bit, n, words.data())
                      : memory->get(code.number, code, address, bit, n, words.data());
    if (!ok) {
        show(w[1] + ": outside the PLC's memory");
        return;
    }
    std::string line = w[1] + ":";
    for (uint16_t v : words)
        line += " " + std::to_string(v);
    show(line);
}

bool Simulator::command(const std::string& line)
{
    std::vector<std::string> w = split(line);
    if (w.empty())
        return true;
    const std::string& c = w[0];
    if (c == "quit" || c == "exit")
        return false;
    if (c == "help") {
        show("send NAME [ITEM=VALUE ...] | get DEVICE [COUNT] | set DEVICE VALUE... | stop | run | status | quit");
    } else if (c == "get" || c == "set") {
        memory_command(w, c == "set");
    } else if (equipment == nullptr && (c == "send" || c == "stop" || c == "run" || c == "status")) {
        show(c + ": no equipment side (give the bridge INI file with +i)");
    } else if (c == "send") {
        if (w.size() < 2) {
            show("usage: send NAME [ITEM=VALUE ...]");
            return true;
        }
        std::vector<ItemValue> values;
        for (size_t i = 2; i < w.size(); ++i) {
            size_t eq = w[i].find('=');
            if (eq == std::string::npos || eq == 0) {
                show("send: not ITEM=VALUE: " + w[i]);
                return true;
            }
            values.emplace_back(w[i].substr(0, eq), w[i].substr(eq + 1));
        }
        std::string error;
        if (equipment->request(w[1], values, &error) < 0)
            show("send error: " + error);
    } else if (c == "stop" || c == "run") {
        equipment->set_running(c == "run");
    } else if (c == "status") {
        show(equipment->status());
    } else {
        show("unknown command " + c + " (help lists them)");
    }
    return true;
}

struct Timer {
    int64_t period_ms, next_ms;
    std::string command;
};

}  // namespace

int main(int argc, char** argv)
{
    Simulator sim;
    if (!parse_options(argc, argv, &sim.opt))
        usage(2);
    std::vector<Timer> timers;
    for (const std::string& t : sim.opt.timers) {
        char* end = nullptr;
        double seconds = std::strtod(t.c_str(), &end);
        if (end == t.c_str() || seconds <= 0) {
            std::fprintf(stderr, "plcsim: -t wants 'SECONDS COMMAND', not '%s'\n", t.c_str());
            return 2;
        }
        int64_t period = std::max<int64_t>(1, int64_t(seconds * 1000));
        timers.push_back({period, int64_t(XKWTickCount()) + period, std::string(end)});
    }
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (int rc = sim.start(); rc != 0)
        return rc;

    bool interactive = isatty(STDIN_FILENO) == 1;
    bool input = true;
    std::string pending;
    if (interactive)
        std::printf("plcsim> "), std::fflush(stdout);
    while (stop_flag == 0) {
        int64_t now = int64_t(XKWTickCount());
        for (Timer& t : timers)
            if (now >= t.next_ms) {
                t.next_ms = now + t.period_ms;
                sim.command(t.command);
            }
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (!input) {
            ::poll(nullptr, 0, kPollMs);
            continue;
        }
        if (::poll(&p, 1, kPollMs) <= 0)
            continue;
        char buffer[4096];
        ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            input = false;  // the PLC keeps running without an operator
            continue;
        }
        pending.append(buffer, size_t(n));
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!sim.command(line))
                stop_flag = 1;
            if (interactive && stop_flag == 0)
                std::printf("plcsim> "), std::fflush(stdout);
        }
    }
    sim.equipment.reset();
    if (sim.server)
        sim.server->stop();
    show("plcsim stopped");
    return 0;
}
