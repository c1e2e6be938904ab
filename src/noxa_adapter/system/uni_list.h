// Circular doubly linked lists: every runtime container links its records through one of these.
// A head is a node that points to itself when the list is empty.
#pragma once

#include <cstddef>

struct LIST_HEAD {
    LIST_HEAD* next;
    LIST_HEAD* prev;
};

inline void uni_list_init(LIST_HEAD* head)
{
    head->next = head;
    head->prev = head;
}

inline int uni_list_empty(const LIST_HEAD* head)
{
    return head->next == head ? 1 : 0;
}

inline void __uni_list_link(LIST_HEAD* node, LIST_HEAD* prev, LIST_HEAD* next)
{
    next->prev = node;
    node->next = next;
    node->prev = prev;
    prev->next = node;
}

// Inserts right after the head.
inline void uni_list_add(LIST_HEAD* node, LIST_HEAD* head)
{
    __uni_list_link(node, head, head->next);
}

// Inserts right before the head, i.e. at the end.
inline void uni_list_add_tail(LIST_HEAD* node, LIST_HEAD* head)
{
    __uni_list_link(node, head->prev, head);
}

// Unlinks the node; its own pointers are left as they were.
inline void uni_list_del(LIST_HEAD* node)
{
    node->next->prev = node->prev;
    node->prev->next = node->next;
}

// The record that holds `ptr` as its member `member`.
#define UNI_LIST_ENTRY(ptr, type, member) \
    (reinterpret_cast<type*>(reinterpret_cast<char*>(ptr) - offsetof(type, member)))

#define UNI_LIST_FOR_EACH(pos, head) for (LIST_HEAD* pos = (head)->next; pos != (head); pos = pos->next)

// Safe against unlinking `pos` inside the loop.
#define UNI_LIST_FOR_EACH_SAFE(pos, nxt, head)                          \
    for (LIST_HEAD *pos = (head)->next, *nxt = pos->next; pos != (head); \
         pos = nxt, nxt = pos->next)
