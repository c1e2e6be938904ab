// The application's threads run for the life of the process and are never joined.
#pragma once

#include <pthread.h>

// Starts `entry` on a detached thread with default attributes: the pthread_create result.
inline int AppStartDetachedThread(void* (*entry)(void*))
{
    pthread_t tid;
    int rc = pthread_create(&tid, nullptr, entry, nullptr);
    if (rc == 0) {
        pthread_detach(tid);
    }
    return rc;
}
