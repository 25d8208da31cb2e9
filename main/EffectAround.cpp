// The main effect around an oversampler, its linear ends at the stream's rate
// (QrVorlixGeneric::processAround).
#include "blocks/FiniteBlock.h"
#include "blocks/IirCascade.h"
#include "blocks/Oversampler.h"
#include "main/QrVorlixGeneric.h"

bool QrVorlixGeneric::aroundMoving(LinearEnds& ends, float baseRate, float highRate) {
    bassTwin.follow(bassFilter.params, highRate, baseRate);
    loMidTwin.follow(loMidFilter.params, highRate, baseRate);
    // The fixed stage is heard at every gain its "Pre bass" control reaches.
    const FixedVoicing fixed{{&bassFilter.params, &loMidFilter.params},
                             {&bassTwin, &loMidTwin},
                             {bassShelfK(0.0f), loMidK(1.0f)},
                             {bassShelfK(1.0f), loMidK(0.0f)}};
    ends.tune(baseRate, highRate, fixed);
    return ends.headMoves() || ends.tailMoves();
}

bool QrVorlixGeneric::processAround(Oversampler& os, float* io, float* out, int32_t frames,
                                    float* high, float baseRate) {
    const int32_t factor = os.factor();
    const int32_t highFrames = frames * factor;
    LinearEnds* ends = lent && fadeLength == 0 && graph && buffers[0] ? lent->ends.get() : nullptr;
    const bool muted = loMidFilter.params.postGain == 0.0f;
    const float highRate = baseRate * static_cast<float>(factor);
    if (factor <= 1 || !ends || muted || highFrames > bufferSize ||
        !aroundMoving(*ends, baseRate, highRate)) {
        // The whole effect oversampled.
        float* run = factor > 1 ? high : io;
        if (factor > 1)
            os.upsample(io, frames, high);
        float* result = factor > 1 ? high : out;
        process(&run, &result, highFrames);
        if (factor <= 1)
            return outputFinite();
        os.downsample(high, out, frames);
        return guard::all(out, static_cast<uint32_t>(frames));
    }
    enterCriticalSection();
    const bool headMoves = ends->headMoves(), tailMoves = ends->tailMoves();
    const float gain = outputGain();
    if (headMoves) {
        // The fixed stage and the head in place at the stream's rate, one cascade.
        CascadeChain chain(frames, &cascades);
        chain.add(bassTwin.params(), io, io);
        chain.add(loMidTwin.params(), io, io, true);
        for (int32_t i = 0; i < ends->headCount(); ++i)
            chain.add(ends->headTwin(i), io, io, true);
        chain.flush();
        os.upsample(io, frames, buffers[ends->headSlot()][0]);
    } else {
        os.upsample(io, frames, high);
    }
    {
        CascadeChain chain(highFrames, &cascades);
        AudioNode* first = headMoves ? ends->coreFirst() : graph->next;
        if (!headMoves)
            startPiece(chain, high);
        processNodes(first, tailMoves ? ends->tailFirst() : nullptr, highFrames, chain);
    }
    bool finite;
    if (tailMoves) {
        os.downsample(buffers[ends->tailSlot()][0], io, frames);
        CascadeChain chain(frames, &cascades);
        for (int32_t i = 0; i < ends->tailCount(); ++i)
            chain.add(ends->tailTwin(i), io, io, i > 0);
        chain.flush();
        finite = guard::scale(io, out, static_cast<uint32_t>(frames), gain);
    } else {
        finishPiece(high, highFrames, gain);
        os.downsample(high, out, frames);
        finite = guard::all(out, static_cast<uint32_t>(frames));
    }
    finiteOutput = finite;
    leaveCriticalSection();
    return finite;
}
