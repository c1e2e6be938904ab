// The tools' one test of a sandbox, as tools/.sandboxlib has it for the shell tools.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

// Why a folder is not a sandbox, empty when it is one: its mark, or the layout mksandbox made
// before it left one. A folder that only has a .board in it is not one.
inline std::string SandboxRefusal(const std::string& root)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::exists(root, ec)) {
        return "does not exist";
    }
    if (!fs::is_directory(root, ec)) {
        return "is not a folder";
    }
    if (fs::is_regular_file(root + "/.board/sandbox", ec)) {
        return "";
    }
    if (fs::is_directory(root + "/.board", ec) && fs::is_regular_file(root + "/DeviceInfo/device.conf", ec) &&
        fs::is_regular_file(root + "/etc/Fw.conf", ec) && fs::is_regular_file(root + "/customer/ApplicantMD5", ec)) {
        return "";
    }
    return "is not a sandbox";
}
