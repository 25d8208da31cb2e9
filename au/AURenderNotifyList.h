// The functions a unit calls before and after each render.
//
// Adding and removing may happen on any thread and never waits: a request is
// pushed onto a lock-free stack, and the render thread applies the queued
// requests, in the order they were made, at the start of its next render. The
// render thread neither allocates nor frees: a request's node becomes the list
// entry itself, and the nodes it no longer needs go onto a second lock-free
// stack that the next add or remove (or the destructor) frees.
#pragma once

#include "platform/AudioUnitTypes.h"

#include <atomic>

class AURenderNotifyList {
  public:
    AURenderNotifyList() = default;
    ~AURenderNotifyList();
    AURenderNotifyList(const AURenderNotifyList&) = delete;
    AURenderNotifyList& operator=(const AURenderNotifyList&) = delete;

    // Any thread. Adding a pair that is already listed changes nothing; removing
    // drops the entry with that function and user data.
    void Add(AURenderCallback proc, void* refCon);
    void Remove(AURenderCallback proc, void* refCon);

    // Render thread: applies the queued requests.
    void Update();
    // Render thread: calls every listed function with a copy of `flags`.
    void Call(AudioUnitRenderActionFlags flags, const AudioTimeStamp& timeStamp, UInt32 bus,
              UInt32 frames, AudioBufferList* buffers) const;
    // Render thread: the number of listed functions.
    unsigned Count() const;

  private:
    struct Node {
        AURenderCallback proc;
        void* refCon;
        bool remove;
        Node* next;
    };
    static void Push(std::atomic<Node*>& stack, Node* node);
    static void FreeChain(Node* node);
    void FreeRetired();
    void Retire(Node* node);

    std::atomic<Node*> mPending{nullptr}; // requests, newest first
    std::atomic<Node*> mRetired{nullptr}; // nodes waiting to be freed
    Node* mActive = nullptr;              // the list, owned by the render thread
};
