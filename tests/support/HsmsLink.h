// A passive engine listening on a free loopback port with the scripted
// peer connected to it and the connect event taken; select() runs the
// peer's side of a select so that data can flow.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "tests/support/EngineRun.h"
#include "tests/support/HsmsPeer.h"

struct HsmsLink {
    int port = HsmsFreePort();
    EngineRun engine;
    HsmsPeer peer;

    // keys: INI lines after SECSMODE=0x1 and PORT (later lines win).
    explicit HsmsLink(const std::string& keys = "", XKSAcb* user = nullptr)
        : engine("SECSMODE=0x1\nPORT=" + std::to_string(port) + "\n" + keys)
    {
        engine.start(user);
        EXPECT_TRUE(peer.connect(port, 3000));
        EXPECT_TRUE(engine.event_req(XKS_EV_CONNECTED, 3000).has_value());
        EXPECT_TRUE(engine.wait_for([&] { return engine.xstat() == 1; }, 2000));
    }

    // The peer selects (single session, id 0xFFFF): the Select.rsp must
    // carry status 0 and the engine must report event 92 and SELECTED.
    bool select(uint32_t system = 0x10001)
    {
        if (!peer.send(HsmsFrame::control(HSMS_SELECT_REQ, system)))
            return false;
        auto rsp = peer.read(2000);
        auto ev = engine.event_req(XKS_EV_SELECTED, 2000);
        return rsp && rsp->stype == HSMS_SELECT_RSP && rsp->b3 == 0 && rsp->system == system && ev &&
               ev->rtn() == 0 && engine.wait_for([&] { return engine.xstat() == 3; }, 2000);
    }
};
