// The factory presets as the bundle's presets.ttl holds them, read without an RDF
// library: only the lines the build writes there (lv2/presets.ttl.in) are
// understood. quorle-render applies them as an LV2 host would set the ports.
//
//   <http://.../presets#classic-crunch>        a preset begins: its URI on a line alone
//   	rdfs:label "Classic crunch" ;
//   	lv2:port [ lv2:symbol "model" ; pset:value 2.0 ] ,
//   		[ lv2:symbol "drive" ; pset:value 0.6 ] ,
//
// Other lines (prefixes, comments, types, descriptions) are passed over.
#pragma once

#include <map>
#include <string>
#include <vector>

struct FactoryPreset {
    std::string fragment;                 // the URI's part after "#": "classic-crunch"
    std::string label;                    // "Classic crunch"
    std::map<std::string, double> values; // port symbol -> value
};

// The presets of `text`, in file order. False, with `error` one sentence naming the
// 1-based line ("line 12: ..."), for a port value that is not a finite number, a
// symbol set twice in a preset, a label or port before the first preset, or a
// preset without a label or without the model, drive, post and bass ports.
bool parseFactoryPresets(const std::string& text, std::vector<FactoryPreset>& presets,
                         std::string& error);

// The preset `name` names: its fragment or its label, letter case ignored; null when
// none does.
const FactoryPreset* findFactoryPreset(const std::vector<FactoryPreset>& presets,
                                       const std::string& name);
