#include "graph/DividerAN.h"

float DividerAN::ratio(float a, float b) const {
    if (b == 0.0f)
        return maxRatio;
    const float r = a / b;
    return maxRatio > r ? r : maxRatio;
}

void DividerAN::prepare() {
    resolved.assign(params.size(), 0.0f);
    resolve();
}

void DividerAN::process(float***, int) {
    resolve();
}

void DividerAN::resolve() {
    fresh = resolved.size() == params.size();
    if (!fresh)
        return; // not prepared: every read evaluates its inputs itself
    for (size_t i = 0; i < params.size(); ++i)
        resolved[i] = params[i].getParam();
    resolvedRatio = ratio(resolvedInput(0), resolvedInput(1));
}

float DividerAN::resolvedInput(int index) const {
    for (size_t i = 0; i < params.size(); ++i)
        if (params[i].set == index)
            return resolved[i];
    return 1.0f;
}

float DividerAN::getParam(int index) {
    if (!fresh) {
        if (index != 2)
            return getInParam(index, 1.0f);
        const float a = getInParam(0, 1.0f);
        const float b = getInParam(1, 1.0f);
        return ratio(a, b);
    }
    return index == 2 ? resolvedRatio : resolvedInput(index);
}
