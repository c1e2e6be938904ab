#include "StartUp.h"

#include "AppLog.h"
#include "platform/board_path.h"
#include "platform/shell.h"

#include <cstdio>
#include <cstring>

int CheckApplicationMD5()
{
    FILE* list = BoardFopen("/customer/ApplicantMD5", "r");
    if (list == nullptr) {
        APP_ERR("MD5 Check Fail, ApplicantMD5 no exist");
        return -1;
    }
    std::fclose(list);

    FILE* pipe = BoardPopen("md5sum -c /customer/ApplicantMD5", "r");
    if (pipe == nullptr) {
        std::printf("[%s] Fail Application no exist\n", __func__);
        return -1;
    }
    // A file that checks out is the normal case: only the others are worth a line each.
    char line[256];
    int passed = 0;
    while (std::fgets(line, sizeof(line), pipe) != nullptr) {
        line[std::strcspn(line, "\r\n")] = '\0';
        const size_t len = std::strlen(line);
        if (len >= 4 && std::strcmp(line + len - 4, ": OK") == 0) {
            ++passed;
            continue;
        }
        APP_ERR("%s", line);
        if (std::strstr(line, "FAILED") != nullptr) {
            APP_ERR("MD5 Check Fail");
            // The rest of the output is not read; closing the pipe ends the check.
            BoardPclose(pipe);
            return -1;
        }
    }
    BoardPclose(pipe);
    APP_INFO("MD5 Check Success");
    APP_DBG("%d files", passed);
    return 0;
}
