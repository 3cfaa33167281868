// The console front end (program qzvq): reads the command line, starts the
// bridge, shows the start banner and the two status texts, runs the
// operator prompt on standard input until 0, the end of the input or an
// interrupt or terminate signal, and stops the bridge. With -d (service
// mode) there is no prompt and standard input is never read: the bridge
// runs until SIGINT or SIGTERM. Every bridge line reaches the console
// through ConvDisplay, which moves SECS-side lines into a right-hand column.
//
// The signal handler only sets the stop flag. It is installed without
// SA_RESETHAND, so it stays in place for later signals, and with
// SA_RESTART, so a read of standard input in progress completes and the
// loop notices the flag before the next prompt. In service mode both
// signals are blocked before the bridge starts its threads, which inherit
// the mask; the main thread lets them in only inside sigsuspend, so a
// signal that comes between the test of the flag and the wait stays
// pending instead of being lost.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge/QZVAppQ.h"
#include "runtime/XKWStr.h"
#include "secs/XKSAcb.h"

namespace {

constexpr const char* kVersion = "20.040";
constexpr const char* kBuild = "200412.1515";
constexpr int kTextSize = 256;      // status and failure texts
constexpr int kLineSize = 256;      // one line of operator input
constexpr int32_t kSecsSide = 0x80; // output flag: SECS-side line
constexpr const char* kPrompt = "Req (0:Exit 1:Display 2:Stat) : ";

// Console globals.
char program_name[64];
char program_file[QZVQ_FILE_SIZE];
char program_stem[QZVQ_FILE_SIZE];
char plc_ini[QZVQ_FILE_SIZE];
char secs_ini[QZVQ_FILE_SIZE];
char plc_section[QZVQ_SECTION_SIZE];
char secs_section[QZVQ_SECTION_SIZE];
int32_t option_flags;
bool service_mode;  // -d
volatile sig_atomic_t stop_flag;
int32_t status_words[2];

// The file name of a program path: the text after the last '/' or '\', or
// after a drive "X:".
const char* base_name(const char* path)
{
    const char* start = path;
    if (((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) && path[1] == ':')
        start = path + 2;
    for (const char* p = start; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\')
            start = p + 1;
    return start;
}

void set_defaults(const char* program, const char* argv0)
{
    XKWStrCopy(program_name, program, sizeof program_name);
    XKWStrCopy(program_file, base_name(argv0), sizeof program_file);
    XKWStrCopy(program_stem, program_file, sizeof program_stem);
    if (char* dot = std::strrchr(program_stem, '.'); dot != nullptr)
        *dot = '\0';
    std::snprintf(plc_ini, sizeof plc_ini, "%.*s.ini", int(sizeof plc_ini) - 5, program_stem);
    XKWStrCopy(secs_ini, plc_ini, sizeof secs_ini);
    XKWStrCopy(plc_section, "PLC", sizeof plc_section);
    XKWStrCopy(secs_section, "SECS", sizeof secs_section);
    option_flags = 0;
    service_mode = false;
    stop_flag = 0;
    status_words[0] = status_words[1] = 0;
}

void install_signals()
{
    if (service_mode) {
        sigset_t stop_signals;
        sigemptyset(&stop_signals);
        sigaddset(&stop_signals, SIGINT);
        sigaddset(&stop_signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    }
    struct sigaction action{};
    action.sa_handler = ConvSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// One operator request: 0 to 2; -1 for any other line (another number,
// or text that is not a decimal integer); -2 at the end of the input. A
// line longer than the buffer is read to its end and counts as one line.
int32_t read_request()
{
    char line[kLineSize];
    if (std::fgets(line, sizeof line, stdin) == nullptr)
        return -2;
    if (std::strchr(line, '\n') == nullptr) {
        int c;
        while ((c = std::getchar()) != EOF && c != '\n') {
        }
    }
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(line, &end, 10);
    if (end == line || errno != 0)
        return -1;
    while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n')
        ++end;
    if (*end != '\0' || value < 0 || value > 2)
        return -1;
    return int32_t(value);
}

// Service mode: sleep until SIGINT or SIGTERM has set the stop flag. Both
// are blocked outside sigsuspend (install_signals), so the flag cannot be
// set between its test and the wait.
void wait_for_stop_signal()
{
    sigset_t open_mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &open_mask);
    sigdelset(&open_mask, SIGINT);
    sigdelset(&open_mask, SIGTERM);
    while (stop_flag == 0)
        sigsuspend(&open_mask);
}

void log_line(int32_t flags, const char* text)
{
    QZVQ_LOG(QZVQ_DIR_GENERAL | flags, 1, text);
}

}  // namespace

int32_t ConvMain(const char* program, int32_t argc, char** argv)
{
    set_defaults(program, argc > 0 && argv[0] != nullptr ? argv[0] : program);
    QZVQSetProgramName(program_name);
    for (int32_t i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0)
            ConvUsage();
        if (arg[0] == '-') {
            switch (arg[1]) {
            case 'h': ConvUsage();
            case 'd': service_mode = true; break;
            case 'v': option_flags |= QZVQ_DISP_HANDSHAKE; break;
            case 'l': option_flags |= QZVQ_DISP_LIST; break;
            case 'x': option_flags |= QZVQ_DISP_HEXA; break;
            default: break;
            }
        } else if (arg[0] == '+' && (arg[1] == 'i' || arg[1] == 'p' || arg[1] == 's')) {
            if (i + 1 >= argc)  // no value: as if the option were not given
                break;
            const char* value = argv[++i];
            if (arg[1] == 'i') {
                XKWStrCopy(plc_ini, value, sizeof plc_ini);
                XKWStrCopy(secs_ini, value, sizeof secs_ini);
            } else if (arg[1] == 'p') {
                XKWStrCopy(plc_section, value, sizeof plc_section);
            } else {
                XKWStrCopy(secs_section, value, sizeof secs_section);
            }
        }
    }
    install_signals();
    return ConvProc();
}

void ConvUsage()
{
    std::printf("\n");
    std::printf("[%s] Ver:%s (20%s) (%dbit) .. Build:%s %s\n", program_name, kVersion, kBuild,
                int(sizeof(void*) * 8), __DATE__, __TIME__);
    std::printf("\n");
    std::printf("Usage: %s [options..]\n", program_file);
    std::printf("\n");
    std::printf("Options\n");
    std::printf("  -h      : Display usage message\n");
    std::printf("  -v      : Vorbose mode\n");
    std::printf("  -l      : Display SECS Message List format\n");
    std::printf("  -x      : Display SECS Message Hexa format\n");
    std::printf("  -d      : Service mode (no prompt, stop by SIGINT/SIGTERM)\n");
    std::printf("\n");
    std::printf("  +i ini  : Specify .ini file         [%s]\n", secs_ini);
    std::printf("  +p sect : Specify PLC  section name [%s]\n", plc_section);
    std::printf("  +s sect : Specify SECS section name [%s]\n", secs_section);
    std::printf("\n");
    std::exit(2);
}

void ConvSignal(int)
{
    stop_flag = 1;
}

int32_t ConvProc()
{
    char plc_text[kTextSize] = "";
    char secs_text[kTextSize] = "";
    int32_t step = 0;
    int32_t result = 0;
    int32_t rc = QZVQProcOpen(option_flags | QZVQ_DISP_CONSOLE, &step, plc_ini, secs_ini, plc_section, secs_section,
                              status_words, ConvDisplay);
    if (rc < 0) {
        QZVQProcResult(0, status_words, plc_text, plc_text, kTextSize, rc, step);
        log_line(0, plc_text);
        result = step;
    } else {
        log_line(0, "");
        log_line(0, "Start Pellmar");
        log_line(0, "");
        QZVQProcResult(0, status_words, plc_text, secs_text, kTextSize, 0, 0);
        if (plc_text[0] != '\0')
            log_line(0, plc_text);
        if (secs_text[0] != '\0')
            log_line(QZVQ_LOG_SECS, secs_text);
        log_line(0, "");

        stop_flag = 0;
        if (service_mode)
            wait_for_stop_signal();  // returns with the flag set: no prompt
        while (stop_flag == 0) {
            std::printf("%s", kPrompt);
            std::fflush(stdout);
            int32_t request = read_request();
            if (request == 0 || request == -2)
                break;
            const QZVQContext* ctx = QZVQGetContext();
            if (request == 1) {
                std::printf("sval   :   %4d,%4d\n", XKSLoad(ctx->plcstat), XKSLoad(ctx->secsstat));
                std::printf("hval   :   %4d,%4d\n", XKSLoad(ctx->plcreq), XKSLoad(ctx->pcreq));
                std::printf("queue  :   %4d\n", QZVQQueueDepth());
            } else if (request == 2) {
                int32_t changed = QZVQProcStatus(0, status_words, plc_text, secs_text, kTextSize);
                std::printf("rtn    :   %4d\n", changed);
                std::printf("str0   : %s\n", plc_text);
                std::printf("str1   : %s\n", secs_text);
            }
        }
    }

    if (QZVQProcClose(QZVQ_CLOSE_CONSOLE, status_words) == 0) {
        log_line(0, "");
        log_line(0, "Stop Pellmar");
    }
    log_line(0, "");
    return result;
}

void ConvDisplay(int32_t flags, const char* line)
{
    if ((flags & kSecsSide) == 0)
        std::printf("%s", line);
    else if ((line[0] == '<' || line[0] == '>') && std::strlen(line) >= 14)
        std::printf("%-13.13s%30s%s", line, "", line + 13);
    else
        std::printf("%44s%s", "", line);
    // Lines of the worker threads must not wait for the next prompt when
    // the output goes to a file or a pipe.
    std::fflush(stdout);
}
