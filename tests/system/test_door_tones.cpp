// The unit's speaker in the whole process: an analogue doorbell from the door-station simulator
// starts the call with the ring tone, and the sandbox's speaker file holds the chime.
#include "aac_decode.h"
#include "process.h"
#include "sandbox.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

TEST(DoorTones, DoorbellRingsTheChimeOnTheSpeaker)
{
    TestSandbox sb;
    ChildProcess station({BinaryDir() + "/tools/doorstation", "--root", sb.Root()});
    ASSERT_TRUE(station.WaitForOutput("linked at " + sb.Root() + "/dev/ttyS2", 10s)) << station.Output();
    ChildProcess unit({BinaryDir() + "/src/Common/doorphone"}, {"DOORPHONE_ROOT=" + sb.Root()});
    ASSERT_TRUE(station.WaitForOutput("unit -> bus: announce kind 0 level 0", 20s)) << station.Output() << unit.Output();
    EXPECT_TRUE(SpeakerFile(sb).empty()) << "the speaker is quiet until the doorbell";

    station.WriteLine("doorbell 1");
    ASSERT_TRUE(unit.WaitForOutput("Door1 xxxxxxx Monitor", 10s)) << unit.Output();
    std::vector<int16_t> tone = DecodeAdts(sb.Read("/customer/res/Ringbell.aac")).pcm;
    ASSERT_GT(tone.size(), 16000u * 3);
    // The whole chime (less the frame that sets the decoder up) reaches the speaker file.
    auto end = std::chrono::steady_clock::now() + 20s;
    std::vector<int16_t> played;
    while (std::chrono::steady_clock::now() < end) {
        played = SpeakerFile(sb);
        if (played.size() + 1024 >= tone.size()) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_GE(played.size() + 1024, tone.size()) << unit.Output();
    size_t same = 0;
    for (size_t i = 2048; i < tone.size(); ++i) {
        same += std::abs(tone[i] - played[i - 1024]) <= 2;
    }
    EXPECT_GT(same, (tone.size() - 2048) * 99 / 100) << "the speaker played the ring tone";
    EXPECT_EQ(-1, unit.WaitExit(100ms)) << "the unit keeps running";
    unit.Kill(SIGTERM);
}
