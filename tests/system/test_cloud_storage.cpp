// Cloud recording through the whole process, with each object store: the cloud orders "alltime",
// a door call marks the viewing (the frame gate lets the main stream through), and the slices
// arrive in the store; the phone fetches the group, decrypts it, and ffprobe plays the video at
// 1280x720 while ffmpeg converts the audio. The unit is restarted after the cloud switches stores
// (it keeps a storage configuration for half an hour).
#include "door_cast.h"
#include "phone_cli.h"
#include "process.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <csignal>
#include <thread>

using namespace std::chrono_literals;

namespace {

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class CloudStorageRoad : public DoorCastTest {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(DoorCastTest::SetUp());
        ASSERT_EQ(0u, mCloud->Command("stores").rfind("s3 ", 0)) << mCloud->Log();
        mCloud->Command("cloud-storage mtu 3");
    }
    // The newest group of the list that holds at least `slices` slices, or "".
    std::string GroupWith(size_t slices)
    {
        std::string group;
        size_t count = 0;
        std::string best;
        for (const std::string& line : TextLines(mCloud->Command("cloud-storage list"))) {
            if (line.rfind("group ", 0) == 0) {
                group = line.substr(6, line.find(' ', 6) - 6);
                count = 0;
            } else if (Has(line, ".media") && ++count >= slices) {
                best = group;
            }
        }
        return best;
    }
    // A call from door 1 for a while; the group's slices fetched, decrypted and played.
    void CallAndCheck(const std::string& store)
    {
        SCOPED_TRACE(store);
        // Continuous recording as the cloud orders it (the configuration names it too, should the
        // order come before the unit listens).
        ASSERT_TRUE(Has(mCloud->Command("cloud-storage mode alltime"), "protocol 300")) << mCloud->Log();
        ASSERT_TRUE(mCloud->WaitLog(": upload start ", ++mStarts, 30s)) << mCloud->Log() << mUnit->Output();
        mStation->WriteLine("call 1");
        std::string group;
        ASSERT_TRUE(Eventually([&] { return !(group = GroupWith(3)).empty(); }, 60s))
            << mCloud->Command("cloud-storage list") << mCloud->Log();
        mStation->WriteLine("takeoff");
        const std::string dir = mSb.Root() + "/fetched-" + store;
        auto [rc, out] = PhoneCli(mSb.Root(), "cloud-storage fetch " + group + " --out " + dir);
        ASSERT_EQ(0, rc) << out;
        EXPECT_TRUE(Has(out, " key ")) << out;
        auto [prc, probe] = ShellOutput("ffprobe -v error -f h264 -count_frames -show_entries "
                                        "stream=width,height,nb_read_frames -of csv=p=0 '" + dir + "/video.h264'");
        ASSERT_EQ(0, prc) << probe;
        EXPECT_TRUE(Has(probe, "1280,720,")) << probe;
        EXPECT_GT(std::atoi(probe.substr(probe.rfind(',') + 1).c_str()), 50) << probe;
        auto [arc, conv] = ShellOutput("ffmpeg -v error -y -f s16le -ar 8000 -ac 1 -i '" + dir + "/audio.pcm' '" +
                                       dir + "/audio.wav' && ffprobe -v error -show_entries format=duration -of "
                                       "csv=p=0 '" + dir + "/audio.wav'");
        ASSERT_EQ(0, arc) << conv;
        EXPECT_GT(std::atof(conv.c_str()), 2.0) << conv;
        // The figures of the run, for the record.
        printf("%s: %s\nffprobe %saudio %s", store.c_str(), TextLines(out).back().c_str(), probe.c_str(),
               conv.c_str());
    }

    int mStarts = 0;
};

}  // namespace

TEST_F(CloudStorageRoad, ADoorCallRecordedInEitherStoreAndPlayedByThePhone)
{
    mCloud->Command("storage s3");
    ASSERT_NO_FATAL_FAILURE(StartUnit({"-m", "2", "-t", mCloud->Pair()}));
    ASSERT_NO_FATAL_FAILURE(CallAndCheck("s3"));
    EXPECT_TRUE(Has(mCloud->Log(), "s3 PUT noxa-media.s3.cloudsim.test/")) << "through the gate to s3rver";
    StopUnit();
    mCloud->Command("storage azure");
    ASSERT_NO_FATAL_FAILURE(StartUnit({}));
    ASSERT_NO_FATAL_FAILURE(CallAndCheck("azure"));
    const std::string skills = mCloud->Command("skills");
    EXPECT_TRUE(Has(skills, "cloudStorage 1")) << skills;
}

namespace {

// The names of a process's threads now, one a line.
std::string ThreadNames(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    std::string names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') {
                std::ifstream comm(dir + "/" + e->d_name + "/comm");
                std::string name;
                std::getline(comm, name);
                names += name + "\n";
            }
        }
        closedir(d);
    }
    return names;
}

// Threads besides the work queues' (a pool may grow by one on the way).
int Threads(pid_t pid)
{
    int n = 0;
    for (const std::string& name : TextLines(ThreadNames(pid))) {
        n += name.rfind("wk_th-", 0) != 0;
    }
    return n;
}

size_t Occurrences(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++n;
    }
    return n;
}

}  // namespace

// Each event the cloud triggers (protocol 307) runs on a short thread of its own, which ends with
// its work, a refused one included: 20 of them, and the unit's thread count is back where it was.
// (The unit logs errors only once online: the refusals show that the triggers arrived.)
TEST_F(CloudStorageRoad, CloudTriggeredEventsLeaveNoThreadBehind)
{
    ASSERT_NO_FATAL_FAILURE(StartUnit({"-m", "2", "-t", mCloud->Pair()}));
    ASSERT_TRUE(Has(mCloud->Command("cloud-storage mode alltime"), "protocol 300")) << mCloud->Log();
    ASSERT_TRUE(mCloud->WaitLog(": upload start ", 1, 30s)) << mCloud->Log() << mUnit->Output();
    const int baseline = Threads(mUnit->Pid());
    const std::string before = ThreadNames(mUnit->Pid());
    for (int i = 0; i < 20; ++i) {
        mCloud->Command(i % 2 == 0 ? "cloud-storage trigger dance 2" : "cloud-storage trigger record 9999");
    }
    auto arrived = [&] {
        const std::string out = mUnit->Output();
        return Occurrences(out, "unsupported action") + Occurrences(out, "duration too big");
    };
    ASSERT_TRUE(Eventually([&] { return arrived() >= 20; }, 30s)) << mUnit->Output() << mCloud->Log();
    EXPECT_TRUE(Eventually([&] { return Threads(mUnit->Pid()) <= baseline; }, 5s))
        << ThreadNames(mUnit->Pid()) << "before the triggers:\n" << before;
}

// The cloud refuses the start of the recording's group, asked again every 3 s: the unit's console
// says so once (it said it three times a try), then once more with the count and the length when
// the cloud takes the start and the group opens.
TEST_F(CloudStorageRoad, ARefusedGroupStartIsToldOnceOnTheConsole)
{
    ASSERT_NO_FATAL_FAILURE(StartUnit({"-m", "2", "-t", mCloud->Pair()}));
    const std::string api = "ipc.media.storage.notify.upload.start";
    mCloud->Command("fail " + api + " code SYSTEM_BUSY");
    ASSERT_TRUE(Has(mCloud->Command("cloud-storage mode alltime"), "protocol 300")) << mCloud->Log();
    ASSERT_TRUE(mCloud->WaitLog("(injected SYSTEM_BUSY, not run)", 5, 40s)) << mCloud->Log() << mUnit->Output();
    const std::string out = mUnit->Output();
    EXPECT_EQ(1u, Occurrences(out, "fail to notify cloud start, ret ")) << out;
    EXPECT_EQ(0u, Occurrences(out, "api refused")) << "a warning, below the unit's level";
    EXPECT_EQ(0u, Occurrences(out, "httpc_ipc_cloud_storage_event_notify fail")) << out;
    mCloud->Command("fail " + api + " ok");
    ASSERT_TRUE(mCloud->WaitLog(": upload start ", 1, 30s)) << mCloud->Log();
    EXPECT_TRUE(Eventually([&] { return Has(mUnit->Output(), " refused starts in "); }, 10s)) << mUnit->Output();
    EXPECT_EQ(0u, mCloud->Command("cloud-storage list").find("group ")) << mCloud->Command("cloud-storage list");
}
