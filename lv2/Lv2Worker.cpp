// The worker's side of the LV2 plug-in: work() builds what a message asks for and
// answers with it; work_response() puts what an answer holds in place, or retires
// it when it is stale (built for a rig since replaced) or refused. A message's
// ticket is taken once: an answer delivered twice finds nothing the second time,
// and ends no request (requests are numbered).
#include "lv2/Lv2Instance.h"

#include "main/ModelRefusal.h"

#include <cstring>
#include <string>

namespace quorlelv2 {

namespace {

// Worker thread: model `message.model` of the rig `message.rig` names, one graph per
// channel; none when the rig is gone or the model cannot be built. A model of the
// archive that the builder refuses is named in the host's log with its reasons, as
// quorle-render names it (the port is not asked again until it names another).
std::unique_ptr<BuiltGraphs> build(Instance& self, const Message& message) {
    auto built = std::make_unique<BuiltGraphs>();
    built->rig = message.rig;
    built->model = message.model;
    bool whole = true;
    std::string refusal;
    self.registry.with(message.rig, [&](Rig& rig) {
        for (uint32_t c = 0; c < rig.channels && whole; ++c) {
            const ChannelEngine& engine = *rig.engines[c];
            built->graphs[c] = engine.prepare(message.model, message.factor);
            whole = built->graphs[c] != nullptr;
            if (!whole && message.model >= 0 && message.model < engine.models())
                refusal = modelRefusal(message.model,
                                       engine.modelNames()[static_cast<size_t>(message.model)],
                                       rig.file, engine.lastRefusal());
        }
    });
    if (!refusal.empty())
        logError(self, "quorle: %s\n", refusal.c_str());
    if (!whole || !built->graphs[0])
        return nullptr;
    return built;
}

// Render thread: the graphs of a kBuild answer go to the rig playing when built for
// it, else back to be freed.
void takeGraphs(Instance& self, std::unique_ptr<BuiltGraphs> built) {
    Rig* rig = self.rig.get();
    const bool forRig = rig && built->rig == rig->serial;
    for (uint32_t c = 0; c < 2; ++c) {
        std::unique_ptr<PreparedGraph>& graph = built->graphs[c];
        if (graph && forRig && c < rig->channels)
            rig->engines[c]->offer(graph); // no room: it stays, and is retired below
        if (graph && !retire(self, graph))
            (void)graph.release(); // not reached while the box keeps room for answers
    }
    if (!retire(self, built))
        (void)built.release();
}

} // namespace

LV2_Worker_Status work(LV2_Handle handle, LV2_Worker_Respond_Function respond,
                       LV2_Worker_Respond_Handle respondHandle, uint32_t size, const void* data) {
    auto& self = *static_cast<Instance*>(handle);
    Message message;
    if (size != sizeof(message) || !data)
        return LV2_WORKER_ERR_UNKNOWN;
    std::memcpy(&message, data, sizeof(message));
    switch (message.kind) {
    case Message::kFree: self.box.release(message.ticket); return LV2_WORKER_SUCCESS;
    case Message::kBuild:
        return answer(self, kBuildRequest, message, build(self, message), respond, respondHandle);
    case Message::kArchive:
    case Message::kRefused: return workArchive(self, message, respond, respondHandle);
    case Message::kCabinet: return workCabinet(self, message, respond, respondHandle);
    default: return LV2_WORKER_ERR_UNKNOWN;
    }
}

LV2_Worker_Status workResponse(LV2_Handle handle, uint32_t size, const void* data) {
    auto& self = *static_cast<Instance*>(handle);
    Message message;
    if (size != sizeof(message) || !data)
        return LV2_WORKER_ERR_UNKNOWN;
    std::memcpy(&message, data, sizeof(message));
    switch (message.kind) {
    case Message::kArchive: takeArchive(self, message); return LV2_WORKER_SUCCESS;
    case Message::kCabinet: takeCabinet(self, message); return LV2_WORKER_SUCCESS;
    case Message::kBuild: break;
    default: return LV2_WORKER_ERR_UNKNOWN;
    }
    if (ends(self, kBuildRequest, message)) {
        // Nothing built: a model that cannot be built is not asked for again until
        // the port names another.
        if (!message.ticket.serial) {
            self.refusedRig = message.rig;
            self.refusedModel = message.model;
        }
        self.buildModel = -1;
    }
    if (std::unique_ptr<BuiltGraphs> built = self.box.take<BuiltGraphs>(message.ticket))
        takeGraphs(self, std::move(built));
    return LV2_WORKER_SUCCESS;
}

void collectRetired(Instance& self) {
    // Rigs that found no room before.
    for (auto& leaving : self.leaving)
        if (leaving && retire(self, leaving))
            leaving.reset();
    Rig* rig = self.rig.get();
    if (!rig)
        return;
    for (uint32_t c = 0; c < rig->channels; ++c) {
        ChannelEngine& engine = *rig->engines[c];
        // Each taken only while the box has room for it: the rest wait in the engine.
        while (engine.hasRetired() && self.box.held() + kAnswerRoom + 2 < ParcelBox::kSlots) {
            if (std::unique_ptr<PreparedGraph> graph = engine.takeRetired())
                retire(self, graph);
            if (std::unique_ptr<Convolver> cabinet = engine.takeRetiredCabinet())
                if (!shelve(*rig, c, cabinet))
                    retire(self, cabinet);
        }
    }
}

bool haveModel(Instance& self, int32_t model) {
    Rig& rig = *self.rig;
    bool all = true;
    for (uint32_t c = 0; c < rig.channels; ++c)
        all = all && rig.engines[c]->has(model);
    if (all || !self.worker)
        return all;
    if (self.refusedRig == rig.serial && self.refusedModel == model)
        return false; // the builder refused it: asked again once the port names another
    self.refusedModel = -1;
    Message message;
    message.kind = Message::kBuild;
    message.rig = rig.serial;
    message.model = model;
    message.factor = self.factor;
    // A build with the worker for this model of this rig is waited for; any other is
    // overtaken (its answer is still kept when it is for this rig).
    if (self.requests[kBuildRequest].busy && self.buildModel == model &&
        self.buildRig == rig.serial)
        return false;
    if (!ask(self, kBuildRequest, message, /*overtake=*/true))
        return false; // asked again at the next run()
    self.buildModel = model;
    self.buildRig = rig.serial;
    for (uint32_t c = 0; c < rig.channels; ++c)
        if (!rig.engines[c]->has(model))
            return false;
    return true; // answered within schedule_work()
}

} // namespace quorlelv2
