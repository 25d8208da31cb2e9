#include "main/QrVorlixGeneric.h"

#include "blocks/FiniteBlock.h"
#include "blocks/IirCascade.h"
#include "blocks/LinearFade.h"
#include "blocks/StateClearing.h"
#include "effect/EffectOpcodes.h"
#include "graph/AveragerAN.h"
#include "main/DataArchive.h"
#include "main/ZipArchive.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

HostCallback gAudioMaster = nullptr;

namespace {
const char* const kNames[] = {"Pre gain", "Post gain", "Pre bass"};

// Forgets everything a graph has heard (filters, saturators, delay lines, clipper
// windows, averager rings); its parameters stay. Allocates nothing.
void clearGraph(AudioNode* first) {
    for (AudioNode* node = first; node; node = node->next) {
        if (auto* averager = dynamic_cast<AveragerAN*>(node))
            averager->clearState();
        if (auto* block = dynamic_cast<StateClearing*>(node->effect))
            block->clearState();
    }
}

// Whether a node of the graph behind its input node writes audio into `slot`: a
// mixer, or an effect node with its block (one without a block writes only work
// slots, with silence).
bool writesAudioTo(const AudioNode* first, int32_t slot) {
    for (const AudioNode* node = first ? first->next : nullptr; node; node = node->next)
        if (node->outBuffer == slot &&
            (node->kind == kMixerNode || (node->kind == kFxNode && node->effect)))
            return true;
    return false;
}

// Whether a node of the graph behind its input node writes `slot`.
bool writesSlot(const AudioNode* first, int32_t slot) {
    for (const AudioNode* node = first ? first->next : nullptr; node; node = node->next)
        if (node->kind != kProcessorNode && node->outBuffer == slot)
            return true;
    return false;
}

// Runs one node that is not a planned equaliser over the work buffers.
void runNode(AudioNode* node, float** (&buffers)[kNumSlots], int32_t sampleFrames) {
    auto valid = [](int32_t slot) { return slot >= 0 && slot < kNumSlots; };
    if (node->kind != kFxNode) {
        node->process(buffers, sampleFrames);
        return;
    }
    const int32_t outSlot = node->outBuffer;
    const int32_t inSlot = node->input ? node->input->outBuffer : kInputSlot;
    if (!valid(outSlot) || !valid(inSlot))
        return; // a slot the table does not have is never indexed
    if (node->effect) {
        node->effect->processReplacing(buffers[inSlot], buffers[outSlot], sampleFrames);
    } else if (outSlot >= kFirstWorkSlot) {
        // A node without an effect writes nothing; its readers hear silence rather
        // than whatever the slot held last.
        std::memset(buffers[outSlot][0], 0, sizeof(float) * static_cast<size_t>(sampleFrames));
    }
}

// Adds a planned equaliser to `chain`.
void addEqualiser(AudioNode* node, float** (&buffers)[kNumSlots], CascadeChain& chain) {
    const int32_t inSlot = node->input ? node->input->outBuffer : kInputSlot;
    chain.add(*node->equaliser, buffers[inSlot][0], buffers[node->outBuffer][0], node->soleReader);
}

// Runs the processing list from `first` up to `end` (null: its end) over the work
// buffers. Consecutive planned equalisers gather in `chain`; any other node runs
// what was gathered first.
void runNodes(AudioNode* first, float** (&buffers)[kNumSlots], int32_t sampleFrames,
              CascadeChain& chain, const AudioNode* end = nullptr) {
    // Equalisers run ahead of their place (AudioNode::hoist), skipped where they stand.
    constexpr int kMaxEarly = 8;
    const AudioNode* early[kMaxEarly];
    int earlyCount = 0;
    auto ranEarly = [&](const AudioNode* node) {
        for (int i = 0; i < earlyCount; ++i)
            if (early[i] == node)
                return true;
        return false;
    };
    for (AudioNode* node = first; node && node != end; node = node->next) {
        if (earlyCount > 0 && ranEarly(node)) {
            // Its output, kept aside, takes its place now.
            chain.flush();
            std::memcpy(buffers[node->outBuffer][0], buffers[node->earlySlot][0],
                        sizeof(float) * static_cast<size_t>(sampleFrames));
            continue;
        }
        if (node->equaliser) {
            addEqualiser(node, buffers, chain);
            AudioNode* ahead = node->hoist;
            if (ahead && ahead->earlySlot >= 0 && earlyCount < kMaxEarly) {
                // Only within this run of the list.
                const AudioNode* at = node->next;
                while (at && at != end && at != ahead)
                    at = at->next;
                const int32_t inSlot = ahead->input ? ahead->input->outBuffer : kInputSlot;
                if (at == ahead && chain.addBranch(*ahead->equaliser, buffers[inSlot][0],
                                                   buffers[ahead->earlySlot][0]))
                    early[earlyCount++] = ahead;
            }
            continue;
        }
        chain.flush();
        runNode(node, buffers, sampleFrames);
    }
    chain.flush();
}

// Whether two processing lists run node for node alike: as long, with planned
// equalisers at the same places.
bool sameShape(const AudioNode* a, const AudioNode* b) {
    for (; a && b; a = a->next, b = b->next)
        if ((a->equaliser == nullptr) != (b->equaliser == nullptr) || a->kind != b->kind)
            return false;
    return !a && !b;
}
} // namespace

namespace {
// An effect, and no names of its own.
constexpr EffectIdentity kIdentity{nullptr, nullptr, nullptr, 0, 1};
} // namespace

QrVorlixGeneric::QrVorlixGeneric(HostCallback callback)
    : AudioEffectX(callback, 1, kNumParams), bassFilter(callback), loMidFilter(callback) {
    setIdentity(kIdentity);
    // Other instances read it under this lock in init(), on their own threads.
    std::lock_guard<std::recursive_mutex> lock(gArchiveLock);
    gAudioMaster = callback;
}

QrVorlixGeneric::~QrVorlixGeneric() {
    if (!lent)
        delete graph;
    for (float**& slot : buffers) {
        if (ownsBuffers)
            delete[] slot; // its samples are in slotPages; a borrower's are the owner's
        slot = nullptr;
    }
}

bool QrVorlixGeneric::setMaxBlock(int32_t frames) {
    if (buffers[0])
        return false;
    maxBlock = std::min(std::max(frames, int32_t{1}), kSlotLength);
    return true;
}

bool QrVorlixGeneric::borrowBuffers(const QrVorlixGeneric& owner) {
    if (buffers[0] || !owner.buffers[0])
        return false;
    std::copy(std::begin(owner.buffers), std::end(owner.buffers), std::begin(buffers));
    bufferSize = owner.bufferSize;
    maxBlock = owner.bufferSize;
    ownsBuffers = false;
    fadeOut = owner.fadeOut;
    fadeInput = owner.fadeInput;
    fadeResult = owner.fadeResult;
    return true;
}

void QrVorlixGeneric::init() {
    // Slots are made in order, so without slot 0 there is none; with it, an earlier
    // call made them all (or some, before running out of memory) at bufferSize.
    if (!buffers[0]) {
        bufferSize = maxBlock;
        // No slot yet, so none points into a mapping made before.
        slotPages = ZeroPages(static_cast<size_t>(kNumSlots) * static_cast<size_t>(bufferSize));
    }
    // Zero, so that a node reading a slot nobody has written yet hears silence.
    for (int32_t i = 0; i < kNumSlots; ++i) {
        if (!buffers[i]) {
            // The list is complete before the table holds it, so that an allocation
            // failing half way leaves nothing for the destructor to free twice.
            auto list = std::make_unique<float*[]>(1);
            list[0] = slotPages.data() + static_cast<size_t>(i) * static_cast<size_t>(bufferSize);
            buffers[i] = list.release();
        }
    }
    // The graph fading out, and slot 0 kept for the graph fading in, one piece each.
    if (!fadeOut)
        fadeOut.reset(new float[static_cast<size_t>(bufferSize)]());
    if (!fadeInput)
        fadeInput.reset(new float[static_cast<size_t>(bufferSize)]());
    if (!fadeResult)
        fadeResult.reset(new float[static_cast<size_t>(bufferSize)]());
    std::string dir;
    {
        // Another instance may be setting the directory on its own thread.
        std::lock_guard<std::recursive_mutex> lock(gArchiveLock);
        dir = gFxDir;
        blockCallback = gAudioMaster;
    }
    // A player's archive is played from a copy holding the bundle's presets too.
    if (!archive && !archivePath.empty())
        archive = DataArchive::withPresetsOf(*DataArchive::readFile(archivePath),
                                             *DataArchive::readDirectory(dir));
    scanXml(dir.c_str());
    loadXmlZ(0);
    if (archive) {
        archive->applyPreset("bass.fxp", &bassFilter);
        archive->applyPreset("lo_mid.fxp", &loMidFilter);
    } else {
        const ZipSession zip; // openZip() ... closeZip()
        loadFXPz("bass.fxp", &bassFilter);
        loadFXPz("lo_mid.fxp", &loMidFilter);
    }
    setParameter(kPreGain, 0.5f);
    // Model switches and prepare() read a copy, never the file.
    if (!archive)
        archive = DataArchive::readDirectory(dir);
}

void QrVorlixGeneric::setParameter(int32_t index, float value) {
    switch (index) {
    case kPreGain: {
        preGainParam = value;
        float e = std::exp(value);
        loMidFilter.params.postGain = (e - 1.0f) + (e - 1.0f);
        break;
    }
    case kPostGain: postGainParam = value; break;
    case kPreBass:
        bassFilter.params.k = bassShelfK(value);
        bassFilter.params.SetFreq(bassFilter.params.freq);
        loMidFilter.params.k = loMidK(value);
        loMidFilter.params.SetFreq(loMidFilter.params.freq);
        preBassParam = value;
        break;
    case kModel: {
        // Truncated toward zero; values no int can hold are as far outside the list
        // as a model index can be.
        int model = -1;
        if (value > -2147483648.0f && value < 2147483648.0f)
            model = static_cast<int>(value);
        loadXmlZ(model);
        break;
    }
    default: break;
    }
}

float QrVorlixGeneric::getParameter(int32_t index) {
    switch (index) {
    case kPreGain: return preGainParam;
    case kPostGain: return postGainParam;
    case kPreBass: return preBassParam;
    case kModel: return static_cast<float>(currentModel);
    default: return 0.0f;
    }
}

void QrVorlixGeneric::getParameterName(int32_t index, char* text) {
    if (index >= 0 && index < kModel)
        std::snprintf(text, kTextSize, "%s", kNames[index]);
}

void QrVorlixGeneric::getParameterDisplay(int32_t index, char* text) {
    switch (index) {
    case kPreGain: std::snprintf(text, kTextSize, "%f", loMidFilter.params.postGain); break;
    case kPostGain: std::snprintf(text, kTextSize, "%f", postGainParam); break;
    case kPreBass: std::snprintf(text, kTextSize, "%f", loMidFilter.params.k); break;
    default: break;
    }
}

intptr_t QrVorlixGeneric::dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                                     float opt) {
    if (opcode == kOpSetSampleRate && opt > 0.0f) {
        dispatchedRate = opt;
        if (lent)
            lent->rate = opt;
        // The graph fading out hears the new rate too: its record must say so, or a
        // later switch back to it would take it for one already at the rate.
        if (fadeFromLent)
            fadeFromLent->rate = opt;
    }
    if (graph)
        graph->dispatcher(opcode, index, value, ptr, opt);
    if (fadeFrom)
        fadeFrom->dispatcher(opcode, index, value, ptr, opt);
    bassFilter.AudioEffectX::dispatcher(opcode, index, value, ptr, opt);
    loMidFilter.AudioEffectX::dispatcher(opcode, index, value, ptr, opt);
    return 0;
}

void QrVorlixGeneric::processNodes(AudioNode* first, AudioNode* end, int32_t sampleFrames,
                                   CascadeChain& chain) {
    runNodes(first, buffers, sampleFrames, chain, end);
}

void QrVorlixGeneric::processNode(AudioNode* first, int32_t sampleFrames) {
    CascadeChain chain(sampleFrames, &cascades);
    runNodes(first, buffers, sampleFrames, chain);
}

bool QrVorlixGeneric::processPiece(float** inputs, float** outputs, int32_t channels,
                                   int32_t offset, int32_t frames, float gain) {
    // The fixed stage and the equalisers at the head of the model run as one cascade.
    CascadeChain chain(frames, &cascades);
    startPiece(chain, inputs[0] + offset);
    if (fadeLength > 0) {
        chain.flush();
        processFade(frames);
    } else if (graph) {
        runNodes(graph->next, buffers, frames, chain);
    }
    chain.flush();
    bool finite = true;
    for (int32_t c = 0; c < channels; ++c)
        finite &= finishPiece(outputs[c] + offset, frames, gain);
    return finite;
}

bool QrVorlixGeneric::canRunWith(QrVorlixGeneric& other) {
    return this != &other && buffers[0] && other.buffers[0] && bufferSize == other.bufferSize &&
           fadeLength == 0 && other.fadeLength == 0 && graph && other.graph &&
           loMidFilter.params.postGain != 0.0f && other.loMidFilter.params.postGain != 0.0f &&
           !isOutputConnected(1) && !other.isOutputConnected(1) && sameShape(graph, other.graph);
}

bool QrVorlixGeneric::processPair(QrVorlixGeneric& a, float* ioA, QrVorlixGeneric& b, float* ioB,
                                  int32_t sampleFrames) {
    if (sampleFrames <= 0 || !a.canRunWith(b))
        return false;
    a.enterCriticalSection();
    b.enterCriticalSection();
    const float gainA = a.outputGain();
    const float gainB = b.outputGain();
    a.finiteOutput = b.finiteOutput = true;
    for (int32_t offset = 0; offset < sampleFrames; offset += a.bufferSize) {
        const int32_t frames = std::min(a.bufferSize, sampleFrames - offset);
        CascadeChain chainA(frames, &a.cascades), chainB(frames, &b.cascades);
        chainA.pairWith(chainB);
        a.startPiece(chainA, ioA + offset);
        b.startPiece(chainB, ioB + offset);
        processNodesPaired(a, a.graph->next, nullptr, b, b.graph->next, frames, chainA, chainB);
        a.finiteOutput &= a.finishPiece(ioA + offset, frames, gainA);
        b.finiteOutput &= b.finishPiece(ioB + offset, frames, gainB);
    }
    b.leaveCriticalSection();
    a.leaveCriticalSection();
    return true;
}

void QrVorlixGeneric::processNodesPaired(QrVorlixGeneric& a, AudioNode* firstA, AudioNode* endA,
                                         QrVorlixGeneric& b, AudioNode* firstB, int32_t frames,
                                         CascadeChain& chainA, CascadeChain& chainB) {
    AudioNode* nodeB = firstB;
    for (AudioNode* nodeA = firstA; nodeA && nodeA != endA && nodeB;
         nodeA = nodeA->next, nodeB = nodeB->next) {
        if (nodeA->equaliser) {
            addEqualiser(nodeA, a.buffers, chainA);
            addEqualiser(nodeB, b.buffers, chainB);
            continue;
        }
        chainA.flush(); // and chainB's
        runNode(nodeA, a.buffers, frames);
        runNode(nodeB, b.buffers, frames);
    }
    chainA.flush();
}

void QrVorlixGeneric::startPiece(CascadeChain& chain, const float* in) {
    chain.add(bassFilter.params, in, buffers[1][0]);
    // The bass filter's output in slot 1 is heard only when no model writes there
    // (and, while models fade, whatever the fade keeps of it).
    const bool overwritten = graph && fadeLength == 0 && graph->outputWritten;
    chain.add(loMidFilter.params, buffers[1][0], buffers[0][0], overwritten);
}

bool QrVorlixGeneric::finishPiece(float* out, int32_t frames, float gain) {
    return guard::scale(buffers[1][0], out, static_cast<uint32_t>(frames), gain);
}

float QrVorlixGeneric::outputGain() {
    uint32_t bits;
    std::memcpy(&bits, &postGainParam, sizeof bits);
    if (!gainMade || bits != gainMadeFrom) {
        gainValue = (std::pow(9.0f, postGainParam) - 1.0f) / 9.0f;
        gainMadeFrom = bits;
        gainMade = true;
    }
    return gainValue;
}

void QrVorlixGeneric::process(float** inputs, float** outputs, int32_t sampleFrames) {
    const int32_t channels = isOutputConnected(1) ? 2 : 1;
    finiteOutput = true;
    if (sampleFrames <= 0)
        return;
    if (loMidFilter.params.postGain == 0.0f) {
        for (int32_t c = 0; c < channels; ++c)
            std::memset(outputs[c], 0, sizeof(float) * static_cast<size_t>(sampleFrames));
        return;
    }
    if (!buffers[0]) {
        finiteOutput = false; // nothing written
        return;               // init() has not run: there is nowhere to work
    }
    enterCriticalSection();
    const float gain = outputGain();
    for (int32_t offset = 0; offset < sampleFrames; offset += bufferSize) {
        const int32_t frames = std::min(bufferSize, sampleFrames - offset);
        finiteOutput &= processPiece(inputs, outputs, channels, offset, frames, gain);
    }
    leaveCriticalSection();
}

void QrVorlixGeneric::clearState() {
    bassFilter.clearState();
    loMidFilter.clearState();
    bassTwin.clearState();
    loMidTwin.clearState();
    if (lent && lent->ends)
        lent->ends->clearState();
    // A fade under way ends, and a switch waiting for it is made at once: the graph
    // starts from silence either way.
    PreparedGraph* waiting = queued;
    endFade();
    queued = nullptr;
    if (waiting && waiting != lent)
        swapIn(waiting);
    clearGraph(graph);
}

int32_t QrVorlixGeneric::fadeSamples() const {
    return fade::samplesFor(static_cast<double>(runningRate()), kFadeMs);
}

AudioNode* QrVorlixGeneric::swapIn(PreparedGraph* next) {
    AudioNode* old = graph;
    // A graph loadXmlZ() built is kept, not freed here (the render thread frees nothing).
    if (!lent && old && !displaced)
        displaced.reset(old);
    const float rate = runningRate();
    if (next->rate != rate) {
        next->graph->dispatcher(kOpSetSampleRate, 0, 0, nullptr, rate);
        next->rate = rate;
    }
    if (next->played) {
        clearGraph(next->graph);
        if (next->ends)
            next->ends->clearState();
    }
    next->played = true;
    lent = next;
    graph = next->graph;
    currentModel = next->model;
    return old;
}

void QrVorlixGeneric::endFade() {
    fadeFrom = nullptr;
    fadeFromLent = nullptr;
    fadeLength = 0;
    fadePos = 0;
}

bool QrVorlixGeneric::install(PreparedGraph* next) {
    if (!next || !next->graph)
        return false;
    enterCriticalSection();
    endFade();
    queued = nullptr;
    if (next != lent)
        swapIn(next);
    leaveCriticalSection();
    return true;
}

void QrVorlixGeneric::release() {
    enterCriticalSection();
    endFade();
    queued = nullptr;
    if (lent) {
        lent = nullptr;
        graph = nullptr;
    }
    leaveCriticalSection();
}

bool QrVorlixGeneric::switchTo(PreparedGraph* next) {
    if (!next || !next->graph)
        return false;
    enterCriticalSection();
    beginSwitch(next);
    leaveCriticalSection();
    return true;
}

void QrVorlixGeneric::beginSwitch(PreparedGraph* next) {
    if (fadeLength > 0) {
        queued = next == lent ? nullptr : next; // the last request wins
    } else if (next != lent) {
        PreparedGraph* before = lent;
        AudioNode* old = swapIn(next);
        // Without fade buffers (init() has not run) the switch is immediate.
        if (fadeOut) {
            fadeFrom = old;
            fadeFromLent = before;
            fadeKeepsInput = writesSlot(old, kInputSlot);
            // A graph writing no audio to slot 1 plays what the fixed stage left there,
            // which the graph fading out overwrites.
            fadeKeepsResult = !writesAudioTo(graph, kOutputSlot);
            fadeLength = fadeSamples();
            fadePos = 0;
        }
    }
}

void QrVorlixGeneric::processFade(int32_t frames) {
    const size_t bytes = sizeof(float) * static_cast<size_t>(frames);
    float* input = buffers[kInputSlot][0];
    float* result = buffers[kOutputSlot][0];
    if (fadeKeepsInput)
        std::memcpy(fadeInput.get(), input, bytes);
    if (fadeKeepsResult)
        std::memcpy(fadeResult.get(), result, bytes);
    // Without a graph before, what played was slot 1 as the fixed stage left it.
    if (fadeFrom)
        processNode(fadeFrom->next, frames);
    std::memcpy(fadeOut.get(), result, bytes);
    if (fadeKeepsInput)
        std::memcpy(input, fadeInput.get(), bytes);
    if (fadeKeepsResult)
        std::memcpy(result, fadeResult.get(), bytes);
    processNode(graph->next, frames);

    // Samples after the fade's last are the new graph's alone.
    const int32_t n = std::min(frames, fadeLength - fadePos);
    fade::crossfade(fadeOut.get(), result, n, fadePos, fadeLength);
    fadePos += n;
    if (fadePos >= fadeLength) {
        endFade();
        PreparedGraph* waiting = queued;
        queued = nullptr;
        if (waiting)
            beginSwitch(waiting);
    }
}
