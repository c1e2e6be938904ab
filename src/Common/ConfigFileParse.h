// The unit's small files under "/DeviceInfo" (room address, push delay, door names), the INI
// reader for the identity and upgrade files, and the block ciphers of the identity records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

constexpr const char* kRoomInfoFile = "/DeviceInfo/RoomInfo.conf";
constexpr const char* kPushInfoFile = "/DeviceInfo/PushInfo.conf";
constexpr const char* kChannelFile = "/DeviceInfo/Channel.conf";
constexpr const char* kDeviceBinFile = "/DeviceInfo/device.bin";

// Every reader of a device file reads a regular file only (a FIFO or a device at the path is
// refused, never waited on) and at most this many bytes of it. The largest device file the unit
// writes, "/etc/wpa.conf", stays under 1 KB (device.conf and UPGRADE.txt hold a few lines): a
// larger one is none of the unit's, and is refused.
constexpr size_t kDeviceFileReadMax = 16 * 1024;

// Device files are readable by every local user; one holding a secret (the Wi-Fi pass phrase)
// only by the unit's own.
constexpr mode_t kDeviceFileMode = 0644;
constexpr mode_t kSecretFileMode = 0600;

// Every device file (these, the settings, the network files) is written whole: aside, synced and
// renamed in, so a power cut leaves the old content or the new. The file gets `mode` from its
// first byte on, whatever mode the file it replaces had. Once a factory reset has begun none is
// written any more (the reset removes them; a late writer would bring one back).
// 0, or -1 (an error line) when the file could not be written or writes are stopped.
int WriteDeviceFile(const char* unitPath, const void* data, size_t len, mode_t mode = kDeviceFileMode);
// Makes a folder of device files where it is missing (its parent synced, so that it outlives a
// power cut); nothing once a factory reset has begun. 0 when the folder is there, else -1.
int MakeDeviceDir(const char* unitPath);
// Stops every later WriteDeviceFile and MakeDeviceDir, for good: the first step of a factory
// reset. Returns once no write begun before it is still under way, so nothing the reset removes
// afterwards comes back.
void StopDeviceFileWrites();
// Writes allowed again, for tests that go on after a reset in the same process.
void ResumeDeviceFileWritesForTest();

// Room file: the unit's room address as decimal text, no newline.
// 0 when the file is there (a regular file), else -1.
int RoomFileExist();
// 0, or -1 when the file cannot be written.
int SaveRoomAddress(uint32_t address);
// 0 and the value (0 for text that is no number), or -1 without the file.
int ReadRoomAddress(uint32_t* address);

// Push file: the push-delay setting in ticks as decimal text, no newline.
int SavePushDelay(uint32_t delay);
// 0 and the value; without the file it is created with 100, *delay is 100 and the result -1.
int ReadPushDelay(uint32_t* delay);

// Whether the bytes are UTF-8 in its shortest form (texts that reach the cloud's JSON must be).
bool IsUtf8(const char* text, size_t len);

// Door names: the rename allows up to 30 characters a name; a name that is no UTF-8 (in the file
// or in a rename) is replaced by the door's default name, with an error line.
constexpr size_t kChannelNameMax = 30;
// Reads "/DeviceInfo/Channel.conf" (line 1 door 0, line 2 door 1); without the file the names
// are "Door 1" and "Door 2" and the file is written with them. 0, or -1 when a new file could
// not be written.
int LoadChannelNames();
// Name of door 0 or 1 ("" for another door).
std::string GetChannelName(int door);
// The channel list as data point 231 carries it: a JSON object {"res":1,"err":0,"cc":cc,
// "chs":[{"id":1,"n":name 1},{"id":2,"n":name 2}]} escaped once more to sit inside a string
// (every '"' and '\' behind a backslash).
std::string ChannelsReportText(int cc);
// Reports the channel list with the current door `cc` (data point 231) and prints it. 0.
int ReportChannels(int cc);
// The command of data point 231: {"cmd":1,"cc":1|2} switches to door cc - 1; {"cmd":2,"chs":
// [{"n":...},{"n":...}]} renames both doors. 0, or -1 (error line, nothing changed) for text
// that does not parse, lacks a member, or names a door other than 1 and 2.
int ChannelCommand(const char* json);

// Copies `in` to `out` without leading (l_trim), trailing (r_trim) or both kinds of white
// space (a_trim). `out` holds at least strlen(in) + 1 bytes; both are given and differ (a
// violation ends the process: it is a fault of the caller).
char* l_trim(char* szOutput, const char* szInput);
char* r_trim(char* szOutput, const char* szInput);
char* a_trim(char* szOutput, const char* szInput);

// Reads `key` of `[section]` of an INI file into `value` (at most valueSize - 1 characters).
// 0 found, -1 not found or the file cannot be opened.
int GetProfileString(const char* profile, const char* section, const char* key, char* value, size_t valueSize);

// The same trims in place: `s` itself loses its trailing (TrimRight), leading (TrimLeft) or both
// kinds of white space (TrimBoth). Return `s` (NULL for NULL).
char* TrimRight(char* s);
char* TrimLeft(char* s);
char* TrimBoth(char* s);

// Key=value files without sections: one pair a line, key and value trimmed, the value all that
// follows the first "=" (so it may hold "="). Empty lines, lines starting with "#", lines
// without "=" or without a key, and lines of more than kConfigLineMax characters (skipped whole)
// are no pairs. A file of more than kConfigPairMax pairs or kDeviceFileReadMax bytes is refused.
constexpr size_t kConfigLineMax = 1022;
constexpr size_t kConfigPairMax = 256;
struct CONFIG_PAIR_S {
    std::string Key;
    std::string Value;
};
// The pairs in file order: their count, or -1 (the file cannot be opened or holds too many).
int ReadConfigPairs(const char* unitPath, std::vector<CONFIG_PAIR_S>* pairs);
// The value of the first pair named `key` (at most valueSize - 1 characters). 0, or -1 when the
// file or the key is missing.
int ReadConfigValue(const char* unitPath, const char* key, char* value, size_t valueSize);
// Gives the first pair named `key` the new value and writes the file back whole, a pair a line as
// "%s=%s\n" (comments and skipped lines are not kept), through WriteDeviceFile, with the mode the
// file had. Rewrites of one file take turns, so none loses another's value. -1, the file
// untouched, when the key is missing, the value would not read back as given (a line break,
// blanks around it, a line or a file too long), or the file cannot be read or written.
int WriteConfigValue(const char* unitPath, const char* key, const char* value);

// DES-CBC of the identity records with the unit's fixed key and IV. `length` is a multiple of
// 8; `out` holds `length` bytes. 1, or 0 for a missing argument or a length that is not.
int DesCbcDecryptFile(const uint8_t* in, uint8_t* out, size_t length);
int DesCbcEncryptFile(const uint8_t* in, uint8_t* out, size_t length);

// AES-128-CBC with a 16-byte key and a zero IV; `length` a multiple of 16. 1, or 0 for a
// missing argument, a length that is not, or a rejected key.
int AesCbc128EncryptFile(const uint8_t* in, const uint8_t* key, uint8_t* out, size_t length);
int AesCbc128DecryptFile(const uint8_t* in, const uint8_t* key, uint8_t* out, size_t length);

// The identity from "/DeviceInfo/device.bin": two DES-CBC records of 64 bytes, the UUID and the
// auth key as NUL-ended text. 0 and both texts (at most 25 and 32 characters), or -1 (with an
// error line) when the file is missing or short, or a record decrypts to an empty or unprintable
// text or to one the checks below refuse (the caller then takes the next identity source).
constexpr size_t kUuidMaxLen = 25;
constexpr size_t kAuthKeyMaxLen = 32;
constexpr size_t kDeviceBinRecord = 64;
int ReadDeviceBinIdentity(char uuid[kUuidMaxLen + 1], char authKey[kAuthKeyMaxLen + 1]);

// What keeps an identity text from the cloud, or NULL when it may be used: a UUID is 16 to 25
// letters and digits; an auth key 16 to 32 of them (before activation its first 16 are the key of
// every request). A text that fails is never used as it stands: its source counts as missing.
constexpr size_t kIdentityMinLen = 16;
const char* IdentityUuidProblem(const char* uuid);
const char* IdentityAuthKeyProblem(const char* key);
