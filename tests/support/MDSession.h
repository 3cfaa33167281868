// A library session slot with settings loaded from a small INI file, and
// definition files written next to it, for the message-definition tests.
#pragma once
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "secs/XKSComm.h"
#include "secs/XKSLib.h"
#include "secs/XKSMDMssg.h"

class MDSession {
public:
    // ini: extra lines of the [XKS] section, such as "MDMXMSSG=1\n".
    explicit MDSession(const std::string& ini = "")
    {
        session_ = XKSAllocAcb(0, &acb_);
        EXPECT_GT(session_, 0);
        std::string path = write("xks.ini", "[XKS]\n" + ini);
        EXPECT_EQ(XKSLibReadConfig(acb_, path.c_str(), nullptr), 0);
    }
    ~MDSession()
    {
        for (int32_t h : handles_)
            XKSMDClose(h, 0);
        XKSFreeAcb(session_, 0);
    }
    MDSession(const MDSession&) = delete;
    MDSession& operator=(const MDSession&) = delete;

    int32_t session() const { return session_; }
    XKSAcb* acb() const { return acb_; }
    const TempDir& dir() const { return dir_; }

    // Write a file into the session's directory; returns its path.
    std::string write(const std::string& name, const std::string& text) const
    {
        std::string path = dir_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    // Write a definition file and open it; the handle (or the failure) is
    // returned and handles are closed with the session.
    int32_t open(const std::string& name, const std::string& text, int32_t mode = 0)
    {
        int32_t h = XKSMDOpen(mode, session_, write(name, text).c_str());
        if (h > 0)
            handles_.push_back(h);
        return h;
    }
    // The table of an open handle.
    static XKSMDTable* table(int32_t handle)
    {
        XKSMDTable* t = nullptr;
        XKSMDGetTable(handle, 0, &t);
        return t;
    }

private:
    TempDir dir_{"xksmd"};
    XKSAcb* acb_ = nullptr;
    int32_t session_ = 0;
    std::vector<int32_t> handles_;
};
