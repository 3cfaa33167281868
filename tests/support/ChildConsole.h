// A console program run by a test: a child process started in a directory
// with pipes for its standard input and output (standard error joins the
// output). Every wait is bounded; the destructor kills a child that is
// still running.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

class ChildConsole {
public:
    // Run program in dir; argv0 is what the child sees as its name.
    ChildConsole(const char* program, const std::string& dir, const std::string& argv0,
                 std::vector<std::string> args)
    {
        args.insert(args.begin(), argv0);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0)
            return;
        if (pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(out[1], 2);
            if (chdir(dir.c_str()) == 0)
                execv(program, argv.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~ChildConsole()
    {
        if (pid_ > 0 && exited_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close_input();
        if (out_ >= 0)
            ::close(out_);
    }
    ChildConsole(const ChildConsole&) = delete;
    ChildConsole& operator=(const ChildConsole&) = delete;

    bool started() const { return pid_ > 0 && in_ >= 0; }
    pid_t pid() const { return pid_; }
    void signal(int number) const { kill(pid_, number); }

    void type(const std::string& text) const
    {
        ASSERT_EQ(write(in_, text.data(), text.size()), ssize_t(text.size()));
    }
    void close_input()
    {
        if (in_ >= 0)
            ::close(in_);
        in_ = -1;
    }

    // Wait (within ms) until needle appears behind the previous match; the
    // next expect searches behind it.
    bool expect(const std::string& needle, int ms = 5000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            size_t at = text_.find(needle, mark_);
            if (at != std::string::npos) {
                mark_ = at + needle.size();
                return true;
            }
            if (std::chrono::steady_clock::now() >= end || !pump(20))
                return false;
        }
    }
    // needle anywhere in what was printed so far.
    bool printed(const std::string& needle) const { return text_.find(needle) != std::string::npos; }
    // Wait (within ms) until needle has been printed anywhere, for lines of
    // other threads that come in any order; expect still searches behind
    // its last match.
    bool printed_within(const std::string& needle, int ms = 5000)
    {
        for (int waited = 0; !printed(needle); waited += 20)
            if (waited >= ms || !pump(20))
                return false;
        return true;
    }
    // Read what the program prints within about ms, so that its output
    // pipe never fills while the test looks elsewhere.
    void drain(int ms)
    {
        for (int waited = 0; waited < ms && pump(std::min(20, ms - waited)); waited += 20) {
        }
    }
    // The output behind the last match.
    std::string rest() const { return text_.substr(mark_); }
    const std::string& text() const { return text_; }

    // The exit status once the process has ended within ms (128 + signal
    // for a signal), else -1. Reads the remaining output.
    int exit_status(int ms)
    {
        for (int i = 0; i < ms / 20 && exited_ < 0; ++i) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_)
                exited_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            else
                pump(20);
        }
        // What it printed last; bounded, as a program it started may still
        // hold the output open.
        for (int i = 0; exited_ >= 0 && !eof_ && i < 100; ++i)
            pump(10);
        return exited_;
    }
    bool running()
    {
        int st = 0;
        if (exited_ < 0 && waitpid(pid_, &st, WNOHANG) == pid_)
            exited_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return exited_ < 0;
    }

private:
    // Read what arrives within ms. False at the end of the output (after
    // sleeping ms, so that callers polling in steps stay bounded in time);
    // a time-out without output is true.
    bool pump(int ms)
    {
        if (eof_) {
            usleep(useconds_t(ms) * 1000);
            return false;
        }
        pollfd p{out_, POLLIN, 0};
        if (out_ < 0)
            return false;
        if (poll(&p, 1, ms) <= 0)
            return true;
        char buf[4096];
        ssize_t n = read(out_, buf, sizeof buf);
        eof_ = n <= 0;
        if (n <= 0)
            return false;
        text_.append(buf, size_t(n));
        return true;
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    int exited_ = -1;
    bool eof_ = false;
    std::string text_;
    size_t mark_ = 0;
};

// Connect to a server program that is still coming up: open() is retried
// for up to 2 s until it gives an id above 0.
template <class Open>
auto open_when_listening(Open open)
{
    decltype(open()) id = -1;
    for (int i = 0; i < 100 && id <= 0; ++i) {
        id = open();
        if (id <= 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return id;
}
