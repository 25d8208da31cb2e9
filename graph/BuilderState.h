// The state of the graph being built, shared by every main effect in the process
// (graphs are built one at a time), and the operations the model builder uses on it.
#pragma once

#include "graph/AudioNode.h"

#include <list>
#include <map>
#include <string>
#include <vector>

// Free work slots; lent from the front, given back to the front.
extern std::list<int32_t> gBuffs;
// The processing list in order, the input node first.
extern std::vector<AudioNode*> gNodeList;
// Nodes by id ("in" is the graph input); later registrations replace earlier ones.
extern std::map<std::string, AudioNode*> gNodeMap;

// Refills the slot pool with 2..49 and empties the list and the registry.
void resetBuilderState();
// Lends the most recently freed slot; kNoSlot when all 48 work slots are lent out.
int getBuffer();
// The node registered under `id`; null for a null or unregistered id.
AudioNode* findNode(const char* id);
// Links `node` behind the last listed node and lists it.
void appendNode(AudioNode* node);
// Lists `node` after every node it depends on (mapping sources in order, then its
// input, then a mixer's second input) that is not listed yet. Null references are
// not followed.
void buildNodeList(AudioNode* node);
