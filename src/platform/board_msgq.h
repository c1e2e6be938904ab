// Board message queues: the System V message queues of the unit, keyed to the board.
//
// A queue is named by a small number (1..255) chosen by its owner; numbers in use: 123 and 127
// (intercom bus link), 224 (AAC frames of the audio pipeline). Its key is the board's key base (24 bits of the POSIX `cksum` CRC of the
// board root's path, as DOORPHONE_ROOT names it without trailing slashes, shifted left by 8)
// plus the number, so each board root has keys of its own and every queue of a board is found
// from its root alone, even after its folder is gone (`tools/boardclean` computes the same keys).
//
//   int   BoardMsgQueueCreate(number)   the queue made anew: a queue left with its key by an
//                                       earlier run is removed first, with its messages; the
//                                       process owns it and removes it when it ends
//   int   BoardMsgQueueOpen(number)     the queue as it is (made and owned when absent), for a
//                                       queue that processes of one board share
//   int   BoardMsgQueueSend(id, msg, bodySize, flags)            msgsnd(2)
//   long  BoardMsgQueueReceive(id, msg, bodySize, type, flags)   msgrcv(2)
//   int   BoardMsgQueueRemove(id)       msgctl(IPC_RMID); forgets ownership
//   void  BoardMsgQueueRemoveOwned()    every owned queue; run by exit(3), by BoardReboot and on
//                                       SIGINT, SIGTERM and SIGHUP (when the process has no
//                                       handler of its own for them), then the signal ends it
//   int   BoardMsgQueueRemoveBoard(root)  every queue keyed to that root, whoever made it
//   int   BoardMsgQueueCountBoard(root)   how many there are (leak checks)
//
// Every call returns -1 with errno set on failure. Queues are readable and writable by the
// owner's user only.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

constexpr int kBoardMsgQueueNumberMax = 255;

// Key base of a board root: its CRC's low 24 bits shifted left by 8 (never 0 with a number added).
key_t BoardMsgQueueKeyBase(const std::string& root);
// Key of queue `number` of this board (-1 for a number outside 1..255).
key_t BoardMsgQueueKey(int number);

int BoardMsgQueueCreate(int number);
int BoardMsgQueueOpen(int number);
int BoardMsgQueueSend(int id, const void* msg, size_t bodySize, int flags);
long BoardMsgQueueReceive(int id, void* msg, size_t bodySize, long type, int flags);
int BoardMsgQueueRemove(int id);
void BoardMsgQueueRemoveOwned();
int BoardMsgQueueRemoveBoard(const std::string& root);
int BoardMsgQueueCountBoard(const std::string& root);
