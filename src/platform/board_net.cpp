#include "platform/board_net.h"

#include "platform/board_path.h"
#include "platform/board_sim.h"

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
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#ifdef DOORPHONE_UNIT_BOARD
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#endif

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

#ifdef DOORPHONE_UNIT_BOARD

std::string BoardPacketSocketPath(const char*)
{
    return "";
}

int BoardPacketSocket(const char* ifname)
{
    const unsigned index = ifname != nullptr ? if_nametoindex(ifname) : 0;
    if (index == 0) {
        errno = ENODEV;
        return -1;
    }
    int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_ll sll {};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = static_cast<int>(index);
    if (::bind(fd, reinterpret_cast<struct sockaddr*>(&sll), sizeof(sll)) != 0) {
        int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

#else

std::string BoardPacketSocketPath(const char* ifname)
{
    return __NetState(std::string("sniff.") + (ifname != nullptr ? ifname : ""));
}

int BoardPacketSocket(const char* ifname)
{
    struct ifreq ifr {};
    if (ifname != nullptr) {
        std::strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
    }
    const std::string dir = ifname != nullptr && std::strlen(ifname) < IFNAMSIZ ? __IfDir(&ifr) : "";
    struct stat st {};
    if (dir.empty() || ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        errno = ENODEV;
        return -1;
    }
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    const std::string path = BoardPacketSocketPath(ifname);
    if (path.size() >= sizeof(addr.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    // The socket of an earlier sniffer (or an earlier run) is replaced.
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int BoardPacketInject(const char* ifname, const uint8_t* frame, size_t len)
{
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    const std::string path = BoardPacketSocketPath(ifname);
    if (frame == nullptr || path.size() >= sizeof(addr.sun_path)) {
        errno = EINVAL;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    ssize_t n = ::sendto(fd, frame, len, 0, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    int err = errno;
    ::close(fd);
    errno = err;
    return n == static_cast<ssize_t>(len) ? 0 : -1;
}

#endif
