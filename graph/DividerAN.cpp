#include "graph/DividerAN.h"

float DividerAN::getParam(int index) {
    if (index != 2)
        return getInParam(index, 1.0f);
    const float a = getInParam(0, 1.0f);
    const float b = getInParam(1, 1.0f);
    if (b == 0.0f)
        return maxRatio;
    const float r = a / b;
    return maxRatio > r ? r : maxRatio;
}
