// xksc: the SECS control engine as a program of its own, as a library
// session with engine mode 3 starts it.
//
//   xksc <ini> [section]
//
// Runs one engine on the INI file and section (default section "XKS")
// with no caller block and no queue blocks, so the engine opens its
// receive, send and send-result queues by their names; files or named
// shared memory (QUEMODE 0xC0) reach the session in the other process.
// The program ends when the session's close puts the terminate request;
// exit status 0, or 1 when the engine ended with a failure.
//
// SIGINT and SIGTERM end it the same way: a watcher thread takes the
// signal (blocked everywhere else, no handler) and puts the terminate
// request on the engine's send queue, again once a second in case the
// engine had not yet started to read it, so that the engine closes its
// link, traces and queues as after a close.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "runtime/XKQueue.h"
#include "runtime/XKWResult.h"
#include "secs/XKSAcb.h"
#include "secs/XKSCont.h"
#include "secs/XKSLib.h"

namespace {

constexpr int kStopTries = 10;  // terminate requests before giving up and exiting

std::atomic<bool> engine_done{false};

// Put request 127 on the send queue the engine of ini/section reads.
void put_terminate(const char* ini, const char* section)
{
    auto* cfg = static_cast<XKSAcb*>(std::calloc(1, sizeof(XKSAcb)));
    if (cfg == nullptr)
        return;
    char name[XKS_PATH_SIZE];
    if (XKSLibReadConfig(cfg, ini, section) == 0 && (cfg->cfg.quemode & 0xC0) != 0x80) {
        int32_t devid = cfg->cfg.ndev > 0 ? cfg->cfg.devid[0] : 0;
        if (XKSLibQueueName(1, (cfg->cfg.secsmode & 0x10) != 0 ? 1 : 0, devid, cfg->cfg.quedir, name,
                            sizeof name) == 0) {
            XKQueueBlock q{};
            if (XKQSendOpen(&q, int32_t(cfg->cfg.quemode & 0xF0), name, cfg->cfg.quesize, cfg->cfg.querec) == 0) {
                XKSRequest r{};
                r.req = XKS_REQ_TERMINATE;
                XKQSendPut(&q, int32_t(cfg->cfg.quemode & 0x01), &r, XKS_REQ_SIZE);
                XKQSendClose(&q);
            }
        }
    }
    XKSLibFreeConfig(cfg);
    std::free(cfg);
}

void watch_signals(const sigset_t* set, const char* ini, const char* section)
{
    const timespec slice{0, 200 * 1000 * 1000};
    while (!engine_done.load()) {
        if (sigtimedwait(set, nullptr, &slice) < 0)
            continue;
        for (int i = 0; i < kStopTries && !engine_done.load(); ++i) {
            put_terminate(ini, section);
            for (int j = 0; j < 5 && !engine_done.load(); ++j)
                nanosleep(&slice, nullptr);
        }
        if (!engine_done.load())
            std::_Exit(1);  // the engine does not listen: do not hang on
        return;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3 || argv[1][0] == '\0' || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: xksc <ini> [section]\n");
        return 1;
    }
    const char* ini = argv[1];
    const char* section = argc > 2 ? argv[2] : "";

    // Blocked before any thread exists, so every thread inherits the mask
    // and only the watcher takes the signals.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread watcher(watch_signals, &set, ini, section);

    auto* acb = static_cast<XKSAcb*>(std::calloc(1, sizeof(XKSAcb)));
    int32_t rc = acb == nullptr ? XKW_E_NOMEM
                                : ContMain(acb, 0, ini, section, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (rc < 0)
        std::fprintf(stderr, "xksc: the engine ended with %d\n", rc);
    engine_done.store(true);
    watcher.join();
    if (acb != nullptr) {
        XKSMDFree(&acb->md[1]);
        XKSMDFree(&acb->md[0]);
        XKSLibFreeConfig(acb);
        std::free(acb);
    }
    return rc < 0 ? 1 : 0;
}
