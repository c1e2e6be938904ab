#include "noxa_iot_sdk/noxa_cloud/app_agent.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"

int lan_pro_cntl_init(uint32_t mode)
{
    PR_NOTICE("lan protocol mode:%u: no LAN server (tcp %d, udp %d) in this build", mode, LAN_PRO_TCP_PORT,
              LAN_PRO_UDP_PORT);
    return UNI_OK;
}
