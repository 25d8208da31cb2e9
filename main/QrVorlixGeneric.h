// The effect the host's audio flows through, one instance per channel:
//
//   input -> bass filter -> low-mid filter x drive -> model graph -> x post gain -> output
//
// Parameters: 0 "Pre gain" (drive, 0..1), 1 "Post gain" (0..1), 2 "Pre bass"
// (tilts the two fixed filters against each other, 0..1) and 3, the model index
// itself. The model graph runs over 50 work buffers allocated once by init(), as
// long as the longest block its owner will hand it (setMaxBlock()).
//
// Switching models on the render thread: prepare() builds a model's graph on any
// other thread, and install() (at once) or switchTo() (with a crossfade) puts it in
// place between blocks without allocating, locking or reading the archive. A
// crossfade runs both graphs for kFadeMs and mixes their outputs with linear gains
// (equal gain: the two models hear the same input, so their outputs are largely in
// phase, and a linear mix of two signals is never louder than the louder of them).
#pragma once

#include "blocks/IirCascade.h"
#include "blocks/LinearFade.h"
#include "blocks/QrIIRFilter.h"
#include "blocks/RateMatch.h"
#include "effect/AudioEffectX.h"
#include "graph/AudioNode.h"
#include "graph/BuildReason.h"
#include "graph/LinearEnds.h"
#include "main/ZeroPages.h"

#include <memory>
#include <string>
#include <vector>

class DataArchive;
class Oversampler;

// A model's graph built, readied and told the effect's rate off the render thread,
// waiting to be installed. Whoever holds it keeps it alive while an effect plays it
// or fades it out (the unit's kernels keep theirs for their own life), so that
// nothing is freed on the render thread.
struct PreparedGraph {
    PreparedGraph() = default;
    PreparedGraph(const PreparedGraph&) = delete;
    PreparedGraph& operator=(const PreparedGraph&) = delete;
    ~PreparedGraph() { delete graph; }

    AudioNode* graph = nullptr; // owned: the input node, its `next` the processing list
    int32_t model = -1;         // index in the effect's model list
    float rate = 0.0f;          // Hz the graph was last told
    bool played = false;        // has run since it was built or last cleared
    // A second graph of the same model, built with this one, for a channel that
    // plays the model at two rates at once (ChannelEngine's oversampling change).
    std::unique_ptr<PreparedGraph> twin;
    // The graph's linear ends, for processAround(); null: the graph always runs
    // whole at its own rate.
    std::unique_ptr<LinearEnds> ends;
};

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
    // Setup thread, before init(): this effect works in `owner`'s work buffers and
    // fade scratch instead of making its own (`owner` initialised; its work buffers
    // must outlive this effect). For two effects one thread runs one after the
    // other: the buffers carry nothing from one piece to the next. False, nothing
    // shared, when `owner` has no buffers or this effect has its own already.
    bool borrowBuffers(const QrVorlixGeneric& owner);

    // Second construction step, setup thread: work buffers (50 slots of the length
    // setMaxBlock() asked for), model list (scanXml()), model 0 (loadXmlZ(0)), the
    // presets "bass.fxp" and "lo_mid.fxp" of the two fixed filters, drive 0.5.
    // Where the archive comes from:
    //  - `archive` given (set before init()): that copy alone; no file is opened.
    //  - else `archivePath` named: that file and the plug-in directory's archive
    //    are read into a copy first (see archivePath), and everything comes from it.
    //  - else the plug-in directory's archive file, read in place: the list, model
    //    0 and the fixed presets each between openZip() and closeZip()
    //    (main/ZipArchive.h); then the file is read once more into `archive`, which
    //    later switches and prepare() read.
    // Throws std::out_of_range when the archive lists no model (nothing after the
    // list is done then: no preset, no drive).
    void init();

    // The fixed filters' gain controls for a "Pre bass" value (0..1).
    static float bassShelfK(float bass) { return bass * 0.25f + 0.375f; }
    static float loMidK(float bass) { return (bass * 0.25f) * -2.0f + 0.75f; }
    // Parameter 3 switches the model; an index outside the list throws std::out_of_range.
    void setParameter(int32_t index, float value) override;
    float getParameter(int32_t index) override;
    // Reads inputs[0]; overwrites outputs[0] (and outputs[1] when a second output
    // is connected). In place is fine. Blocks of any length are run in pieces of
    // at most bufferSize frames.
    void process(float** inputs, float** outputs, int32_t sampleFrames) override;
    // Audio thread: runs `a` over `ioA` and `b` over `ioB` (one channel each, in
    // place) as a.process() and b.process() would, bit for bit, their equaliser
    // cascades side by side in the vector lanes. False, with nothing run, when they
    // cannot run together (see canRunWith()). Allocates nothing.
    static bool processPair(QrVorlixGeneric& a, float* ioA, QrVorlixGeneric& b, float* ioB,
                            int32_t sampleFrames);
    // Audio thread: whether the last process() or processPair() wrote every output
    // sample it was handed, all of them finite (checked as the post gain writes them).
    bool outputFinite() const { return finiteOutput; }
    // Whether this effect and `other` can run as a pair now: both initialised with
    // work buffers of one length, neither fading nor muted by a zero drive, one
    // output each, playing graphs of the same shape (the same model).
    bool canRunWith(QrVorlixGeneric& other);
    // Audio thread: `frames` samples at the stream's rate `baseRate` (Hz) from `io`
    // through the effect around `os` (at a factor above 1, the effect told the
    // stream's rate times it), into `out` (`io` itself is fine; `io` is overwritten).
    // Where the graph playing was handed in with its linear ends and they may move
    // (graph/LinearEnds), the fixed stage and the head run at the stream's rate
    // before `os` upsamples, the tail after it downsamples; otherwise, and during a
    // fade, the whole effect runs oversampled, as process() between the two halves
    // of `os`. `high`: scratch of frames x factor samples. False when an output
    // sample is not finite. Allocates nothing.
    bool processAround(Oversampler& os, float* io, float* out, int32_t frames, float* high,
                       float baseRate);
    // Audio thread: processAround() for two channels, `a` around `osA` and `b` around
    // `osB`, bit for bit, their equalisers side by side in the vector lanes. False, with
    // nothing run, when they cannot run together: canRunWith() says no, the factors
    // differ or are 1, or their graphs' ends do not move alike. `finite` gets each
    // output's processAround() result.
    struct AroundPiece {
        Oversampler* os;
        float* io;
        float* out;
        float* high;
    };
    static bool processAroundPair(QrVorlixGeneric& a, const AroundPiece& pa, QrVorlixGeneric& b,
                                  const AroundPiece& pb, int32_t frames, float baseRate,
                                  bool finite[2]);
    // Forwards to every effect of the graph and to both fixed filters; returns 0.
    intptr_t dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                        float opt) override;
    void getParameterDisplay(int32_t index, char* text) override;
    void getParameterName(int32_t index, char* text) override;

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
    // Appends the archive's model entries (names containing ".xml", as written, of
    // at most DataArchive::kMaxListedNameBytes bytes) to modelNames and sorts it
    // byte-wise. From `archive` when there is one; else from the plug-in
    // directory's archive file, opened and closed here (`dir` is not used: the
    // file is found as openZip() finds it). Setup thread.
    void scanXml(const char* dir);
    // Builds model `index` and installs it in place of the current graph (told the
    // effect's sample rate first). From `archive` when there is one; else from the
    // archive file, which stays open while the graph is built so that each block
    // gets its preset from it (createEffect()), and is closed before the graph is
    // installed. False, with the old graph kept, when the entry is missing,
    // unreadable, does not parse or describes a graph that cannot run. Throws
    // std::out_of_range for an index outside the list, before anything is read.
    bool loadXmlZ(int index);

    // Crossfade length of switchTo(), in ms at the effect's running rate.
    static constexpr double kFadeMs = fade::kFadeMs;
    // Any thread but the render thread (setup, typically): builds model `index` at the
    // effect's rate and readies it to run, reading the in-memory archive. Null when
    // the model cannot be built (as loadXmlZ() refuses it). Throws std::out_of_range
    // for an index outside the list.
    std::unique_ptr<PreparedGraph> prepare(int index);
    // Why the last model build that failed (loadXmlZ() or prepare()) refused its
    // model: every reason the builder found, with element ids and lines. Kept
    // until the next refusal; read on the thread that builds, never on the render
    // thread.
    const BuildReasons& lastRefusal() const { return refusal; }
    // As prepare(index), told `rate` (Hz) instead of the running rate: for a thread
    // that must not read what the render thread writes. A graph told another rate
    // than the one running is told it when installed.
    std::unique_ptr<PreparedGraph> prepare(int index, float rate);
    // Audio thread, between blocks: plays `next` from the next block on, at once (no
    // fade), ending any fade under way and dropping a queued switch. A graph that has
    // played before is cleared first, so it sounds as if just built; one told another
    // rate is told the running rate. Allocates nothing, takes no lock, frees nothing:
    // a graph loadXmlZ() built and this displaces is kept until the next loadXmlZ()
    // or the effect's end. False (nothing changes) for a null or empty `next`.
    bool install(PreparedGraph* next);
    // Audio thread, between blocks: as install(), but the output fades linearly from
    // the graph playing to `next` over kFadeMs; both graphs run meanwhile. A switch
    // asked for during a fade waits for it to end, and the last one asked for wins
    // (one asking for the graph fading in cancels the wait). getParameter(3) reports
    // the model fading in. Switching to the graph playing does nothing.
    bool switchTo(PreparedGraph* next);
    // Audio thread, between blocks: lets go of every graph it was lent (a fade under
    // way and a switch waiting end), so that their holder may free them; until the
    // next install() the fixed stage plays alone. A graph the effect owns stays.
    void release();
    // Samples left in the fade under way (0: none).
    int32_t fadeRemaining() const { return fadeLength - fadePos; }
    // Samples a fade lasts at the running rate.
    int32_t fadeSamples() const;
    // Setup thread, before init(): a data archive file to play instead of the one in
    // the plug-in directory (empty: that one). Its models make the model list; the
    // presets it lacks come from the plug-in directory's archive. Not read when
    // `archive` is given.
    std::string archivePath;
    // The data archive's models and presets in memory. Set it before init() to give
    // the effect a copy to play (DataArchive::readFile(), withPresetsOf(), a
    // checked player's archive from checkUserArchive()): init() then opens no file
    // at all, and every effect given the same copy shares it (it is immutable).
    // Left null, init() reads one (see init()). Every model switch and prepare()
    // after init() reads this copy, never a file.
    std::shared_ptr<const DataArchive> archive;
    // The host callback the blocks of this effect's models get; set by init().
    HostCallback blockCallback = nullptr;

    int32_t currentModel = 0;
    float preGainParam = 0.5f;
    float postGainParam = 0.5f;
    float preBassParam = 0.5f; // the host's default until the first set
    // The graph playing (fading in during a fade): owned when loadXmlZ() built it (or
    // a test put it there), else lent by install() or switchTo().
    AudioNode* graph = nullptr;
    float** buffers[kNumSlots] = {};
    // Where the work slots' samples live: one mapping, slot after slot (a slot no
    // model writes takes no memory).
    ZeroPages slotPages;
    QrIIRFilter bassFilter;
    QrIIRFilter loMidFilter;
    std::vector<std::string> modelNames;
    int32_t bufferSize = 0; // frames per work buffer, set by init()

  private:
    int32_t maxBlock = kSlotLength; // frames per work buffer init() makes
    bool ownsBuffers = true;        // false: borrowed (borrowBuffers())
    // Puts `next` in place of the graph playing; the displaced graph is returned (it
    // stays alive: lent, or kept in `displaced`).
    AudioNode* swapIn(PreparedGraph* next);
    // switchTo() inside the critical section.
    void beginSwitch(PreparedGraph* next);
    // Ends a fade at once: the graph fading in plays alone.
    void endFade();
    // Runs the graph fading out and the one fading in over the piece in the work
    // buffers and leaves their mix in slot 1.
    void processFade(int32_t frames);
    // Builds model `index` of `archive` told `rate` and readied to run; null when it
    // cannot be built.
    std::unique_ptr<AudioNode> build(int index, float rate);
    // The same from the archive file, open while the graph is built.
    std::unique_ptr<AudioNode> buildFromFile(int index, float rate);
    // `built` told `rate` and readied to run; null, keeping the report's reasons as
    // the last refusal, when nothing was built.
    std::unique_ptr<AudioNode> readied(std::unique_ptr<AudioNode> built, BuildReport& report,
                                       float rate);
    // The rate the graph runs at: the one last dispatched (opcode 10), else the effect's.
    float runningRate() const { return dispatchedRate > 0.0f ? dispatchedRate : sampleRate; }

    BuildReasons refusal;                  // see lastRefusal()
    PreparedGraph* lent = nullptr;         // describes `graph` when it is lent
    std::unique_ptr<AudioNode> displaced;  // an owned graph install() displaced
    AudioNode* fadeFrom = nullptr;         // the graph fading out (alive: see above)
    PreparedGraph* fadeFromLent = nullptr; // describes `fadeFrom` when it was lent
    PreparedGraph* queued = nullptr;       // a switch waiting for the fade to end
    int32_t fadeLength = 0;                // samples of the fade under way
    int32_t fadePos = 0;                   // samples of it already heard
    bool fadeKeepsInput = false;           // the graph fading out writes slot 0
    float dispatchedRate = 0.0f;           // Hz; 0 until opcode 10 arrives
    // Scratch of processFade(), shared with an effect that borrows the buffers.
    std::shared_ptr<float[]> fadeOut;    // bufferSize samples: the graph fading out
    std::shared_ptr<float[]> fadeInput;  // bufferSize samples: slot 0, kept for the new graph
    std::shared_ptr<float[]> fadeResult; // bufferSize samples: slot 1, kept for the new graph
    bool fadeKeepsResult = false;        // the new graph writes no audio to slot 1
    CascadeCarry cascades;               // the equaliser wavefronts between blocks
    // The fixed filters' twins at the stream's rate, for processAround().
    RateMatch::RateTwin bassTwin, loMidTwin;
    // The fixed stage's twins and the head's, then the tail's, gathered in `chain`
    // in place over `io` at the stream's rate.
    void addHead(CascadeChain& chain, LinearEnds& ends, float* io);
    void addTail(CascadeChain& chain, LinearEnds& ends, float* io);
    // processAround() with the graph's ends `ends` in step; false: run whole.
    bool aroundMoving(LinearEnds& ends, float baseRate, float highRate);
    // False when an output sample is not finite.
    bool processPiece(float** inputs, float** outputs, int32_t channels, int32_t offset,
                      int32_t frames, float gain);
    // The lists of `a` from `firstA` up to `endA` (exclusive; null: the end) and of `b`
    // from `firstB`, node for node (graphs of the same shape), their equalisers side
    // by side in `chainA` paired with `chainB`; both flushed at the end.
    static void processNodesPaired(QrVorlixGeneric& a, AudioNode* firstA, AudioNode* endA,
                                   QrVorlixGeneric& b, AudioNode* firstB, int32_t frames,
                                   CascadeChain& chainA, CascadeChain& chainB);
    // Runs the processing list from `first` up to `end` (exclusive; null: the end).
    void processNodes(AudioNode* first, AudioNode* end, int32_t sampleFrames, CascadeChain& chain);
    // The fixed stage over `in` into slot 0, gathered in `chain`.
    void startPiece(CascadeChain& chain, const float* in);
    // Slot 1 times `gain` into `out`; false when a product is not finite.
    bool finishPiece(float* out, int32_t frames, float gain);

    // The post gain for postGainParam, made again only when the control changes.
    float outputGain();
    uint32_t gainMadeFrom = 0; // postGainParam's bits when gainValue was made
    bool gainMade = false;
    float gainValue = 0.0f;
    bool finiteOutput = false; // see outputFinite()
};
