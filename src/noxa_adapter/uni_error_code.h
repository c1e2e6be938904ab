// Result codes of the cloud-side runtime: 0 success, negative failure, one range per service.
#pragma once

enum {
    UNI_OK = 0,
    UNI_COM_ERROR = -1,       // general failure, or the service is not initialised
    UNI_INVALID_PARM = -2,
    UNI_MALLOC_FAILED = -3,

    UNI_MUTEX_INIT_FAILED = -104,
    UNI_MUTEX_LOCK_FAILED = -105,
    UNI_MUTEX_UNLOCK_FAILED = -108,
    UNI_MUTEX_RELEASE_FAILED = -109,

    UNI_MEM_POOL_MUTEX_FAILED = -110,
    UNI_MEM_PARTITION_EMPTY = -111,
    UNI_MEM_PARTITION_FULL = -112,
    UNI_MEM_PARTITION_NOT_FOUND = -113,

    UNI_LOG_MODULE_NOT_FOUND = -114,

    UNI_SEM_INIT_FAILED = -201,
    UNI_SEM_WAIT_FAILED = -202,
    UNI_SEM_POST_FAILED = -203,

    UNI_THRD_CREATE_FAILED = -302,

    UNI_TIMER_ID_EXIST = -401,
    UNI_TIMER_ID_NOT_FOUND = -402,
    UNI_TIMER_ID_INVALID = -403,

    UNI_MSG_LIST_EMPTY = -502,

    UNI_LOG_FILTERED = -1002,
    UNI_LOG_FORMAT_FAILED = -1003,
};
