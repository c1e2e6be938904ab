// A door call's push through the whole process, with each object store: the door station rings
// door 1, the cloud hears the ring report (239 "0"), the press event naming the picture, and the
// 154 message whose picture the phone fetches and decrypts to the very JPEG the unit kept on its
// card. The unit is restarted after the cloud switches stores (it keeps a storage configuration
// for ten minutes). The motion push too: with the motion alarm on, a visitor walking into the
// door camera gives a 115 whose picture the phone decrypts to the JPEG the unit captured.
#include "door_cast.h"
#include "door_scene.h"
#include "phone_cli.h"
#include "process.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace {

std::vector<std::string> CardPictures(const TestSandbox& sb)
{
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(sb.Path("/mnt/sdcard/DCIM"), ec)) {
        if (e.is_regular_file() && e.path().extension() == ".jpg") {
            found.push_back(e.path().string());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The word after `key` in a line.
std::string After(const std::string& line, const std::string& key)
{
    const size_t at = line.find(key);
    if (at == std::string::npos) {
        return "";
    }
    const size_t from = at + key.size();
    return line.substr(from, line.find_first_of(" \"\n", from) - from);
}

class DoorbellPush : public DoorCastTest {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(DoorCastTest::SetUp());
        ASSERT_EQ(0u, mCloud->Command("stores").rfind("s3 ", 0)) << mCloud->Log();
    }
    void StartUnit(const std::vector<std::string>& args)
    {
        ASSERT_NO_FATAL_FAILURE(DoorCastTest::StartUnit(args));
        // The full-state report (239 "1") goes out before the call's ring report.
        ASSERT_TRUE(mCloud->WaitLog("\"240\":\"1\"", ++mStarts, 20s)) << mCloud->Log();
    }
    // One call from door 1 and what the cloud and the card keep of it.
    void CallAndCheck(const std::string& store)
    {
        SCOPED_TRACE(store);
        const size_t rings = static_cast<size_t>(mCloud->LogCount("{\"239\":\"0\"}"));
        const std::vector<std::string> before = CardPictures(mSb);
        const size_t notified = mCloud->Notifications().size();
        mStation->WriteLine("call 1");
        ASSERT_TRUE(mCloud->WaitLog("{\"239\":\"0\"}", static_cast<int>(rings) + 1, 20s)) << mCloud->Log();
        const std::string line = mCloud->NextNotification(notified, 30s);
        ASSERT_NE("", line) << mCloud->Log() << mUnit->Output();
        EXPECT_NE(std::string::npos, line.find(" dp 154 bucket noxa-detect file ")) << line;
        const std::string path = After(line, " file ");
        const std::string name = path.substr(path.rfind('/') + 1);
        EXPECT_EQ(16u, After(line, " key ").size()) << line;
        // The press event came first and names that picture.
        const std::string events = mCloud->Command("events");
        EXPECT_NE(std::string::npos, events.find("\"etype\":\"doorbell\"")) << events;
        EXPECT_NE(std::string::npos, events.find("\"file\":\"" + name + "\"")) << name << "\n" << events;
        // The picture kept on the card is the one the phone decrypts.
        std::vector<std::string> after;
        ASSERT_TRUE(Eventually([&] { return (after = CardPictures(mSb)).size() > before.size(); }, 10s));
        std::string kept;
        for (const auto& p : after) {
            if (std::find(before.begin(), before.end(), p) == before.end()) {
                kept = mSb.Read(p.substr(mSb.Root().size()));
            }
        }
        auto [rc, plain] = PhoneCli(mSb.Root(), "pic noxa-detect/" + path);
        ASSERT_EQ(0, rc) << plain;
        EXPECT_GT(plain.size(), 2000u);
        EXPECT_TRUE(plain == kept) << plain.size() << " bytes from the cloud, " << kept.size() << " on the card";
        EXPECT_EQ(0, plain.compare(0, 2, "\xFF\xD8")) << "a JPEG";
        mStation->WriteLine("takeoff");
    }

    int mStarts = 0;
};

}  // namespace

TEST_F(DoorbellPush, CallGivesRingEventAndAPictureThePhoneDecryptsWithEitherStore)
{
    mCloud->Command("storage s3");
    ASSERT_NO_FATAL_FAILURE(StartUnit({"-m", "2", "-t", mCloud->Pair()}));
    ASSERT_NO_FATAL_FAILURE(CallAndCheck("s3"));
    StopUnit();
    mCloud->Command("storage azure");
    ASSERT_NO_FATAL_FAILURE(StartUnit({}));
    ASSERT_NO_FATAL_FAILURE(CallAndCheck("azure"));
    EXPECT_NE(std::string::npos, mCloud->Log().find("s3 PUT noxa-detect.s3.cloudsim.test/")) << "the first went to S3";
}

TEST_F(DoorbellPush, AVisitorGivesAMotionPushWhosePictureThePhoneDecrypts)
{
    mSb.Write("/DeviceInfo/noxa.cfgs/noxa_alarm_on_off", "1\n");
    DoorScene scene;
    ASSERT_TRUE(MakeDoorScene(mSb, std::string(DOORPHONE_PHOTO_DIR) + "/astronaut.png", &scene)) << scene.log;
    ASSERT_EQ("", PutDoorCamera(mSb, scene.wall));
    ASSERT_NO_FATAL_FAILURE(StartUnit({"-m", "2", "-t", mCloud->Pair()}));

    ASSERT_EQ("", PutDoorCamera(mSb, scene.visitor));
    std::string line;
    ASSERT_TRUE(Eventually(
        [&] {
            for (const auto& l : mCloud->Notifications()) {
                if (l.find(" dp 115 ") != std::string::npos) {
                    line = l;
                }
            }
            return !line.empty();
        },
        60s))
        << mCloud->Command("notifications") << "\n" << mUnit->Output();
    EXPECT_NE(std::string::npos, line.find(" dp 115 bucket noxa-detect file ")) << line;
    const std::string path = After(line, " file ");
    EXPECT_EQ(16u, After(line, " key ").size()) << line;
    auto [rc, plain] = PhoneCli(mSb.Root(), "pic noxa-detect/" + path);
    ASSERT_EQ(0, rc) << plain;
    // The picture the unit captured for the push, a JPEG as FFmpeg reads it.
    EXPECT_TRUE(plain == mSb.Read("/dev/demo_snapshot.jpg")) << plain.size() << " bytes from the cloud";
    mSb.Write("/tmp/motion.jpg", plain);
    const std::string probe = ShellOutput("ffprobe -v error -show_entries stream=codec_name,width,height -of "
                                          "default=nw=1 '" + mSb.Path("/tmp/motion.jpg") + "'")
                                  .second;
    EXPECT_NE(std::string::npos, probe.find("codec_name=mjpeg")) << probe;
    EXPECT_EQ(0, plain.compare(0, 2, "\xFF\xD8")) << "a JPEG";
}
