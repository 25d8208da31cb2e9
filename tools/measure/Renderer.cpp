#include "tools/measure/Renderer.h"

#include "au/quorleIds.h"
#include "main/CabinetLoad.h"
#include "main/DataArchive.h"
#include "tools/PluginHost.h"

#include <algorithm>

namespace measure {

namespace {

constexpr UInt32 kSlice = 512; // frames per render call

std::string failure(const char* what, OSStatus status) {
    return std::string(what) + " failed: status " + std::to_string(status) + " (" +
           statusName(status) + ")";
}

void check(OSStatus status, const char* what) {
    if (status != noErr)
        throw RenderError(failure(what, status));
}

void load(PluginHost& host, const std::string& bundle) {
    std::string error;
    if (!host.load(bundle, error))
        throw RenderError(error);
}

OSStatus setOversampling(PluginHost& host, UInt32 factor) {
    return AudioUnitSetProperty(host.unit(), kQuorleProperty_Oversampling, kAudioUnitScope_Global,
                                0, &factor, sizeof(factor));
}

} // namespace

Renderer::Renderer(std::string bundleDir) : mBundle(std::move(bundleDir)) {
    PluginHost host;
    load(host, mBundle);
    check(host.start(48000.0, 1, kSlice), "starting the plug-in");
    mNames = host.modelNames();
    if (mNames.empty())
        throw RenderError("the bundle " + mBundle + " lists no models");
    // The archive lists its model entries in the unit's order.
    if (const auto archive = DataArchive::readDirectory(mBundle + "/"))
        for (const std::string& entry : archive->modelNames())
            mOwnCabinets.push_back(cabinet::modelsOwn(*archive, entry, *archive));
}

std::string Renderer::ownCabinet(size_t model) const {
    return model < mOwnCabinets.size() ? mOwnCabinets[model] : "";
}

OSStatus Renderer::useOversampling(UInt32 factor) {
    PluginHost host;
    load(host, mBundle);
    const OSStatus status = setOversampling(host, factor);
    if (status == noErr) {
        mOversampling = factor;
        mSetOversampling = true;
    } else {
        mOversampling = 1;
        mSetOversampling = false;
    }
    return status;
}

Signal Renderer::render(size_t model, const Controls& controls, const Signal& input, double rate,
                        const std::string& cabinet) const {
    PluginHost host;
    load(host, mBundle);
    if (mSetOversampling)
        check(setOversampling(host, mOversampling), "setting the oversampling factor");
    if (!cabinet.empty())
        check(AudioUnitSetProperty(host.unit(), kQuorleProperty_Cabinet, kAudioUnitScope_Global, 0,
                                   cabinet.c_str(), static_cast<UInt32>(cabinet.size() + 1)),
              ("choosing the cabinet " + cabinet).c_str());
    check(host.start(rate, 1, kSlice), "starting the plug-in");
    check(host.setParameter(0, controls.drive), "setting the drive");
    check(host.setParameter(1, controls.post), "setting the post gain");
    check(host.setParameter(2, controls.bass), "setting the bass");
    check(host.setParameter(3, static_cast<float>(model)), "choosing the model");
    Signal output(input.size());
    for (size_t at = 0; at < input.size(); at += kSlice) {
        const UInt32 n = static_cast<UInt32>(std::min<size_t>(kSlice, input.size() - at));
        const float* in = input.data() + at;
        float* out = output.data() + at;
        check(host.render(&in, &out, n), "rendering");
    }
    return output;
}

} // namespace measure
