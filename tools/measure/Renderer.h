// Renders test signals through the plug-in's models as a host does (PluginHost):
// mono, 512 frames per render call, a unit opened afresh for every signal so that
// no state carries from one measurement into the next.
#pragma once

#include "platform/Components.h"
#include "tools/measure/Signals.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace measure {

// The controls a render sets (parameters 0, 1, 2), 0..1.
struct Controls {
    float drive = 0.5f;
    float post = 0.5f;
    float bass = 0.5f;
};

// A failure of the plug-in while measuring: load, start or render.
struct RenderError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Renderer {
  public:
    // Opens a unit of the bundle once to learn its models; throws RenderError.
    explicit Renderer(std::string bundleDir);

    const std::vector<std::string>& modelNames() const { return mNames; }
    // The shipped cabinet model `model` names as its own (the plug-in's default
    // cabinet for it), as the bundle's archive lists it; "" for none.
    std::string ownCabinet(size_t model) const;

    // Asks every unit from now on to run at `factor` times the stream rate
    // (property kQuorleProperty_Oversampling). noErr when a unit takes it; otherwise
    // the unit's status, and renders go on at the unit's own default.
    OSStatus useOversampling(UInt32 factor);
    UInt32 oversampling() const { return mOversampling; }

    // `input` at `rate` through model `model` with `controls`, and through `cabinet`
    // after it (kQuorleProperty_Cabinet: "" for none, a shipped cabinet's name or a
    // response file); throws RenderError.
    Signal render(size_t model, const Controls& controls, const Signal& input, double rate,
                  const std::string& cabinet = "") const;

  private:
    std::string mBundle;
    std::vector<std::string> mNames;
    std::vector<std::string> mOwnCabinets; // by model
    UInt32 mOversampling = 1;
    bool mSetOversampling = false;
};

} // namespace measure
