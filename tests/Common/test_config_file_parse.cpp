// The device files: INI reader and trims, room and push files, door names and the channel data
// point, and the DES records of the identity file.
#include "AppState.h"
#include "ConfigFileParse.h"
#include "DeviceState.h"
#include "DoorPhone.h"
#include "Peripheral.h"
#include "TimeTask.h"
#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"
#include "platform/board_sim.h"
#include "sandbox.h"
#include "talk_test_util.h"
#include "file_race_util.h"
#include "whole_file_util.h"

#include <cjson/cJSON.h>
#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string Bytes(const std::vector<uint8_t>& v)
{
    return std::string(v.begin(), v.end());
}

std::vector<uint8_t> Hex(const std::string& hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// A record as the identity file holds it: the text NUL-padded to 64 bytes, DES-CBC encrypted.
std::vector<uint8_t> Record(const std::string& text)
{
    std::vector<uint8_t> plain(kDeviceBinRecord, 0);
    std::memcpy(plain.data(), text.data(), std::min(text.size(), plain.size()));
    std::vector<uint8_t> enc(kDeviceBinRecord);
    EXPECT_EQ(1, DesCbcEncryptFile(plain.data(), enc.data(), enc.size()));
    return enc;
}

// Undoes the data point's string escape: "\x" -> "x".
std::string Unescape(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            ++i;
        }
        out += s[i];
    }
    return out;
}

class DeviceFiles : public testing::Test {
protected:
    void SetUp() override
    {
        BoardDevReset();
        ResetLink();
        TimeTaskInit();
        gDeviceState.SystemMainState = 0;
        gDeviceState.CodingAddress = 0;
        gCurrentDoor = 0;
        gAppState.FloorModel = 0;
        ASSERT_EQ(0, Hc595Init());
    }
    // A case that began a reset stopped the device files for the process.
    void TearDown() override { ResumeDeviceFileWritesForTest(); }

    static std::vector<std::array<uint8_t, 4>> Posted() { return TakePostedOrders(); }

    TestSandbox mSb;
};

}  // namespace

TEST_F(DeviceFiles, IniReaderFindsKeysOfItsSectionOnly)
{
    mSb.Write("/etc/test.ini",
              "# the unit's identity\n"
              "[Noxa]\n"
              "UUID =  noxa0test   \n"
              "   AUTHKEY\t=key one\r\n"
              "#HIDDEN=no\n"
              "\n"
              "UUIDX=longer name\n"
              "EMPTY=   \n"
              "NOEQUALS\n"
              "[Other]\n"
              "LATE=after the section\n"
              "UUID=other\n");
    struct {
        const char* section;
        const char* key;
        int rc;
        const char* value;
    } rows[] = {
        {"Noxa", "UUID", 0, "noxa0test"},         // blanks around the value and before '='
        {"Noxa", "AUTHKEY", 0, "key one"},        // indented line, tab, CR LF
        {"Noxa", "HIDDEN", -1, ""},               // a comment
        {"Noxa", "UUIDX", 0, "longer name"},      // not taken for UUID
        {"Noxa", "EMPTY", 0, "   "},              // trims to nothing: the scanned form stays
        {"Noxa", "NOEQUALS", -1, ""},
        {"Noxa", "LATE", -1, ""},                 // a key after its section ended
        {"Other", "UUID", 0, "other"},
        {"Other", "AUTHKEY", -1, ""},
        {"Missing", "UUID", -1, ""},
    };
    for (const auto& r : rows) {
        char value[64] = {};
        EXPECT_EQ(r.rc, GetProfileString("/etc/test.ini", r.section, r.key, value, sizeof(value)))
            << r.section << "/" << r.key;
        EXPECT_STREQ(r.value, value) << r.section << "/" << r.key;
    }

    // A value longer than the caller's buffer is cut to it, never past it.
    std::unique_ptr<char[]> small(new char[5]);
    EXPECT_EQ(0, GetProfileString("/etc/test.ini", "Noxa", "UUIDX", small.get(), 5));
    EXPECT_STREQ("long", small.get());

    char value[8] = {};
    EXPECT_EQ(-1, GetProfileString("/etc/none.ini", "Noxa", "UUID", value, sizeof(value)));
}

TEST_F(DeviceFiles, TrimsCopyWithoutBlanks)
{
    struct {
        const char* in;
        const char* l;
        const char* r;
        const char* a;
    } rows[] = {
        {"  a b \t\n", "a b \t\n", "  a b", "a b"},
        {"", "", "", ""},
        {" \t\r\n", "", "", ""},
        {"x", "x", "x", "x"},
    };
    for (const auto& row : rows) {
        std::vector<char> out(std::strlen(row.in) + 1, '#');
        EXPECT_STREQ(row.l, l_trim(out.data(), row.in));
        EXPECT_STREQ(row.r, r_trim(out.data(), row.in));
        EXPECT_STREQ(row.a, a_trim(out.data(), row.in));
        // The in-place trims give the same, in a buffer of the text's exact size.
        using InPlace = char* (*)(char*);
        const std::pair<InPlace, const char*> inPlace[] = {{TrimLeft, row.l}, {TrimRight, row.r}, {TrimBoth, row.a}};
        for (const auto& [trim, want] : inPlace) {
            std::vector<char> buf(row.in, row.in + std::strlen(row.in) + 1);
            EXPECT_EQ(buf.data(), trim(buf.data())) << row.in;
            EXPECT_STREQ(want, buf.data()) << row.in;
        }
    }
    EXPECT_EQ(nullptr, TrimBoth(nullptr));
    char same[8] = "  x";
    EXPECT_DEATH(a_trim(same, same), "szOutput != szInput");
    EXPECT_DEATH(l_trim(nullptr, "x"), "szOutput != \\(\\(void \\*\\)0\\)");
}

// Key=value files: what is a pair, what is skipped, and the rewrite of one value.
TEST_F(DeviceFiles, KeyValueFilesReadAndRewriteOneValue)
{
    const std::string edge = "edge=" + std::string(1017, 'y');   // 1022 characters: the longest line
    const std::string split = std::string(1020, 'a') + "b=tail";  // read in pieces it would name "b"
    const std::string text = "# c\nname = front door \n\n  #hidden=1\nnoequals\nurl=http://x/?a=b\n=nokey\nover=" +
                             std::string(1018, 'z') + "\n" + split + "\n" + edge + "\r\ndup=1\ndup=2\nlast=end";
    const char* kFile = "/DeviceInfo/test.conf";
    mSb.Write(kFile, text);
    const struct {
        const char* key;
        std::string value;  // "-" for -1
    } reads[] = {
        {"name", "front door"}, {"#hidden", "-"}, {"hidden", "-"}, {"noequals", "-"}, {"url", "http://x/?a=b"},
        {"", "-"}, {"over", "-"}, {"b", "-"}, {"edge", std::string(1017, 'y')}, {"dup", "1"}, {"last", "end"},
        {"absent", "-"},
    };
    for (const auto& r : reads) {
        std::vector<char> value(1100, '\0');
        EXPECT_EQ(r.value == "-" ? -1 : 0, ReadConfigValue(kFile, r.key, value.data(), value.size())) << r.key;
        EXPECT_EQ(r.value == "-" ? "" : r.value, std::string(value.data())) << r.key;
    }
    std::vector<CONFIG_PAIR_S> pairs;
    EXPECT_EQ(6, ReadConfigPairs(kFile, &pairs));
    char small[4];
    EXPECT_EQ(0, ReadConfigValue(kFile, "name", small, sizeof(small)));
    EXPECT_STREQ("fro", small) << "cut to the caller's buffer";

    const std::string head = "name=front door\nurl=";
    const std::string rest = "\n" + edge + "\ndup=1\ndup=2\nlast=end\n";
    const struct {
        const char* key;
        std::string value;
        std::string file;  // after the call; "" for -1 and the file untouched
    } writes[] = {
        {"url", "a=b=c", head + "a=b=c" + rest},
        {"dup", "3", head + "http://x/?a=b\n" + edge + "\ndup=3\ndup=2\nlast=end\n"},
        {"absent", "1", ""},
        {"noequals", "1", ""},
        {"url", "x\nname=hijack", ""},        // would add a pair
        {"url", std::string(1019, 'v'), ""},  // "url=" and 1019: too long to be read back
        {"url", std::string(1018, 'v'), head + std::string(1018, 'v') + rest},
        {"url", " x ", ""},  // read back as "x"
        {"url", "x\t", ""},
        {"url", "\vx", ""},
    };
    for (const auto& w : writes) {
        mSb.Write(kFile, text);
        EXPECT_EQ(w.file.empty() ? -1 : 0, WriteConfigValue(kFile, w.key, w.value.c_str())) << w.key;
        EXPECT_EQ(w.file.empty() ? text : w.file, mSb.Read(kFile)) << w.key;
    }
    // A file of more pairs than the reader keeps is refused whole, and not rewritten.
    std::string many;
    for (size_t i = 0; i <= kConfigPairMax; ++i) {
        many += "k" + std::to_string(i) + "=v\n";
    }
    mSb.Write(kFile, many);
    EXPECT_EQ(-1, WriteConfigValue(kFile, "k0", "w"));
    EXPECT_EQ(many, mSb.Read(kFile));

    // A rewrite that would make the file larger than a reader takes is refused: the next read
    // would lose every key.
    std::string full = "s=x\n";
    for (int i = 0; full.size() + 1000 <= kDeviceFileReadMax; ++i) {
        full += "p" + std::to_string(i) + "=" + std::string(990, 'f') + "\n";
    }
    mSb.Write(kFile, full);
    ASSERT_EQ(0, WriteConfigValue(kFile, "s", "y")) << "a file just under the bound is read";
    full[2] = 'y';
    ASSERT_EQ(full, mSb.Read(kFile));
    EXPECT_EQ(-1, WriteConfigValue(kFile, "s", std::string(1000, 'y').c_str()));
    EXPECT_EQ(full, mSb.Read(kFile));
}

// The rewrite keeps the mode the file had: a file readable by the unit alone stays so.
TEST_F(DeviceFiles, RewriteKeepsTheModeTheFileHad)
{
    const mode_t mask = umask(0);
    umask(mask);
    const char* kFile = "/DeviceInfo/secret.conf";
    for (const mode_t mode : {0600, 0640, 0644}) {
        mSb.Write(kFile, "psk=old\nssid=x\n");
        ASSERT_EQ(0, chmod(mSb.Path(kFile).c_str(), mode));
        ASSERT_EQ(0, WriteConfigValue(kFile, "psk", "new"));
        EXPECT_EQ("psk=new\nssid=x\n", mSb.Read(kFile));
        struct stat st = {};
        ASSERT_EQ(0, stat(mSb.Path(kFile).c_str(), &st));
        EXPECT_EQ(mode & ~mask, st.st_mode & 0777) << std::oct << mode;
    }
}

// Something other than a regular file at a device file's path: a FIFO would hold a reader for
// ever, a link to /dev/zero would feed it without end. Every reader refuses it at once (one that
// hangs is ended by the alarm), and a file larger than any the unit writes is refused too.
TEST_F(DeviceFiles, ReadersTakeOnlyARegularFileWithinTheBound)
{
    const char* kIni = "/etc/test.ini";
    const char* kKv = "/DeviceInfo/test.conf";
    const struct {
        const char* name;
        const char* path;
        std::function<int()> read;  // -1 for a file refused
    } readers[] = {
        {"GetProfileString", kIni,
         [=] {
             char v[32];
             return GetProfileString(kIni, "Noxa", "UUID", v, sizeof(v));
         }},
        {"ReadRoomAddress", kRoomInfoFile,
         [] {
             uint32_t v = 0;
             return ReadRoomAddress(&v);
         }},
        {"RoomFileExist", kRoomInfoFile, [] { return RoomFileExist(); }},
        {"ReadConfigPairs", kKv,
         [=] {
             std::vector<CONFIG_PAIR_S> pairs;
             return ReadConfigPairs(kKv, &pairs);
         }},
        {"WriteConfigValue", kKv, [=] { return WriteConfigValue(kKv, "a", "1"); }},
        {"ReadDeviceBinIdentity", kDeviceBinFile,
         [] {
             char uuid[kUuidMaxLen + 1];
             char key[kAuthKeyMaxLen + 1];
             return ReadDeviceBinIdentity(uuid, key);
         }},
    };
    for (const auto& r : readers) {
        const std::string host = mSb.Path(r.path);
        for (const char* kind : {"fifo", "/dev/zero"}) {
            std::filesystem::remove(host);
            if (std::string(kind) == "fifo") {
                ASSERT_EQ(0, mkfifo(host.c_str(), 0644));
            } else {
                std::filesystem::create_symlink("/dev/zero", host);
            }
            EXPECT_EXIT(
                {
                    alarm(5);
                    std::exit(r.read() == -1 ? 0 : 1);
                },
                testing::ExitedWithCode(0), "")
                << r.name << " on a " << kind;
        }
        std::filesystem::remove(host);
    }

    // The bound itself: a file of kDeviceFileReadMax bytes is read whole, one byte more is refused.
    const std::string tail = "[Noxa]\nUUID=far\n";
    std::string ini;
    while (ini.size() + tail.size() + 80 <= kDeviceFileReadMax) {
        ini += "# " + std::string(77, 'c') + "\n";
    }
    ini += std::string(kDeviceFileReadMax - ini.size() - tail.size() - 1, '#') + "\n" + tail;
    ASSERT_EQ(kDeviceFileReadMax, ini.size());
    char v[32] = {};
    mSb.Write(kIni, ini);
    EXPECT_EQ(0, GetProfileString(kIni, "Noxa", "UUID", v, sizeof(v)));
    EXPECT_STREQ("far", v);
    mSb.Write(kIni, "#" + ini);
    EXPECT_EQ(-1, GetProfileString(kIni, "Noxa", "UUID", v, sizeof(v)));
    std::vector<CONFIG_PAIR_S> pairs;
    mSb.Write(kKv, std::string(kDeviceFileReadMax, '#') + "\na=1\n");
    EXPECT_EQ(-1, ReadConfigPairs(kKv, &pairs));
}

// Two whole-file writes of one file at once: each answers 0 and leaves its whole bytes, and a
// reader beside them only ever sees one whole content.
TEST_F(DeviceFiles, TwoWritesOfOneFileLeaveOneWritersWholeBytes)
{
    const FILE_RACE_COUNTS_S c = RaceWholeFileWrites(mSb, 100);
    EXPECT_EQ(100u, c.rounds);
    EXPECT_EQ(0u, c.answeredButLost) << "rounds whose answered bytes were not in place";
    EXPECT_EQ(0u, c.bothFailed);
    EXPECT_EQ(0u, c.brokenReads) << "reads of an empty or mixed file";
}

// Two rewrites of one key=value file, each of its own key: both answer 0 and both values stay.
TEST_F(DeviceFiles, TwoRewritesOfOneFileKeepBothValues)
{
    const FILE_RACE_COUNTS_S c = RaceConfigRewrites(mSb, 100);
    EXPECT_EQ(100u, c.rounds);
    EXPECT_EQ(0u, c.answeredButLost) << "rounds that lost a value answered 0, or changed one refused";
    EXPECT_EQ(0u, c.bothFailed);
    EXPECT_EQ(0u, c.oneFailed);
}

// A device file takes its mode from its first byte, whatever the file before had and whatever
// aside file a power cut left: the Wi-Fi pass phrase is never readable by others.
TEST_F(DeviceFiles, WrittenFilesTakeTheirMode)
{
    const mode_t mask = umask(0);
    umask(mask);
    const std::string kFile = "/DeviceInfo/secret.conf";
    const struct {
        mode_t before, mode;
    } rows[] = {{0644, kSecretFileMode}, {0600, kDeviceFileMode}};
    for (const auto& r : rows) {
        for (const std::string& f : {kFile, kFile + ".tmp"}) {
            mSb.Write(f, "old");
            ASSERT_EQ(0, chmod(mSb.Path(f).c_str(), r.before));
        }
        ASSERT_EQ(0, WriteDeviceFile(kFile.c_str(), "new", 3, r.mode));
        struct stat st = {};
        ASSERT_EQ(0, stat(mSb.Path(kFile).c_str(), &st));
        EXPECT_EQ(r.mode & ~mask, st.st_mode & 0777) << std::oct << r.mode;
        EXPECT_EQ("new", mSb.Read(kFile));
    }
    ASSERT_EQ(0, SaveRoomAddress(1));
    struct stat st = {};
    ASSERT_EQ(0, stat(mSb.Path(kRoomInfoFile).c_str(), &st));
    EXPECT_EQ(0644 & ~mask, st.st_mode & 0777) << "the other device files stay readable";
}

TEST_F(DeviceFiles, RoomAndPushFiles)
{
    uint32_t v = 7;
    EXPECT_EQ(-1, RoomFileExist());
    EXPECT_EQ(-1, ReadRoomAddress(&v));
    EXPECT_EQ(7u, v) << "no file leaves the value alone";

    ASSERT_EQ(0, SaveRoomAddress(10000001));
    EXPECT_EQ("10000001", mSb.Read(kRoomInfoFile)) << "decimal, no newline";
    EXPECT_EQ(0, RoomFileExist());
    EXPECT_EQ(0, ReadRoomAddress(&v));
    EXPECT_EQ(10000001u, v);
    mSb.Write(kRoomInfoFile, "room");
    EXPECT_EQ(0, ReadRoomAddress(&v));
    EXPECT_EQ(0u, v) << "text that is no number";

    EXPECT_EQ(-1, ReadPushDelay(&v));
    EXPECT_EQ(100u, v);
    EXPECT_EQ("100", mSb.Read(kPushInfoFile)) << "a missing push file is made with 100";
    ASSERT_EQ(0, SavePushDelay(6000));
    EXPECT_EQ("6000", mSb.Read(kPushInfoFile));
    EXPECT_EQ(0, ReadPushDelay(&v));
    EXPECT_EQ(6000u, v);

    std::filesystem::remove_all(mSb.Path("/DeviceInfo"));
    EXPECT_EQ(-1, SaveRoomAddress(1)) << "a file that cannot be made";
    EXPECT_EQ(-1, SavePushDelay(1));
}

// The room, push and channel files are written whole, like the settings: a write that returned
// outlives a power cut, and a cut at any step of a write leaves the old content or the new.
TEST_F(DeviceFiles, PowerCutLeavesTheOldFileOrTheNew)
{
    const char* renameOld = R"({"cmd":2,"chs":[{"n":"Door 1"},{"n":"Door 2"}]})";
    const char* renameNew = R"({"cmd":2,"chs":[{"n":"Gate"},{"n":"Back"}]})";
    const auto file = [this](const char* path) { return [this, path] { return mSb.Read(path); }; };
    const WHOLE_FILE_CASE_S files[] = {
        {kRoomInfoFile, [](bool n) { SaveRoomAddress(n ? 20000002 : 10000001); }, file(kRoomInfoFile), "10000001",
         "20000002"},
        {kPushInfoFile, [](bool n) { SavePushDelay(n ? 6000 : 100); }, file(kPushInfoFile), "100", "6000"},
        {kChannelFile, [&](bool n) { ChannelCommand(n ? renameNew : renameOld); }, file(kChannelFile),
         "Door 1\nDoor 2\n", "Gate\nBack\n"},
        {"/DeviceInfo/kv.conf", [](bool n) { WriteConfigValue("/DeviceInfo/kv.conf", "a", n ? "2" : "1"); },
         file("/DeviceInfo/kv.conf"), "a=1\nb=x\n", "a=2\nb=x\n"},
    };
    mSb.Write("/DeviceInfo/kv.conf", "a=0\nb=x\n");
    ExpectOldOrNewAfterEveryCut(files, std::size(files));
}

// Once a factory reset has begun no device file is written: the reset removes them, and a writer
// late by a moment (the online start's default door names, a room address) would bring one back.
TEST_F(DeviceFiles, NoDeviceFileIsWrittenOnceAResetBegan)
{
    ASSERT_EQ(0, SaveRoomAddress(10000001));
    StopDeviceFileWrites();
    std::filesystem::remove(mSb.Path(kRoomInfoFile));
    EXPECT_EQ(-1, SaveRoomAddress(20000002));
    EXPECT_EQ(-1, SavePushDelay(6000));
    EXPECT_EQ(-1, LoadChannelNames());
    EXPECT_EQ("Door 1", GetChannelName(0)) << "the names in use all the same";
    for (const char* f : {kRoomInfoFile, kPushInfoFile, kChannelFile}) {
        EXPECT_FALSE(mSb.Exists(f)) << f;
    }
    mSb.Write("/DeviceInfo/kv.conf", "a=1\n");
    EXPECT_EQ(-1, WriteConfigValue("/DeviceInfo/kv.conf", "a", "2"));
    EXPECT_EQ("a=1\n", mSb.Read("/DeviceInfo/kv.conf"));
    EXPECT_EQ(-1, MakeDeviceDir("/DeviceInfo/new"));
    EXPECT_FALSE(mSb.Exists("/DeviceInfo/new"));
}

TEST_F(DeviceFiles, ChannelNamesComeBackWhole)
{
    // No file: the defaults, written for next time.
    ASSERT_EQ(0, LoadChannelNames());
    EXPECT_EQ("Door 1", GetChannelName(0));
    EXPECT_EQ("Door 2", GetChannelName(1));
    EXPECT_EQ("Door 1\nDoor 2\n", mSb.Read(kChannelFile));
    EXPECT_EQ("", GetChannelName(2));

    const std::string full30 = "Garden gate at the back 30 ch.";
    ASSERT_EQ(30u, full30.size());
    struct {
        const char* file;
        std::string name1, name2;
    } rows[] = {
        {"Front\nBack\n", "Front", "Back"},
        {"Front door of the house\r\nBack\r\n", "Front door of the house", "Back"},
        {"Front\nBack", "Front", "Back"},  // the last line without its newline
        {"Front\n", "Front", "Door 2"},    // a file cut short
        {"A name that is much longer than thirty\nB\n", "A name that is much longer tha", "B"},
    };
    for (const auto& r : rows) {
        mSb.Write(kChannelFile, r.file);
        ASSERT_EQ(0, LoadChannelNames());
        EXPECT_EQ(r.name1, GetChannelName(0)) << r.file;
        EXPECT_EQ(r.name2, GetChannelName(1)) << r.file;
    }
    // A renamed second door of the full length survives a restart.
    mSb.Write(kChannelFile, "Front\n" + full30 + "\n");
    ASSERT_EQ(0, LoadChannelNames());
    EXPECT_EQ(full30, GetChannelName(1));
}

TEST_F(DeviceFiles, ChannelListIsJsonEscapedOnce)
{
    ASSERT_EQ(0, LoadChannelNames());
    EXPECT_EQ(R"({\"res\":1,\"err\":0,\"cc\":1,\"chs\":[{\"id\":1,\"n\":\"Door 1\"},{\"id\":2,\"n\":\"Door 2\"}]})",
              ChannelsReportText(1));

    // Names with a quote and a backslash still give one well-formed object.
    QueueGuard q;
    ASSERT_EQ(0, ChannelCommand(R"({"cmd":2,"chs":[{"id":1,"n":"Say \"hi\""},{"id":2,"n":"C:\\back"}]})"));
    std::string text = Unescape(ChannelsReportText(0));
    std::unique_ptr<cJSON, void (*)(cJSON*)> root(cJSON_Parse(text.c_str()), cJSON_Delete);
    ASSERT_NE(nullptr, root) << text;
    cJSON* chs = cJSON_GetObjectItem(root.get(), "chs");
    EXPECT_STREQ("Say \"hi\"", cJSON_GetObjectItem(cJSON_GetArrayItem(chs, 0), "n")->valuestring);
    EXPECT_STREQ("C:\\back", cJSON_GetObjectItem(cJSON_GetArrayItem(chs, 1), "n")->valuestring);
    EXPECT_EQ(0, cJSON_GetObjectItem(root.get(), "cc")->valueint);
}

TEST_F(DeviceFiles, ChangeChannelSelectsTheDoorAndItsVideo)
{
    QueueGuard q;
    ASSERT_EQ(0, LoadChannelNames());
    LockOutput(0, 1);  // door 0 was just opened
    gAppState.UnlockedDoor = 0;
    gDeviceState.UnlockHoldTimer = 300;
    // Viewers hold door 0's frames in the ring buffer.
    const uint8_t frame[64] = {0, 0, 0, 1, 0x65};
    for (int channel : {0, 1}) {
        ASSERT_EQ(0, noxa_ipc_ring_buffer_init(channel, 512, 25, 0, nullptr));
        ASSERT_EQ(0, noxa_ipc_ring_buffer_append_data(channel, frame, sizeof(frame), MEDIA_FRAME_TYPE_I, 1));
        ASSERT_NE(nullptr, noxa_ipc_ring_buffer_find_pre_video_by_frame(channel, 0));
    }

    ASSERT_EQ(0, ChannelCommand(R"({"cmd":1,"cc":2})"));
    for (int channel : {0, 1}) {
        EXPECT_EQ(nullptr, noxa_ipc_ring_buffer_find_pre_video_by_frame(channel, 0))
            << "channel " << channel << " still hands out the other door's frames";
    }
    EXPECT_EQ(1, gCurrentDoor);
    EXPECT_EQ(0x0202, gDeviceState.SystemMainState);
    EXPECT_EQ(kViewingTicks, gDeviceState.ViewingTimer);
    EXPECT_EQ(kMonitorTimeoutTicks, gDeviceState.CallTimeoutTimer);
    EXPECT_EQ(kHc595Monitor1, Hc595Image()) << "door 1's path, its video, and the lock closed";
    EXPECT_EQ(kCountdownStopped, gDeviceState.UnlockHoldTimer);
    EXPECT_EQ((std::vector<std::array<uint8_t, 4>>{{6, 1, 0, 0}}), Posted());

    ASSERT_EQ(0, ChannelCommand(R"({"cmd":1,"cc":1})"));
    EXPECT_EQ(0, gCurrentDoor);
    EXPECT_EQ(0x0201, gDeviceState.SystemMainState);
    EXPECT_EQ(kHc595Monitor0 | kHc595VideoDoor0, Hc595Image());
    EXPECT_EQ((std::vector<std::array<uint8_t, 4>>{{6, 0, 0, 0}}), Posted());
}

TEST_F(DeviceFiles, BadChannelCommandsChangeNothing)
{
    QueueGuard q;
    ASSERT_EQ(0, LoadChannelNames());
    gDeviceState.SystemMainState = 0x0101;
    const uint8_t image = Hc595Image();
    const char* bad[] = {
        R"({"cmd":1,"cc":0})",
        R"({"cmd":1,"cc":3})",
        R"({"cmd":1,"cc":-1})",
        R"({"cmd":1,"cc":"2"})",
        R"({"cmd":1,"cc":1.5})",
        R"({"cmd":1})",
        R"({"cmd":3,"cc":1})",
        R"({"cc":1})",
        R"({"cmd":2,"chs":[{"n":"only one"}]})",
        R"({"cmd":2,"chs":[{"n":"a"},{"id":2}]})",
        R"({"cmd":2,"chs":"x"})",
        R"({"cmd":1,"cc":2)",
        "",
        nullptr,
    };
    for (const char* text : bad) {
        EXPECT_EQ(-1, ChannelCommand(text)) << (text ? text : "(null)");
        EXPECT_EQ(0, gCurrentDoor);
        EXPECT_EQ(0x0101, gDeviceState.SystemMainState);
        EXPECT_EQ(image, Hc595Image());
        EXPECT_EQ("Door 1", GetChannelName(0));
        EXPECT_EQ("Door 2", GetChannelName(1));
    }
    EXPECT_TRUE(Posted().empty());
    EXPECT_EQ("Door 1\nDoor 2\n", mSb.Read(kChannelFile));
}

TEST_F(DeviceFiles, RenameKeepsOneLinePerNameAndThirtyCharacters)
{
    QueueGuard q;
    gCurrentDoor = 1;
    ASSERT_EQ(0, LoadChannelNames());
    ASSERT_EQ(0, ChannelCommand(R"({"cmd":2,"chs":[{"id":1,"n":"Front\ngate"},)"
                                R"({"id":2,"n":"A name that is much longer than thirty"}]})"));
    EXPECT_EQ("Front gate", GetChannelName(0));
    EXPECT_EQ("A name that is much longer tha", GetChannelName(1));
    EXPECT_EQ("Front gate\nA name that is much longer tha\n", mSb.Read(kChannelFile));
    EXPECT_EQ(1, gCurrentDoor) << "a rename does not switch the door";

    // A cut never splits a character: 29 ASCII characters and a two-byte one.
    std::string name = std::string(29, 'x') + "\xc3\xa9";
    ASSERT_EQ(0, ChannelCommand((R"({"cmd":2,"chs":[{"n":")" + name + R"("},{"n":"b"}]})").c_str()));
    EXPECT_EQ(std::string(29, 'x'), GetChannelName(0));

    ASSERT_EQ(0, LoadChannelNames());
    EXPECT_EQ(std::string(29, 'x'), GetChannelName(0)) << "the file gives back what was stored";
}

// A door name that is no UTF-8, from the file or a rename, never reaches the channel list's JSON:
// the door's default name stands in for it, with an error line.
TEST_F(DeviceFiles, DoorNamesThatAreNoUtf8TakeTheDefault)
{
    QueueGuard q;
    const struct {
        std::string name;
        bool valid;
    } rows[] = {
        {"T\xc3\xbcr", true},                // "Tür"
        {"\xe2\x82\xac 5", true},            // a three-byte character
        {"\xf0\x9f\x94\x94 bell", true},     // a four-byte one
        {"\xff\xfe", false},                  // no UTF-8 at all
        {"ab\xc3", false},                    // a character cut short
        {"\xc0\xaf", false},                  // an overlong form
        {"\xed\xa0\x80", false},              // a surrogate
        {"\xf4\x90\x80\x80", false},          // above U+10FFFF
        {"a\x80" "b", false},                // a continuation byte alone
    };
    for (const auto& r : rows) {
        mSb.Write(kChannelFile, r.name + "\nBack\n");
        testing::internal::CaptureStdout();
        ASSERT_EQ(0, LoadChannelNames());
        const std::string loaded = GetChannelName(0);
        ASSERT_EQ(0, ChannelCommand(("{\"cmd\":2,\"chs\":[{\"n\":\"x\"},{\"n\":\"" + r.name + "\"}]}").c_str()));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.valid ? r.name : "Door 1", loaded);
        EXPECT_EQ(r.valid ? r.name : "Door 2", GetChannelName(1));
        EXPECT_EQ(r.valid ? 0 : 2, static_cast<int>(out.find("name is no UTF-8") != std::string::npos) +
                                       static_cast<int>(out.find("door 2 name is no UTF-8") != std::string::npos))
            << out;
        // What the phone gets parses as JSON with the names as they stand.
        const std::string text = Unescape(ChannelsReportText(0));
        std::unique_ptr<cJSON, void (*)(cJSON*)> root(cJSON_Parse(text.c_str()), cJSON_Delete);
        ASSERT_NE(nullptr, root) << text;
        EXPECT_EQ(GetChannelName(1),
                  cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(root.get(), "chs"), 1), "n")->valuestring);
    }
}

TEST_F(DeviceFiles, DesRecordsAgreeWithTheKnownAnswer)
{
    // The first record of an identity file, made with the openssl tool (des-cbc, the unit's key
    // and IV, no padding) from "noxa0test0unit0000000002" padded with NULs.
    const std::vector<uint8_t> known = Hex(
        "37a9c1d4c6ffc1737d3c85b856c589a3b490d55d562616658d3c2088a1739922"
        "f0ea125d3b220768010da178e21d3cd88405e00b4934d6680f08cf6e7b3ce9ef");
    EXPECT_EQ(Bytes(known), Bytes(Record("noxa0test0unit0000000002")));
    std::vector<uint8_t> plain(known.size());
    ASSERT_EQ(1, DesCbcDecryptFile(known.data(), plain.data(), plain.size()));
    EXPECT_STREQ("noxa0test0unit0000000002", reinterpret_cast<const char*>(plain.data()));

    EXPECT_EQ(0, DesCbcDecryptFile(known.data(), plain.data(), 63)) << "not whole blocks";
    EXPECT_EQ(0, DesCbcDecryptFile(nullptr, plain.data(), 8));
}

TEST_F(DeviceFiles, IdentityFromDeviceBin)
{
    char uuid[kUuidMaxLen + 1];
    char key[kAuthKeyMaxLen + 1];
    EXPECT_EQ(-1, ReadDeviceBinIdentity(uuid, key)) << "no file";

    auto write = [this](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t cut = 0) {
        std::string bytes = Bytes(a) + Bytes(b);
        mSb.Write(kDeviceBinFile, bytes.substr(0, bytes.size() - cut));
    };
    const std::string authKey = "T3stAuthKey0fTheSimulatedUnit002";  // 32 characters
    write(Record("noxa0test0unit0000000002"), Record(authKey));
    ASSERT_EQ(0, ReadDeviceBinIdentity(uuid, key));
    EXPECT_STREQ("noxa0test0unit0000000002", uuid);
    EXPECT_EQ(authKey, key);

    // Texts of the longest the fields hold are taken whole.
    write(Record(std::string(kUuidMaxLen, 'u')), Record(std::string(kAuthKeyMaxLen, 'k')));
    ASSERT_EQ(0, ReadDeviceBinIdentity(uuid, key));
    EXPECT_EQ(std::string(kUuidMaxLen, 'u'), uuid);
    EXPECT_EQ(std::string(kAuthKeyMaxLen, 'k'), key);

    std::strcpy(uuid, "kept");
    std::strcpy(key, "kept");
    struct {
        const char* why;
        std::vector<uint8_t> a, b;
        size_t cut;
    } rows[] = {
        {"short file", Record("noxa0test0unit0000000002"), Record(authKey), 1},
        {"only one record", Record("noxa0test0unit0000000002"), {}, 0},
        {"empty auth key", Record("noxa0test0unit0000000002"), Record(""), 0},
        {"unprintable uuid", Record("noxa\x01test"), Record(authKey), 0},
        {"wrong key (bytes that are no text)", std::vector<uint8_t>(64, 0x5A), Record(authKey), 0},
        // A text the cloud could not take is never used: cut to its field it would be another
        // unit's UUID.
        {"uuid longer than its field", Record(std::string(64, 'u')), Record(authKey), 0},
        {"auth key longer than its field", Record("noxa0test0unit0000000002"), Record(std::string(33, 'k')), 0},
        {"short auth key", Record("noxa0test0unit0000000002"), Record("T3stAuthKey0fTh"), 0},
        {"short uuid", Record("noxa0test0unit0"), Record(authKey), 0},
        {"uuid of other characters", Record("noxa-test-unit-000000002"), Record(authKey), 0},
    };
    for (const auto& r : rows) {
        write(r.a, r.b, r.cut);
        EXPECT_EQ(-1, ReadDeviceBinIdentity(uuid, key)) << r.why;
        EXPECT_STREQ("kept", uuid) << r.why;
        EXPECT_STREQ("kept", key) << r.why;
    }
}

TEST_F(DeviceFiles, AesCbcRoundTripAndRefusals)
{
    const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    std::vector<uint8_t> plain(32);
    for (size_t i = 0; i < plain.size(); ++i) {
        plain[i] = static_cast<uint8_t>(i * 7);
    }
    std::vector<uint8_t> enc(32), dec(32);
    ASSERT_EQ(1, AesCbc128EncryptFile(plain.data(), key, enc.data(), enc.size()));
    EXPECT_NE(Bytes(plain), Bytes(enc));
    ASSERT_EQ(1, AesCbc128DecryptFile(enc.data(), key, dec.data(), dec.size()));
    EXPECT_EQ(Bytes(plain), Bytes(dec));
    EXPECT_EQ(0, AesCbc128EncryptFile(plain.data(), nullptr, enc.data(), 16));
    EXPECT_EQ(0, AesCbc128EncryptFile(plain.data(), key, enc.data(), 15));
}
