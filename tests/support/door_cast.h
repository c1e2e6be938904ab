// The cast of a whole-process suite on one board: the local cloud (simulator, broker and object
// stores) and the door-station simulator on the bus, up for each test; the unit started and
// stopped by the test (SIGTERM at its end), so a test can restart it on the same board.
#pragma once

#include "cloud_peer.h"
#include "process.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

class DoorCastTest : public testing::Test {
protected:
    void SetUp() override
    {
        mCloud = std::make_unique<CloudPeer>(mSb.Root());
        mStation = std::make_unique<ChildProcess>(
            std::vector<std::string>{BinaryDir() + "/tools/doorstation", "--root", mSb.Root()});
        ASSERT_TRUE(mStation->WaitForOutput("linked at " + mSb.Root() + "/dev/ttyS2", std::chrono::seconds(10)))
            << mStation->Output();
    }
    void TearDown() override { StopUnit(SIGTERM); }

    // The unit on the board with `args`, online at the cloud.
    void StartUnit(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv{Doorphone()};
        argv.insert(argv.end(), args.begin(), args.end());
        mUnit = std::make_unique<ChildProcess>(argv, std::vector<std::string>{"DOORPHONE_ROOT=" + mSb.Root()});
        ASSERT_TRUE(mUnit->WaitForOutput("Dbg:mqtt is online", std::chrono::seconds(60)))
            << mUnit->Output() << mCloud->Log();
    }
    void StopUnit(int sig = SIGTERM)
    {
        if (mUnit) {
            mUnit->Kill(sig);
            mUnit->WaitExit(std::chrono::seconds(10));
            mUnit.reset();
        }
    }

    // The 74HC595's history (the board's outputs), older lines first.
    std::string Hc595History() { return mSb.Read("/.board/74HC595.log.old") + mSb.Read("/.board/74HC595.log"); }
    // A report as the cloud logs it ({"ID":VALUE}} ends a report).
    static std::string Rep(const std::string& id, const std::string& value) { return "{\"" + id + "\":" + value + "}}"; }

    TestSandbox mSb;
    std::unique_ptr<CloudPeer> mCloud;
    std::unique_ptr<ChildProcess> mStation;
    std::unique_ptr<ChildProcess> mUnit;
};
