// Where the graph builder gets its building blocks: a factory that makes a block of
// a kind and applies the preset a model names for it. The builder's caller decides
// where presets come from (the main effect: its in-memory data archive, or the
// archive file open through main/ZipArchive.h when it has no copy).
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

// Makes blocks as createEffect() does (main/ZipArchive.h): with their presets from
// the data archive file that is open, none when it is closed, talking to
// gAudioMaster. It holds gArchiveLock for its whole life, so that a graph built
// with it sees one archive from start to end; make it before the build starts
// (the archive's lock is always taken before the builder's). Defined with the
// archive functions.
class OpenArchiveFactory : public EffectFactory {
  public:
    OpenArchiveFactory();
    ~OpenArchiveFactory() override;
    OpenArchiveFactory(const OpenArchiveFactory&) = delete;
    OpenArchiveFactory& operator=(const OpenArchiveFactory&) = delete;
    AudioEffectX* create(AudioNode::FXType type, const char* id, PresetStatus* status) override;
};

// A new building block of `type` at its defaults, talking to `callback`; null for
// kFxNone or an unknown type. The caller owns the result.
AudioEffectX* createBlock(AudioNode::FXType type, HostCallback callback);
