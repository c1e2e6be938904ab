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
    char line[256];
    while (std::fgets(line, sizeof(line), pipe) != nullptr) {
        line[std::strcspn(line, "\r\n")] = '\0';
        APP_DBG("%s", line);
        if (std::strstr(line, "FAILED") != nullptr) {
            APP_ERR("MD5 Check Fail");
            // The rest of the output is not read; closing the pipe ends the check.
            BoardPclose(pipe);
            return -1;
        }
    }
    BoardPclose(pipe);
    APP_INFO("MD5 Check Success");
    return 0;
}
