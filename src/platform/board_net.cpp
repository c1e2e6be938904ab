#include "platform/board_net.h"

#include "platform/board_path.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <strings.h>
#include <sys/stat.h>

namespace {

std::string __NetState(const std::string& name)
{
    return BoardRoot() + "/.board/net/" + name;
}

// First line of a state file; false when the file is missing or empty.
bool __ReadValue(const std::string& path, std::string* value)
{
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line) || line.empty()) {
        return false;
    }
    *value = line;
    return true;
}

// The interface's state folder; "" when the name cannot be one (it becomes part of a path).
std::string __IfDir(const struct ifreq* ifr)
{
    size_t len = strnlen(ifr->ifr_name, IFNAMSIZ);
    if (len == 0 || len == IFNAMSIZ) {
        return "";
    }
    std::string name(ifr->ifr_name, len);
    if (name == "." || name == ".." || name.find('/') != std::string::npos) {
        return "";
    }
    return __NetState("if/" + name);
}

bool __IsOne(const std::string& path)
{
    std::string v;
    return __ReadValue(path, &v) && v == "1";
}

int __Fail(int err)
{
    errno = err;
    return -1;
}

int __GetLink(const std::string& dir, struct ifreq* ifr)
{
    auto* ev = static_cast<struct ethtool_value*>(static_cast<void*>(ifr->ifr_data));
    if (ev == nullptr) {
        return __Fail(EFAULT);
    }
    if (ev->cmd != ETHTOOL_GLINK) {
        return __Fail(EOPNOTSUPP);
    }
    ev->data = (__IsOne(__NetState("cable")) && __IsOne(dir + "/up")) ? 1 : 0;
    return 0;
}

int __GetAddr(const std::string& dir, struct ifreq* ifr)
{
    std::string text;
    struct in_addr addr {};
    if (!__ReadValue(dir + "/addr", &text) || inet_pton(AF_INET, text.c_str(), &addr) != 1) {
        return __Fail(EADDRNOTAVAIL);
    }
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_addr = addr;
    std::memcpy(&ifr->ifr_addr, &sin, sizeof(sin));
    return 0;
}

int __GetHwAddr(const std::string& dir, struct ifreq* ifr)
{
    std::string text;
    unsigned int b[6];
    char tail = 0;
    if (!__ReadValue(dir + "/hwaddr", &text) ||
        std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &tail) != 6) {
        return __Fail(EADDRNOTAVAIL);
    }
    std::memset(&ifr->ifr_hwaddr, 0, sizeof(ifr->ifr_hwaddr));
    ifr->ifr_hwaddr.sa_family = ARPHRD_ETHER;
    for (int i = 0; i < 6; ++i) {
        ifr->ifr_hwaddr.sa_data[i] = static_cast<char>(b[i]);
    }
    return 0;
}

}  // namespace

int BoardNetIoctl(unsigned long request, struct ifreq* ifr)
{
    if (ifr == nullptr) {
        return __Fail(EFAULT);
    }
    if (request != SIOCETHTOOL && request != SIOCGIFADDR && request != SIOCGIFHWADDR) {
        return __Fail(EOPNOTSUPP);
    }
    const std::string dir = __IfDir(ifr);
    struct stat st {};
    if (dir.empty() || ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return __Fail(ENODEV);
    }
    switch (request) {
    case SIOCETHTOOL:
        return __GetLink(dir, ifr);
    case SIOCGIFADDR:
        return __GetAddr(dir, ifr);
    default:
        return __GetHwAddr(dir, ifr);
    }
}

int BoardResolveHost(const char* name, uint32_t* addr)
{
    if (name == nullptr || addr == nullptr || name[0] == '\0') {
        return -1;
    }
    std::ifstream in(BoardRoot() + "/.board/net/hosts");
    std::string line;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string ip;
        std::string host;
        if (!(words >> ip)) {
            continue;
        }
        in_addr a{};
        if (inet_pton(AF_INET, ip.c_str(), &a) != 1) {
            continue;
        }
        while (words >> host) {
            if (strcasecmp(host.c_str(), name) == 0) {
                *addr = ntohl(a.s_addr);
                return 0;
            }
        }
    }
    return -1;
}
