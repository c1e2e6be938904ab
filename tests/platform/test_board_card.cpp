// The simulated SD card: the board's mount calls and the simulated tools keep one mount table,
// statfs follows the files on the card, tools/sdcard changes the card from outside.
#include "platform/board_card.h"
#include "platform/board_path.h"
#include "platform/shell.h"
#include "sandbox.h"
#include "sdcard_tool.h"
#include "tool_refusal.h"

#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* kCardLineRw =
    "/dev/mmcblk0p1 /mnt/sdcard vfat "
    "rw,relatime,fmask=0022,dmask=0022,codepage=437,iocharset=iso8859-1,shortname=mixed,errors=remount-ro 0 0\n";
constexpr const char* kRootLine = "rootfs / rootfs rw 0 0\n";

class BoardCard : public ::testing::Test {
protected:
    // Exit status of a simulated tool run through the shell runner.
    static int Tool(const std::string& command)
    {
        int rc = BoardSystem(command.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    int Card(const std::string& args) const { return SdCardTool(sb, args); }
    void CardFile(const std::string& unitPath, off_t bytes) const { ASSERT_TRUE(SdCardFile(sb, unitPath, bytes)) << unitPath; }
    static uint64_t FreeKib()
    {
        struct statfs st;
        EXPECT_EQ(0, BoardStatfs("/mnt/sdcard", &st));
        return static_cast<uint64_t>(st.f_bfree) * st.f_frsize / 1024;
    }

    TestSandbox sb;
};

}  // namespace

TEST_F(BoardCard, BoardCallsAndToolsKeepOneTable)
{
    EXPECT_EQ(kRootLine, sb.Read("/proc/mounts"));
    ASSERT_EQ(0, Tool("mount -t vfat /dev/mmcblk0p1 /mnt/sdcard"));
    EXPECT_EQ(std::string(kRootLine) + kCardLineRw, sb.Read("/proc/mounts"));
    EXPECT_EQ(32, Tool("mount -t vfat /dev/mmcblk0p1 /mnt/sdcard")) << "already mounted";
    EXPECT_EQ(-1, BoardMount("/dev/mmcblk0p1", "/mnt/sdcard", "vfat", 0, nullptr));
    EXPECT_EQ(EBUSY, errno);

    // The board's umount takes the tool's line away, the tool takes the board's.
    ASSERT_EQ(0, BoardUmount("/mnt/sdcard"));
    EXPECT_EQ(kRootLine, sb.Read("/proc/mounts"));
    ASSERT_EQ(0, BoardMount("/dev/mmcblk0p1", "/mnt/sdcard", "vfat", 0, nullptr));
    EXPECT_EQ(std::string(kRootLine) + kCardLineRw, sb.Read("/proc/mounts"));
    EXPECT_EQ(0, Tool("umount /mnt/sdcard"));
    EXPECT_EQ(kRootLine, sb.Read("/proc/mounts"));
    EXPECT_EQ(32, Tool("umount /mnt/sdcard")) << "not mounted";
    EXPECT_EQ(-1, BoardUmount("/mnt/sdcard"));
    EXPECT_EQ(EINVAL, errno);

    // A read-only mount, asked for or forced by the write-protect switch.
    ASSERT_EQ(0, BoardMount("/dev/mmcblk0p1", "/mnt/sdcard", "vfat", MS_RDONLY, nullptr));
    EXPECT_NE(std::string::npos, sb.Read("/proc/mounts").find(" vfat ro,relatime,"));
    ASSERT_EQ(0, BoardUmount("/mnt/sdcard"));
    ASSERT_EQ(0, Card("ro"));
    ASSERT_EQ(0, Tool("mount -t auto /dev/mmcblk0p1 /mnt/sdcard"));
    EXPECT_NE(std::string::npos, sb.Read("/proc/mounts").find(" vfat ro,relatime,"));
    ASSERT_EQ(0, BoardUmount("/mnt/sdcard"));
    ASSERT_EQ(0, BoardMount("/dev/mmcblk0p1", "/mnt/sdcard", "vfat", 0, nullptr));
    EXPECT_NE(std::string::npos, sb.Read("/proc/mounts").find(" vfat ro,relatime,"));

    std::string tools = sb.Read("/.board/tools.log");
    EXPECT_NE(std::string::npos, tools.find("mount -t vfat " + sb.Root() + "/dev/mmcblk0p1 " + sb.Root() + "/mnt/sdcard"));
    EXPECT_NE(std::string::npos, tools.find("umount " + sb.Root() + "/mnt/sdcard"));
}

TEST_F(BoardCard, MountRefusesWhatIsNoCardOrNoMountPoint)
{
    ASSERT_EQ(0, ::unlink(sb.Path("/dev/mmcblk0p1").c_str()));
    sb.Write("/tmp/afile", "x");
    struct {
        const char* source;
        const char* target;
        const char* type;
        int err;
    } rows[] = {
        {"/dev/mmcblk0p1", "/mnt/sdcard", "vfat", ENOENT},  // no partition node
        {"/dev/sda1", "/mnt/sdcard", "vfat", ENODEV},        // only the card mounts here
        {"/dev/mmcblk0", "/mnt/sdcard", "ext4", EINVAL},
        {"/dev/mmcblk0", "/mnt/nothere", "vfat", ENOENT},
        {"/dev/mmcblk0", "/tmp/afile", "vfat", ENOTDIR},
        {nullptr, "/mnt/sdcard", "vfat", EFAULT},
    };
    for (const auto& row : rows) {
        errno = 0;
        EXPECT_EQ(-1, BoardMount(row.source, row.target, row.type, 0, nullptr)) << (row.source ? row.source : "null");
        EXPECT_EQ(row.err, errno) << (row.source ? row.source : "null") << " " << row.target << " " << row.type;
    }
    EXPECT_EQ(kRootLine, sb.Read("/proc/mounts"));
    EXPECT_EQ(32, Tool("mount -t vfat /dev/mmcblk0p1 /mnt/sdcard"));
    EXPECT_EQ(32, Tool("mount -t ext4 /dev/mmcblk0 /mnt/sdcard"));
    EXPECT_EQ(32, Tool("mount /tmp/afile /mnt/sdcard"));
    EXPECT_EQ(kRootLine, sb.Read("/proc/mounts"));
    // The whole device mounts when there is no partition node.
    EXPECT_EQ(0, Tool("mount -t vfat /dev/mmcblk0 /mnt/sdcard"));
    EXPECT_NE(std::string::npos, sb.Read("/proc/mounts").find("/dev/mmcblk0 /mnt/sdcard vfat rw,"));
}

TEST_F(BoardCard, StatfsFollowsTheFilesAndTheFill)
{
    // Not mounted: the folder is the sandbox's, not the card.
    struct statfs st;
    ASSERT_EQ(0, BoardStatfs("/mnt/sdcard", &st));
    EXPECT_NE(0x4d44, st.f_type);

    ASSERT_EQ(0, BoardMount("/dev/mmcblk0p1", "/mnt/sdcard", "vfat", 0, nullptr));
    ASSERT_EQ(0, BoardStatfs("/mnt/sdcard", &st));
    EXPECT_EQ(0x4d44, st.f_type);
    EXPECT_EQ(32768, st.f_frsize);
    EXPECT_EQ(kBoardCardDefaultSizeKib / 32, st.f_blocks);
    EXPECT_EQ(kBoardCardDefaultSizeKib, FreeKib());

    // Each file takes whole clusters, by its length (a sparse file counts in full).
    CardFile("/mnt/sdcard/DVR/20240101/a.mp4", 1);
    CardFile("/mnt/sdcard/DVR/20240101/b.mp4", 32769);
    CardFile("/mnt/sdcard/DCIM/big.jpg", 512 << 20);
    EXPECT_EQ(kBoardCardDefaultSizeKib - 32 - 64 - 512 * 1024, FreeKib());

    // The fill leaves what was asked with the files there now; more files take from it.
    ASSERT_EQ(0, Card("fill 100"));
    EXPECT_EQ(100u * 1024, FreeKib());
    CardFile("/mnt/sdcard/DVR/20240101/c.mp4", 10 << 20);
    EXPECT_EQ(90u * 1024, FreeKib());
    ASSERT_EQ(0, Card("fill 0"));
    EXPECT_EQ(0u, FreeKib());
    EXPECT_EQ(1, Card("fill 999999")) << "more than the card holds";
    EXPECT_EQ(0u, FreeKib()) << "a refused fill keeps the other data there";
    ASSERT_EQ(0, Card("fill off"));
    ASSERT_EQ(0, Card("size 1024"));
    EXPECT_EQ(1024u * 1024 - 32 - 64 - 512 * 1024 - 10 * 1024, FreeKib());
    ASSERT_EQ(0, BoardStatfs("/mnt/sdcard/DVR", &st)) << "below the mount point";
    EXPECT_EQ(0x4d44, st.f_type);
    EXPECT_EQ(-1, BoardStatfs("/mnt/sdcard/none", &st));
    EXPECT_EQ(ENOENT, errno);

    // Pulled out under its mount: the mount line stays, the card cannot answer.
    ASSERT_EQ(0, Card("remove"));
    EXPECT_FALSE(sb.Exists("/dev/mmcblk0"));
    EXPECT_FALSE(sb.Exists("/dev/mmcblk0p1"));
    EXPECT_NE(std::string::npos, sb.Read("/proc/mounts").find("/mnt/sdcard"));
    EXPECT_EQ(-1, BoardStatfs("/mnt/sdcard", &st));
    EXPECT_EQ(EIO, errno);
    ASSERT_EQ(0, Card("insert"));
    EXPECT_EQ(0, BoardStatfs("/mnt/sdcard", &st));
}

TEST_F(BoardCard, MkfsEmptiesAnUnmountedCardOnly)
{
    sb.Write("/mnt/sdcard/DVR/20240101/120000_120100.mp4", "video");
    sb.Write("/mnt/sdcard/.hidden", "x");
    ASSERT_EQ(0, BoardMount("/dev/mmcblk0p1", "/mnt/sdcard", "vfat", 0, nullptr));
    ASSERT_EQ(0, Card("fill 100"));
    EXPECT_EQ(1, Tool("mkfs.vfat /dev/mmcblk0p1")) << "mounted";
    EXPECT_TRUE(sb.Exists("/mnt/sdcard/DVR/20240101/120000_120100.mp4"));

    ASSERT_EQ(0, Tool("umount /mnt/sdcard"));
    ASSERT_EQ(0, Card("ro"));
    EXPECT_EQ(1, Tool("mkfs.vfat /dev/mmcblk0p1")) << "write-protected";
    EXPECT_TRUE(sb.Exists("/mnt/sdcard/DVR"));
    ASSERT_EQ(0, Card("rw"));

    ASSERT_EQ(0, Tool("mkfs.vfat /dev/mmcblk0p1"));
    EXPECT_TRUE(std::filesystem::is_empty(sb.Path("/mnt/sdcard")));
    ASSERT_EQ(0, Tool("mount -t vfat /dev/mmcblk0p1 /mnt/sdcard"));
    EXPECT_EQ(kBoardCardDefaultSizeKib, FreeKib()) << "the other data went with the format";

    ASSERT_EQ(0, Card("remove"));
    ASSERT_EQ(0, Tool("umount /mnt/sdcard"));
    EXPECT_EQ(1, Tool("mkfs.vfat /dev/mmcblk0p1")) << "no card";
    EXPECT_EQ(1, Tool("mkfs.vfat /tmp/x")) << "only the card";
}

TEST_F(BoardCard, WriteProtectTurnsAMountedCardReadOnly)
{
    ASSERT_EQ(0, BoardMount("/dev/mmcblk0p1", "/mnt/sdcard", "vfat", 0, nullptr));
    ASSERT_EQ(0, Card("ro"));
    std::string readOnly = kCardLineRw;
    readOnly.replace(readOnly.find(" rw,"), 4, " ro,");
    EXPECT_EQ(kRootLine + readOnly, sb.Read("/proc/mounts"));
    // The switch back takes effect at the next mount.
    ASSERT_EQ(0, Card("rw"));
    EXPECT_NE(std::string::npos, sb.Read("/proc/mounts").find(" vfat ro,"));
    ASSERT_EQ(0, BoardUmount("/mnt/sdcard"));
    ASSERT_EQ(0, BoardMount("/dev/mmcblk0p1", "/mnt/sdcard", "vfat", 0, nullptr));
    EXPECT_EQ(std::string(kRootLine) + kCardLineRw, sb.Read("/proc/mounts"));
}

// tools/sdcard refuses a wrong root, option, command or number with status 2, saying what is
// wrong and its usage; the card stays as it was.
TEST_F(BoardCard, SdcardToolRefusesBadInputs)
{
    const std::string tool = SourceDir() + "/tools/sdcard";
    ASSERT_EQ(0, Card("size 4096"));
    ASSERT_EQ(0, Card("fill 1000"));
    const std::string before = sb.Read("/.board/sdcard_size") + sb.Read("/.board/sdcard_fill");
    const std::string fake = sb.Root() + "/tmp/fake";
    std::filesystem::create_directories(fake + "/.board");
    ExpectRefusals(tool, {
        {{}, "sdcard: no board root"},
        {{"--"}, "sdcard: unknown option --"},
        {{"--size", "100"}, "sdcard: unknown option --size"},
        {{"/nonexistent/x", "show"}, "sdcard: /nonexistent/x is no board root"},
        // Any folder with a .board in it is no sandbox: nothing is written there.
        {{fake, "fill", "100"}, "sdcard: " + fake + " is no board root (it is not a sandbox"},
        {{sb.Root()}, "sdcard: unknown command: (none)"},
        {{sb.Root(), "eject"}, "sdcard: unknown command: eject"},
        {{sb.Root(), "size", "big"}, "sdcard: MIB 'big' is no whole number of MiB from 1 to 2097152"},
        {{sb.Root(), "size", "abc"}, "sdcard: MIB 'abc' is no whole number of MiB from 1 to 2097152"},
        {{sb.Root(), "size", "-5"}, "sdcard: MIB '-5' is no whole number of MiB from 1 to 2097152"},
        {{sb.Root(), "size", "0"}, "sdcard: MIB '0' is no whole number of MiB from 1 to 2097152"},
        {{sb.Root(), "size", "2097153"}, "sdcard: MIB '2097153' is no whole number of MiB from 1 to 2097152"},
        {{sb.Root(), "size", "99999999999999999999"}, "sdcard: MIB '99999999999999999999' is no whole number"},
        {{sb.Root(), "size"}, "sdcard: size takes the card's size in MiB"},
        {{sb.Root(), "size", "8", "9"}, "sdcard: size takes the card's size in MiB"},
        {{sb.Root(), "fill"}, "sdcard: fill takes the MiB to leave free, or off"},
        {{sb.Root(), "fill", "1.5"}, "sdcard: FREE_MIB '1.5' is no whole number of MiB from 0 to 2097152"},
        {{sb.Root(), "fill", "abc"}, "sdcard: FREE_MIB 'abc' is no whole number of MiB from 0 to 2097152"},
        {{sb.Root(), "fill", "99999999999999999999"}, "sdcard: FREE_MIB '99999999999999999999' is no whole number"},
        {{sb.Root(), "remove", "now"}, "sdcard: remove takes no value"},
        {{sb.Root(), "insert", "now"}, "sdcard: insert takes no value"},
        {{sb.Root(), "ro", "1"}, "sdcard: ro takes no value"},
        {{sb.Root(), "rw", "1"}, "sdcard: rw takes no value"},
        {{sb.Root(), "show", "all"}, "sdcard: show takes no value"},
    }, {"Usage: tools/sdcard ROOT COMMAND"});
    EXPECT_TRUE(std::filesystem::is_empty(fake + "/.board")) << "it wrote into a folder that is no sandbox";
    EXPECT_EQ(before, sb.Read("/.board/sdcard_size") + sb.Read("/.board/sdcard_fill"));
    EXPECT_TRUE(sb.Exists("/dev/mmcblk0")) << "the card stays in";
    EXPECT_EQ("", sb.Read("/.board/sdcard_protect")) << "the switch stays as it was";
}

// The edges of the ranges are taken: the smallest card, a fill that leaves nothing or all free.
TEST_F(BoardCard, SdcardToolTakesTheEdgesOfItsRanges)
{
    ASSERT_EQ(0, BoardMount("/dev/mmcblk0p1", "/mnt/sdcard", "vfat", 0, nullptr));
    const struct {
        const char* args;
        uint64_t freeKib;
    } rows[] = {
        {"size 1", 1024},
        {"fill 0", 0},
        {"fill 1", 1024},
        {"fill off", 1024},
        {"size 2097152", 2097152ull * 1024},
        {"size 007", 7 * 1024},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(0, Card(row.args)) << row.args;
        EXPECT_EQ(row.freeKib, FreeKib()) << row.args;
    }
}
