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
// The data archive file the unit plays (UTF-8 bytes, NUL-terminated), global scope;
// empty (the default): the one in the plug-in directory. Set while uninitialised
// (-10849 when initialised); a value without its terminator, or longer than
// kMaxArchivePathBytes with it, is refused whole with -10851. Its models make the
// model list; presets it lacks come from the plug-in directory's archive. Check
// the file first (main/UserArchive.h): one that is not an archive with models
// makes initialisation fail.
constexpr AudioUnitPropertyID kQuorleProperty_ArchivePath = 64007;
constexpr UInt32 kMaxArchivePathBytes = 4096; // terminator included
// Reading 64007 always gives kMaxArchivePathBytes bytes (the path, its terminator
// and zeros), so a buffer sized by GetPropertyInfo holds whatever path another
// thread sets meanwhile.
// Whether a change of the model parameter crossfades (UInt32 1) over 20 ms instead
// of being heard at once (0, the default), global scope; taken at once.
constexpr AudioUnitPropertyID kQuorleProperty_FadeModelSwitches = 64008;
// The speaker cabinet after the drive (UTF-8 bytes, NUL-terminated, as 64007),
// global scope: "" (the default) or "off" for none, a shipped cabinet's name (the
// plug-in directory's archive lists them; letter case ignored), or the path of an
// impulse-response file (main/ImpulseResponse.h says which are taken). Set while
// uninitialised (-10849 when initialised); the choice is read and checked at once,
// and one that cannot be played (a value cut or too long as for 64007, a missing
// or unreadable file, one that is no usable response) is refused with -10851, the
// choice before staying. Reading gives kMaxArchivePathBytes bytes, as 64007 does.
constexpr AudioUnitPropertyID kQuorleProperty_Cabinet = 64009;
// The cabinet as 64009 chooses a file, for a host that has read the file itself
// and checked those bytes: the choice's text (NUL-terminated, as for 64009) then
// the file's bytes, all of them, global scope, write only. The unit decodes those
// bytes and reads no file, so that what the host checked is what plays; 64009 then
// reads as the text. Set while uninitialised (-10849 when initialised); a value
// without its terminator or bytes, or bytes that are no usable response, are
// refused with -10851, the choice before staying.
constexpr AudioUnitPropertyID kQuorleProperty_CabinetBytes = 64010;

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
