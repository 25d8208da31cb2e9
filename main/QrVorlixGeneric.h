// The effect the host's audio flows through, one instance per channel:
//
//   input -> bass filter -> low-mid filter x drive -> model graph -> x post gain -> output
//
// Parameters: 0 "Pre gain" (drive, 0..1), 1 "Post gain" (0..1), 2 "Pre bass"
// (tilts the two fixed filters against each other, 0..1) and 3, the model index
// itself. The model graph runs over 50 work buffers allocated once by init(), as
// long as the longest block its owner will hand it (setMaxBlock()).
#pragma once

#include "blocks/QrIIRFilter.h"
#include "effect/AudioEffectX.h"
#include "graph/AudioNode.h"

#include <memory>
#include <string>
#include <vector>

class DataArchive;

// The host callback given to every building block the factory creates.
extern HostCallback gAudioMaster;

class QrVorlixGeneric : public AudioEffectX {
  public:
    enum Param { kPreGain, kPostGain, kPreBass, kModel, kNumParams };

    explicit QrVorlixGeneric(HostCallback callback);
    ~QrVorlixGeneric() override;

    // Setup thread, before init(): the longest block the work buffers are to hold,
    // in frames, held within 1..kSlotLength. Without it they hold kSlotLength
    // frames. Once init() has made the buffers their length stays: false then.
    bool setMaxBlock(int32_t frames);

    // Second construction step: work buffers (50 slots of the length setMaxBlock()
    // asked for), model list, model 0, fixed presets, drive. Throws
    // std::out_of_range when the archive lists no model.
    void init();

    // Parameter 3 switches the model; an index outside the list throws std::out_of_range.
    void setParameter(int32_t index, float value) override;
    float getParameter(int32_t index) override;
    // Reads inputs[0]; overwrites outputs[0] (and outputs[1] when a second output
    // is connected). In place is fine. Blocks of any length are run in pieces of
    // at most bufferSize frames.
    void process(float** inputs, float** outputs, int32_t sampleFrames) override;
    // Forwards to every effect of the graph and to both fixed filters; returns 0.
    intptr_t dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                        float opt) override;
    void getParameterDisplay(int32_t index, char* text) override;
    void getParameterName(int32_t index, char* text) override;
    int32_t getPlugCategory() override { return 1; }

    // Clears every piece of processing state (both fixed filters, the graph's
    // filters, delay lines, clipper windows and averagers) as if the effect had
    // just been built; parameters, presets and the model stay. Setup or audio
    // thread; allocates nothing.
    void clearState();

    // Bracket every graph run and every graph replacement.
    virtual void enterCriticalSection() = 0;
    virtual void leaveCriticalSection() = 0;

    // Runs the processing list from `first` over the work buffers.
    void processNode(AudioNode* first, int32_t sampleFrames);
    // Appends the archive's model entries (names containing ".xml") and sorts them.
    void scanXml(const char* dir);
    // Builds model `index` and installs it in place of the current graph. False,
    // with the old graph kept, when the entry is missing, unreadable, does not
    // parse or describes a graph that cannot run. Throws std::out_of_range for an
    // index outside the list.
    bool loadXmlZ(int index);
    // The data archive's models and presets, read into memory by init(); every
    // model switch after it reads this copy, never a file.
    std::shared_ptr<const DataArchive> archive;
    // The host callback the blocks of this effect's models get; set by init().
    HostCallback blockCallback = nullptr;

    int32_t currentModel = 0;
    float preGainParam = 0.5f;
    float postGainParam = 0.5f;
    float preBassParam = 0.5f;  // the host's default until the first set
    AudioNode* graph = nullptr; // owned
    float** buffers[kNumSlots] = {};
    QrIIRFilter bassFilter;
    QrIIRFilter loMidFilter;
    std::vector<std::string> modelNames;
    int32_t bufferSize = 0; // frames per work buffer, set by init()

  private:
    int32_t maxBlock = kSlotLength; // frames per work buffer init() makes
    void processPiece(float** inputs, float** outputs, int32_t channels, int32_t offset,
                      int32_t frames, float gain);
};
