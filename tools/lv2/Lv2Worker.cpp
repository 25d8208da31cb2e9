// The worker's side of the LV2 plug-in: work() builds what a message asks for and
// answers with a parcel; work_response() puts what an answer holds in place, or
// sends it back to be freed when it is stale (built for a rig since replaced, an
// archive request since overtaken) or refused. A message's ticket is taken once:
// an answer delivered twice finds nothing the second time.
#include "tools/lv2/Lv2Instance.h"

#include "main/ModelRefusal.h"

#include <cstring>
#include <string>

namespace quorlelv2 {

namespace {

// Worker thread: puts `parcel` in the box and answers with its ticket (kind and
// values as `message`); the parcel is freed here when the box or the host's queue
// has no room.
LV2_Worker_Status answer(Instance& self, Message message, std::unique_ptr<Parcel> parcel,
                         LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle) {
    message.ticket = {};
    if (parcel && !self.box.put(parcel, message.ticket))
        return LV2_WORKER_ERR_NO_SPACE; // `parcel` goes here
    if (respond(handle, sizeof(message), &message) == LV2_WORKER_SUCCESS)
        return LV2_WORKER_SUCCESS;
    self.box.take(message.ticket); // freed here
    return LV2_WORKER_ERR_NO_SPACE;
}

// Worker thread: model `message.model` of the rig `message.rig` names, one graph per
// channel; none when the rig is gone or the model cannot be built. A model of the
// archive that the builder refuses is named in the host's log with its reasons, as
// quorle-render names it (the port is not asked again until it names another).
std::unique_ptr<Parcel> build(Instance& self, const Message& message) {
    auto parcel = std::make_unique<GraphsParcel>();
    parcel->rig = message.rig;
    parcel->model = message.model;
    bool built = true;
    std::string refusal;
    self.registry.with(message.rig, [&](Rig& rig) {
        for (uint32_t c = 0; c < rig.channels && built; ++c) {
            const ChannelEngine& engine = *rig.engines[c];
            parcel->graphs[c] = engine.prepare(message.model, message.factor);
            built = parcel->graphs[c] != nullptr;
            if (!built && message.model >= 0 && message.model < engine.models())
                refusal = modelRefusal(message.model,
                                       engine.modelNames()[static_cast<size_t>(message.model)],
                                       rig.file, engine.lastRefusal());
        }
    });
    if (!refusal.empty())
        lv2_log_error(&self.logger, "quorle: %s\n", refusal.c_str());
    if (!built || !parcel->graphs[0])
        return nullptr;
    return parcel;
}

// Audio thread: whether the first spare parcel still holds what the box had no room
// for (sendRetiredGraphs() fills and sends that one first).
bool waiting(const Instance& self) {
    for (const auto& spare : self.graphSpares) {
        if (!spare)
            continue;
        for (uint32_t c = 0; c < self.rig->channels; ++c)
            if (spare->graphs[c] || spare->cabinets[c])
                return true;
        return false;
    }
    return false;
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
    case Message::kFree: self.box.take(message.ticket); return LV2_WORKER_SUCCESS;
    case Message::kBuild:
        return answer(self, message, build(self, message), respond, respondHandle);
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
    if (message.kind == Message::kArchive) {
        // An earlier answer delivered again leaves the request with the worker busy.
        if (message.request == self.busyRequest)
            self.archiveBusy = false;
        std::unique_ptr<Parcel> parcel = self.box.take(message.ticket);
        if (auto* rig = dynamic_cast<RigParcel*>(parcel.get())) {
            parcel.release();
            takeRig(self, std::unique_ptr<RigParcel>(rig));
        }
        return LV2_WORKER_SUCCESS;
    }
    if (message.kind == Message::kCabinet) {
        takeCabinet(self, message);
        return LV2_WORKER_SUCCESS;
    }
    if (message.kind != Message::kBuild)
        return LV2_WORKER_ERR_UNKNOWN;
    std::unique_ptr<Parcel> parcel = self.box.take(message.ticket);
    auto* graphs = dynamic_cast<GraphsParcel*>(parcel.get());
    if (!graphs) {
        // Nothing built (or an answer delivered twice): a model that cannot be built
        // is not asked for again until the port names another.
        return LV2_WORKER_SUCCESS;
    }
    bool kept = true;
    if (self.rig && graphs->rig == self.rig->serial) {
        for (uint32_t c = 0; c < self.rig->channels; ++c)
            if (graphs->graphs[c] && !self.rig->engines[c]->offer(graphs->graphs[c]))
                kept = false;
    } else {
        kept = false; // built for a rig since replaced
    }
    if (!kept && self.asked == graphs->model)
        self.asked = -1; // asked again at the next run()
    bool empty = true;
    for (const auto& graph : graphs->graphs)
        empty = empty && !graph;
    for (const auto& cabinet : graphs->cabinets)
        empty = empty && !cabinet;
    if (empty) {
        for (auto& spare : self.graphSpares)
            if (!spare) {
                parcel.release();
                spare.reset(graphs);
                return LV2_WORKER_SUCCESS;
            }
    }
    if (sendToFree(self, parcel))
        return LV2_WORKER_SUCCESS;
    // No room to send it: it waits among the spares and goes with the next retired
    // graphs (sendRetiredGraphs() sends a spare that holds any).
    for (auto& spare : self.graphSpares)
        if (!spare) {
            parcel.release();
            spare.reset(graphs);
            return LV2_WORKER_SUCCESS;
        }
    // Not reached while the box has room for what is in flight; were it reached, the
    // graphs would be kept alive rather than freed on the audio thread.
    (void)parcel.release();
    return LV2_WORKER_SUCCESS;
}

void sendRetiredGraphs(Instance& self) {
    if (!self.rig)
        return;
    // Mostly nothing is retired and no parcel waits for room: then nothing to do.
    bool retired = false;
    for (uint32_t c = 0; c < self.rig->channels; ++c)
        retired = retired || self.rig->engines[c]->hasRetired();
    if (!retired && !waiting(self))
        return;
    for (auto& spare : self.graphSpares) {
        if (!spare)
            continue;
        bool any = false;
        for (uint32_t c = 0; c < self.rig->channels; ++c) {
            if (!spare->graphs[c])
                spare->graphs[c] = self.rig->engines[c]->takeRetired();
            if (!spare->cabinets[c])
                spare->cabinets[c] = retiredCabinet(self, c);
            any = any || spare->graphs[c] || spare->cabinets[c];
        }
        if (!any)
            return;
        std::unique_ptr<Parcel> carried = std::move(spare);
        if (sendToFree(self, carried))
            continue;
        // No room in the box: the graphs stay in this parcel until the next run().
        spare.reset(static_cast<GraphsParcel*>(carried.release()));
        return;
    }
}

bool haveModel(Instance& self, int32_t model) {
    Rig& rig = *self.rig;
    bool all = true;
    for (uint32_t c = 0; c < rig.channels; ++c)
        all = all && rig.engines[c]->has(model);
    if (all || !self.worker || self.asked == model)
        return all;
    Message message;
    message.kind = Message::kBuild;
    message.rig = rig.serial;
    message.model = model;
    message.factor = self.factor;
    // Set first: a worker may answer within schedule_work() (offline hosts).
    self.asked = model;
    if (!schedule(self, message)) {
        self.asked = -1; // asked again at the next run()
        return false;
    }
    for (uint32_t c = 0; c < rig.channels; ++c)
        if (!rig.engines[c]->has(model))
            return false;
    return true; // answered within schedule_work()
}

} // namespace quorlelv2
