#include "AppLog.h"

#include <cstdarg>
#include <cstdio>
#include <string>

void AppLogPrint(const char* colour, const char* func, const char* fmt, ...)
{
    char body[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(body, sizeof(body), fmt, ap);
    va_end(ap);
    if (n < 0) {
        body[0] = '\0';
    }
    std::string line;
    line.reserve(64 + sizeof(body));
    line += colour;
    line += '[';
    line += func;
    line += "] ";
    line += body;
    line += "\n\033[0m";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}
