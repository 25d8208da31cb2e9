// The pictures the interface shows, computed in the interface's own process from the
// same data archive the plug-in plays (never by the plug-in): the model's static
// transfer curve and small-signal frequency response at the controls set, and the
// chosen cabinet's frequency response, levelled as the plug-in levels it. Each is
// recomputed only when what it depends on changes, from a channel engine kept per
// archive and model. UI thread only; everything here allocates and may read files.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

class ChannelEngine;
class DataArchive;

namespace quorleui {

// A curve: x and y in the picture's units (dB against dB, or dB against Hz).
struct Curve {
    std::vector<float> x, y;
    bool empty() const { return x.empty(); }
};

// What the pictures depend on.
struct PictureInputs {
    std::string archive; // the player's archive playing, "" for the shipped one
    int model = 0;
    float drive = 0.5f, post = 0.5f, bass = 0.5f;
    int cabinet = -1;        // the Cabinet port's value
    std::string cabinetFile; // the player's cabinet file, for Cabinet = File
    bool operator==(const PictureInputs& o) const;
};

class Pictures {
  public:
    // The rate the pictures are computed at, Hz.
    static constexpr double kRate = 48000.0;

    // `bundleDir` ends in "/"; its quorle.data is read once here.
    explicit Pictures(const std::string& bundleDir);
    ~Pictures();

    // The shipped archive (empty when the bundle has none).
    const DataArchive& shipped() const { return *mShipped; }

    // Recomputes what `in` changes; true when any picture changed. Never throws: a
    // picture that cannot be computed is left empty.
    bool update(const PictureInputs& in);

    // Output peak (dBFS) against the input peak of a settled 750 Hz sine (dBFS).
    const Curve& transfer() const { return mTransfer; }
    // Gain of a -40 dBFS impulse through the model against frequency (dB, Hz).
    const Curve& response() const { return mResponse; }
    // The cabinet's gain against frequency (dB, Hz); empty for none.
    const Curve& cabinet() const { return mCabinet; }
    // What the cabinet picture shows, in words ("4x12-closed", "off").
    const std::string& cabinetName() const { return mCabinetName; }
    // Milliseconds the last update() took.
    double lastMilliseconds() const { return mLastMs; }

  private:
    void computeModel(const PictureInputs& in);
    void computeCabinet(const PictureInputs& in);
    const DataArchive& modelsArchive() const;

    std::shared_ptr<const DataArchive> mShipped, mPlayer;
    std::unique_ptr<ChannelEngine> mEngine;
    std::string mEngineArchive;
    int mEngineModel = -1;
    bool mHave = false;
    PictureInputs mLast;
    std::string mCabinetChoice; // what mCabinet was computed for
    Curve mTransfer, mResponse, mCabinet;
    std::string mCabinetName;
    double mLastMs = 0.0;
};

} // namespace quorleui
