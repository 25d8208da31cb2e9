#include "au/AURenderNotifyList.h"

AURenderNotifyList::~AURenderNotifyList() {
    FreeChain(mActive);
    FreeChain(mPending.exchange(nullptr));
    FreeChain(mRetired.exchange(nullptr));
}

void AURenderNotifyList::Push(std::atomic<Node*>& stack, Node* node) {
    Node* head = stack.load(std::memory_order_relaxed);
    do {
        node->next = head;
    } while (!stack.compare_exchange_weak(head, node, std::memory_order_release,
                                          std::memory_order_relaxed));
}

void AURenderNotifyList::FreeChain(Node* node) {
    while (node) {
        Node* next = node->next;
        delete node;
        node = next;
    }
}

void AURenderNotifyList::FreeRetired() {
    FreeChain(mRetired.exchange(nullptr, std::memory_order_acquire));
}

void AURenderNotifyList::Retire(Node* node) {
    Push(mRetired, node);
}

void AURenderNotifyList::Add(AURenderCallback proc, void* refCon) {
    FreeRetired();
    Push(mPending, new Node{proc, refCon, false, nullptr});
}

void AURenderNotifyList::Remove(AURenderCallback proc, void* refCon) {
    FreeRetired();
    Push(mPending, new Node{proc, refCon, true, nullptr});
}

void AURenderNotifyList::Update() {
    Node* newestFirst = mPending.exchange(nullptr, std::memory_order_acquire);
    Node* request = nullptr; // the same chain, oldest first
    while (newestFirst) {
        Node* next = newestFirst->next;
        newestFirst->next = request;
        request = newestFirst;
        newestFirst = next;
    }
    while (request) {
        Node* current = request;
        request = request->next;
        current->next = nullptr;

        Node** link = &mActive;
        while (*link && ((*link)->proc != current->proc || (*link)->refCon != current->refCon))
            link = &(*link)->next;
        if (current->remove) {
            if (Node* found = *link) {
                *link = found->next;
                Retire(found);
            }
            Retire(current);
        } else if (*link) {
            Retire(current); // already listed
        } else {
            *link = current; // the end of the list
        }
    }
}

void AURenderNotifyList::Call(AudioUnitRenderActionFlags flags, const AudioTimeStamp& timeStamp,
                              UInt32 bus, UInt32 frames, AudioBufferList* buffers) const {
    for (const Node* node = mActive; node; node = node->next) {
        AudioUnitRenderActionFlags copy = flags;
        node->proc(node->refCon, &copy, &timeStamp, bus, frames, buffers);
    }
}

unsigned AURenderNotifyList::Count() const {
    unsigned count = 0;
    for (const Node* node = mActive; node; node = node->next)
        ++count;
    return count;
}
