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

void QrVorlixGeneric::addHead(CascadeChain& chain, LinearEnds& ends, float* io) {
    // The fixed stage and the head in place at the stream's rate, one cascade.
    chain.add(bassTwin.params(), io, io);
    chain.add(loMidTwin.params(), io, io, true);
    for (int32_t i = 0; i < ends.headCount(); ++i)
        chain.add(ends.headTwin(i), io, io, true);
}

void QrVorlixGeneric::addTail(CascadeChain& chain, LinearEnds& ends, float* io) {
    for (int32_t i = 0; i < ends.tailCount(); ++i)
        chain.add(ends.tailTwin(i), io, io, i > 0);
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
        CascadeChain chain(frames, &cascades);
        addHead(chain, *ends, io);
        chain.flush();
        os.upsample(io, frames, buffers[ends->headSlot()][0]);
    } else {
        os.upsample(io, frames, high);
    }
    {
        CascadeChain chain(highFrames, &cascades);
        if (!headMoves)
            startPiece(chain, high);
        processNodes(headMoves ? ends->coreFirst() : graph->next,
                     tailMoves ? ends->tailFirst() : nullptr, highFrames, chain);
    }
    bool finite;
    if (tailMoves) {
        os.downsample(buffers[ends->tailSlot()][0], io, frames);
        CascadeChain chain(frames, &cascades);
        addTail(chain, *ends, io);
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

bool QrVorlixGeneric::processAroundPair(QrVorlixGeneric& a, const AroundPiece& pa,
                                        QrVorlixGeneric& b, const AroundPiece& pb, int32_t frames,
                                        float baseRate, bool finite[2]) {
    const int32_t factor = pa.os->factor();
    const int32_t highFrames = frames * factor;
    if (frames <= 0 || factor <= 1 || pb.os->factor() != factor || !a.canRunWith(b) || !a.lent ||
        !b.lent || !a.lent->ends || !b.lent->ends || highFrames > a.bufferSize)
        return false;
    LinearEnds& endsA = *a.lent->ends;
    LinearEnds& endsB = *b.lent->ends;
    const float highRate = baseRate * static_cast<float>(factor);
    a.aroundMoving(endsA, baseRate, highRate);
    b.aroundMoving(endsB, baseRate, highRate);
    const bool headMoves = endsA.headMoves(), tailMoves = endsA.tailMoves();
    if (endsB.headMoves() != headMoves || endsB.tailMoves() != tailMoves)
        return false;
    a.enterCriticalSection();
    b.enterCriticalSection();
    const float gainA = a.outputGain(), gainB = b.outputGain();
    if (headMoves) {
        CascadeChain chainA(frames, &a.cascades), chainB(frames, &b.cascades);
        chainA.pairWith(chainB);
        a.addHead(chainA, endsA, pa.io);
        b.addHead(chainB, endsB, pb.io);
        chainA.flush();
        pa.os->upsample(pa.io, frames, a.buffers[endsA.headSlot()][0]);
        pb.os->upsample(pb.io, frames, b.buffers[endsB.headSlot()][0]);
    } else {
        pa.os->upsample(pa.io, frames, pa.high);
        pb.os->upsample(pb.io, frames, pb.high);
    }
    {
        CascadeChain chainA(highFrames, &a.cascades), chainB(highFrames, &b.cascades);
        chainA.pairWith(chainB);
        if (!headMoves) {
            a.startPiece(chainA, pa.high);
            b.startPiece(chainB, pb.high);
        }
        processNodesPaired(a, headMoves ? endsA.coreFirst() : a.graph->next,
                           tailMoves ? endsA.tailFirst() : nullptr, b,
                           headMoves ? endsB.coreFirst() : b.graph->next, highFrames, chainA,
                           chainB);
    }
    if (tailMoves) {
        pa.os->downsample(a.buffers[endsA.tailSlot()][0], pa.io, frames);
        pb.os->downsample(b.buffers[endsB.tailSlot()][0], pb.io, frames);
        CascadeChain chainA(frames, &a.cascades), chainB(frames, &b.cascades);
        chainA.pairWith(chainB);
        a.addTail(chainA, endsA, pa.io);
        b.addTail(chainB, endsB, pb.io);
        chainA.flush();
        finite[0] = guard::scale(pa.io, pa.out, static_cast<uint32_t>(frames), gainA);
        finite[1] = guard::scale(pb.io, pb.out, static_cast<uint32_t>(frames), gainB);
    } else {
        a.finishPiece(pa.high, highFrames, gainA);
        b.finishPiece(pb.high, highFrames, gainB);
        pa.os->downsample(pa.high, pa.out, frames);
        pb.os->downsample(pb.high, pb.out, frames);
        finite[0] = guard::all(pa.out, static_cast<uint32_t>(frames));
        finite[1] = guard::all(pb.out, static_cast<uint32_t>(frames));
    }
    a.finiteOutput = finite[0];
    b.finiteOutput = finite[1];
    b.leaveCriticalSection();
    a.leaveCriticalSection();
    return true;
}
