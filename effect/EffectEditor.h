// The interface of an effect's editor. No effect in this system installs one; the
// dispatcher forwards the editor opcodes here only when an editor is present.
#pragma once

#include <cstdint>

struct EditorRect {
    int16_t top, left, bottom, right;
};

// A key event as the dispatcher hands it to the editor.
struct EditorKey {
    int32_t character;
    uint8_t virtualKey;
    uint8_t modifier;
    uint8_t unused[2];
};

class EffectEditor {
  public:
    virtual ~EffectEditor() = default;
    virtual intptr_t getRect(EditorRect** rect) = 0;
    virtual intptr_t open(void* window) = 0;
    virtual void close() = 0;
    virtual void idle() {}
    // Two slots the framework never calls.
    virtual void reserved1() {}
    virtual void reserved2() {}
    virtual intptr_t onKeyDown(EditorKey& /*key*/) { return 0; }
    virtual intptr_t onKeyUp(EditorKey& /*key*/) { return 0; }
    virtual intptr_t setKnobMode(intptr_t /*mode*/) { return 0; }
};
