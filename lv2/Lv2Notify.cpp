// The notify port: the chosen data archive, the chosen cabinet file and the playing
// archive's model names, each a patch:Set told after it changes and on patch:Get.
// Every message goes whole or not at all: one that does not fit in what is left of
// the port's buffer waits for the next run(); one that could never fit in it (a host
// giving a small buffer) is not told. The model names are told as far as the Model
// control reaches, in whole lines, cut to what the buffer holds.
#include "lv2/Lv2Instance.h"

#include <lv2/atom/util.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace quorlelv2 {

namespace {

uint32_t padded(uint32_t bytes) {
    return (bytes + 7u) & ~7u;
}

// Bytes a patch:Set event takes whose value is `valueBytes` long: the event's time
// and atom header, the object's body, the property (a URID) and the value.
uint32_t eventBytes(uint32_t valueBytes) {
    return 8 + 8 + 8 + (8 + 8 + 8) + (8 + 8) + padded(valueBytes);
}

// Writes `property`'s `value` (`bytes` long, without terminator) as a path or a
// string: a patch:Set for a property a host may write, else a report.
void tell(Instance& self, LV2_URID property, const char* value, uint32_t bytes, bool path) {
    const bool writable = property == self.uris.archive || property == self.uris.cabinetFile;
    LV2_Atom_Forge* forge = &self.forge;
    LV2_Atom_Forge_Frame object;
    lv2_atom_forge_frame_time(forge, 0);
    lv2_atom_forge_object(forge, &object, 0, writable ? self.uris.patchSet : self.uris.report);
    lv2_atom_forge_key(forge, self.uris.patchProperty);
    lv2_atom_forge_urid(forge, property);
    lv2_atom_forge_key(forge, self.uris.patchValue);
    if (path)
        lv2_atom_forge_path(forge, value, bytes);
    else
        lv2_atom_forge_string(forge, value, bytes);
    lv2_atom_forge_pop(forge, &object);
}

// Tells one message when it fits; clears `pending` once told or when it never can.
void tellIfRoom(Instance& self, bool& pending, LV2_URID property, const char* value, uint32_t bytes,
                bool path, uint32_t capacity) {
    if (!pending)
        return;
    const uint32_t needed = eventBytes(bytes + 1);
    if (needed > capacity) {
        pending = false; // a buffer this small never holds it
        return;
    }
    if (needed > self.forge.size - self.forge.offset)
        return; // told at the next run()
    tell(self, property, value, bytes, path);
    pending = false;
}

} // namespace

void logError(Instance& self, const char* format, ...) {
    char text[kStatusBytes];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    lv2_log_error(&self.logger, "%s", text);
    // The interface shows it as one line: without the "quorle: " every log line has,
    // and without the newline.
    const char* line = std::strncmp(text, "quorle: ", 8) == 0 ? text + 8 : text;
    char kept[kStatusBytes];
    std::snprintf(kept, sizeof kept, "%s", line);
    kept[std::strcspn(kept, "\n")] = 0;
    const std::lock_guard<std::mutex> lock(self.statusLock);
    self.status.write(kept);
    self.statusCount.fetch_add(1, std::memory_order_release);
}

void writeNotify(Instance& self) {
    if (!self.notify)
        return;
    const uint32_t size = self.notify->atom.size + static_cast<uint32_t>(sizeof(LV2_Atom));
    if (!self.map || size < sizeof(LV2_Atom_Sequence)) {
        if (size >= sizeof(LV2_Atom_Sequence)) {
            self.notify->atom.size = sizeof(LV2_Atom_Sequence_Body);
            self.notify->body.unit = 0;
            self.notify->body.pad = 0;
        }
        return;
    }
    LV2_Atom_Forge* forge = &self.forge;
    lv2_atom_forge_set_buffer(forge, reinterpret_cast<uint8_t*>(self.notify), size);
    LV2_Atom_Forge_Frame sequence;
    lv2_atom_forge_sequence_head(forge, &sequence, 0);
    const uint32_t capacity = size - static_cast<uint32_t>(sizeof(LV2_Atom_Sequence));
    tellIfRoom(self, self.tellArchive, self.uris.archive, self.archive,
               static_cast<uint32_t>(std::strlen(self.archive)), true, capacity);
    tellIfRoom(self, self.tellCabinet, self.uris.cabinetFile, self.fileChosen.path,
               static_cast<uint32_t>(std::strlen(self.fileChosen.path)), true, capacity);
    const uint32_t count = self.statusCount.load(std::memory_order_acquire);
    if (count != self.statusTold && self.status.readInto(self.statusText, kStatusBytes)) {
        self.statusTold = count;
        self.tellStatus = true;
    }
    tellIfRoom(self, self.tellStatus, self.uris.status, self.statusText,
               static_cast<uint32_t>(std::strlen(self.statusText)), false, capacity);
    if (self.tellModels && self.rig) {
        // Whole lines, as many as the Model control reaches and the buffer holds.
        const std::string& names = self.rig->names;
        uint32_t bytes = 0, lines = 0;
        for (size_t end = names.find('\n'); end != std::string::npos && lines <= kModelPortMax;
             end = names.find('\n', end + 1), ++lines) {
            const uint32_t next = static_cast<uint32_t>(end + 1);
            if (eventBytes(next + 1) > capacity)
                break;
            bytes = next;
        }
        tellIfRoom(self, self.tellModels, self.uris.models, names.data(), bytes, false, capacity);
    }
    lv2_atom_forge_pop(forge, &sequence);
}

} // namespace quorlelv2
