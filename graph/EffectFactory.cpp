#include "graph/EffectFactory.h"

#include "blocks/ADelay.h"
#include "blocks/QrClipper.h"
#include "blocks/QrIIRFilter.h"
#include "blocks/QrInv.h"
#include "blocks/QrSaturator.h"

AudioEffectX* createBlock(AudioNode::FXType type, HostCallback callback) {
    switch (type) {
    case AudioNode::kFxInv: return new QrInv(callback);
    case AudioNode::kFxClip: return new QrClipper(callback);
    case AudioNode::kFxDelay: return new ADelay(callback);
    case AudioNode::kFxEq: return new QrIIRFilter(callback);
    case AudioNode::kFxSat: return new QrSaturator(callback);
    default: return nullptr;
    }
}
