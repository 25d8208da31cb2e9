// Where the graph builder gets its building blocks: a factory that makes a block of
// a kind and applies the preset a model names for it. The builder's caller decides
// where presets come from (the main effect: its in-memory data archive).
#pragma once

#include "effect/AEffect.h"
#include "graph/AudioNode.h"

class AudioEffectX;

// What became of a block's preset.
enum class PresetStatus {
    kApplied, // its values were set
    kMissing, // no such preset, or too short to hold its header: nothing set
    kRefused, // it holds a value that is not a finite number: nothing set
};

class EffectFactory {
  public:
    virtual ~EffectFactory() = default;
    // A new building block of `type` with the preset named by `id` applied; null for
    // kFxNone or an unknown type. The caller owns the result. `status`, when given,
    // receives what became of the preset. Called while a graph is built.
    virtual AudioEffectX* create(AudioNode::FXType type, const char* id, PresetStatus* status) = 0;
};

// Makes blocks at their defaults: it has no presets, so every preset is missing.
class DefaultBlockFactory : public EffectFactory {
  public:
    explicit DefaultBlockFactory(HostCallback callback) : callback(callback) {}
    AudioEffectX* create(AudioNode::FXType type, const char* id, PresetStatus* status) override;

  private:
    HostCallback callback;
};

// A new building block of `type` at its defaults, talking to `callback`; null for
// kFxNone or an unknown type. The caller owns the result.
AudioEffectX* createBlock(AudioNode::FXType type, HostCallback callback);
