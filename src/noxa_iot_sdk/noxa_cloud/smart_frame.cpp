#include "noxa_iot_sdk/noxa_cloud/smart_frame.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"

namespace {

// A record for an empty slot is dropped: the application did not ask for it.
template <typename CB, typename REC>
int __dispatch(CB cb, const REC* rec, const char* what)
{
    if (rec == nullptr) {
        return UNI_INVALID_PARM;
    }
    int ret = gw_call_slot(cb, rec);
    if (ret != UNI_OK) {
        PR_DEBUG("no %s callback, dropped", what);
    }
    return ret;
}

}  // namespace

int smart_frame_init(void)
{
    PR_DEBUG("smart frame init");
    return UNI_OK;
}

int sf_obj_dp_dispatch(const RECV_OBJ_DP_S* dp)
{
    return __dispatch(get_gw_cntl()->cbs.dev_obj_dp_cb, dp, "obj dp");
}

int sf_raw_dp_dispatch(const RECV_RAW_DP_S* dp)
{
    return __dispatch(get_gw_cntl()->cbs.dev_raw_dp_cb, dp, "raw dp");
}

int sf_dp_query_dispatch(const DP_QUERY_S* query)
{
    return __dispatch(get_gw_cntl()->cbs.dev_dp_query_cb, query, "dp query");
}
