#include "EthFunctions.h"

#include "noxa_adapter/utilities/uni_secret.h"
#include "platform/board_net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>

namespace {

constexpr const char* kEth = "eth0";

// One request about eth0 through the board. The seam opens a datagram socket for it on the unit:
// a descriptor or memory shortage shows as its errno.
bool AskEth(unsigned long request, struct ifreq* ifr)
{
    std::memset(ifr, 0, sizeof(*ifr));
    std::strncpy(ifr->ifr_name, kEth, IFNAMSIZ - 1);
    if (BoardNetIoctl(request, ifr) == 0) {
        return true;
    }
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        printf("socket create failse...GetLocalIp!\n");
    } else {
        printf("ioctl error\n");
    }
    fflush(stdout);
    return false;
}

}  // namespace

int GetLocalIp(char* ip, size_t len)
{
    if (ip == nullptr || len == 0) {
        return -1;
    }
    struct ifreq ifr;
    if (!AskEth(SIOCGIFADDR, &ifr)) {
        return -1;
    }
    const auto* addr = reinterpret_cast<const struct sockaddr_in*>(&ifr.ifr_addr);
    return inet_ntop(AF_INET, &addr->sin_addr, ip, static_cast<socklen_t>(len)) != nullptr ? 0 : -1;
}

int GetLocalMac(uint8_t mac[6])
{
    if (mac == nullptr) {
        return -1;
    }
    struct ifreq ifr;
    if (!AskEth(SIOCGIFHWADDR, &ifr)) {
        return -1;
    }
    std::memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    return 0;
}

int hwl_bnw_set_station_connect(const char* ssid, const char* passwd)
{
    printf("hwl_bnw_set_station_connect ssid:%s passwd:%s\n", ssid != nullptr ? ssid : "(null)", uni_mask_secret(passwd).text);
    fflush(stdout);
    return -1;
}
