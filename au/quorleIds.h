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
