// The decoder control on the simulated board: the PR2000 model on I2C bus 1, the media layer on
// the manual clock, the decoder's waits recorded instead of slept.
#pragma once

#include "Media/Pr2000.h"
#include "Media/Pr2000Tables.h"
#include "media_test_util.h"
#include "platform/decoder_sim.h"

#include <string>
#include <vector>

inline std::vector<uint32_t> gDecoderSleeps;

inline void RecordSleep(uint32_t ms)
{
    gDecoderSleeps.push_back(ms);
}

class DecoderTest : public MediaTest {
protected:
    void SetUp() override
    {
        MediaTest::SetUp();
        BoardI2cSetNack(1, kBoardDecoderAddress, false);  // a camera is connected here
        gDecoderSleeps.clear();
        gPr2000Sleep = RecordSleep;
    }

    // The chain built for the default 1920x1080 input, as after start-up.
    static void BuildChain()
    {
        ASSERT_EQ(MI_SUCCESS, MI_SYS_Init());
        gVideoDynamicsInfo.ResolutionCode = 4;  // the codes SysInit sets
        gVideoDynamicsInfo.RecordCode = 2;
        gVideoDynamicsInfo.FrameRateCode = 4;
        SetVideoDynamicsInfo(0);
        ASSERT_EQ(0, VideoInit());
    }

    // Writes of the unit to a register, in order, with the page the latch held at each.
    static std::vector<uint8_t> WritesTo(uint8_t page, uint8_t reg)
    {
        std::vector<uint8_t> values;
        for (const BoardDecoderWrite& w : BoardDecoderWrites()) {
            if (w.Page == page && w.Reg == reg) {
                values.push_back(w.Value);
            }
        }
        return values;
    }

    static int Restarts() { return MiSimCallCount("MI_VPE_CreateChannel") - 1; }
};
