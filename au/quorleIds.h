// What a host needs to know of the plug-in without its classes: how it is
// registered, its version, and its own property IDs and their sizes.
#pragma once

#include "platform/Components.h"

#include <cstddef>

constexpr ComponentResult kQuorleVersion = 0x00010100; // 1.1.0
constexpr AudioUnitPropertyID kQuorleProperty_ModelName = 64000;
constexpr AudioUnitPropertyID kQuorleProperty_PluginDirectory = 64001;
// The oversampling factor (UInt32: 1, 2, 4 or 8), global scope. The effect of each
// channel runs at the stream rate times this factor between an upsampler and a
// downsampler; 1, the unit's own default, is the plain processing.
constexpr AudioUnitPropertyID kQuorleProperty_Oversampling = 64002;
// The same factor, set from the render thread (the LV2 plug-in's run()): stored
// and taken by the kernels exactly as 64002, but announced to nobody, so the call
// takes no lock, allocates nothing and calls no listener on the audio thread. The
// caller reads the latency itself. Setting 64002 calls the listeners of the factor
// and of the latency: a setup or UI thread's call. Reading gives the factor.
constexpr AudioUnitPropertyID kQuorleProperty_OversamplingFromRender = 64003;
// Whether each channel prepares its models on demand (UInt32 1) rather than all of
// them when the unit initialises (0, the default), global scope. Taken by the
// kernels made at the next initialisation. On demand, a channel starts with the
// model parameter 3 names and plays another only once it has been handed a graph
// for it (kQuorleProperty_InstalledGraphs); a change of parameter 3 to a model it
// has no graph for waits for one.
constexpr AudioUnitPropertyID kQuorleProperty_PrepareOnDemand = 64004;
// Graphs for a model, one per channel (QuorleGraphs), global scope. Reading with
// element = a model index builds the model for every channel of an initialised
// unit: any thread but the render thread (it parses, allocates and takes the
// builder's lock); -10879 (invalid property) for an index outside the model list,
// -10875 (failed initialization) when the model cannot be built. Setting frees
// the graphs a QuorleGraphs holds: any thread but the render thread.
constexpr AudioUnitPropertyID kQuorleProperty_PreparedGraphs = 64005;
// The render thread's side of on-demand preparation, global scope; neither call
// allocates, locks or frees, and nothing is announced. Setting hands the unit
// graphs read from kQuorleProperty_PreparedGraphs, one per channel, between two
// renders: each channel keeps its graph until it is no longer needed. On success
// the unit owns them; on an error (a graph count other than the channel count, or
// no room left to retire graphs) the caller still does. Reading collects the graphs
// the channels no longer need (the one playing and one fading are kept), at most
// kQuorleMaxGraphs: the caller owns them and frees them off the render thread by
// setting kQuorleProperty_PreparedGraphs.
constexpr AudioUnitPropertyID kQuorleProperty_InstalledGraphs = 64006;
// The data archive file the unit plays (UTF-8 bytes, NUL-terminated), global scope;
// empty (the default): the one in the plug-in directory. Set while uninitialised
// (-10849 when initialised); a value without its terminator, or longer than
// kMaxArchivePathBytes with it, is refused whole with -10851. Its models make the
// model list; presets it lacks come from the plug-in directory's archive. Check
// the file first (main/UserArchive.h): one that is not an archive with models
// makes initialisation fail.
constexpr AudioUnitPropertyID kQuorleProperty_ArchivePath = 64007;
constexpr UInt32 kMaxArchivePathBytes = 4096; // terminator included

// A model's graph for one channel, built off the render thread. Opaque to hosts.
struct PreparedGraph;
constexpr UInt32 kQuorleMaxGraphs = 16; // channels of a unit handing graphs, graphs per call
// The value of kQuorleProperty_PreparedGraphs and kQuorleProperty_InstalledGraphs.
struct QuorleGraphs {
    UInt32 model = 0; // the model index the graphs were built for (prepared graphs)
    UInt32 count = 0; // graphs held, 0..kQuorleMaxGraphs
    PreparedGraph* graphs[kQuorleMaxGraphs] = {};
};

// The factor the LV2 plug-in and the command-line tools start with.
constexpr UInt32 kQuorleDefaultOversampling = 2;
constexpr size_t kModelNameSize = 100; // bytes, terminator included
constexpr size_t kDirectorySize = 500; // bytes at least; longer paths report their own size

// The registration hosts open the plug-in under: an effect, subtype 'qrle',
// manufacturer 'Pllk'.
constexpr ComponentDescription kQuorleDescription = {kAudioUnitType_Effect, 0x71726C65, 0x506C6C6B,
                                                     0, 0};

// The plug-in's file inside its bundle directory.
constexpr const char* kQuorleLibraryName = "quorle.so";
