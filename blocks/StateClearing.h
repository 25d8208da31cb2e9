// A building block that can forget what it has heard (filter history, delay
// lines, detector windows) while keeping its parameters, so that it sounds as if
// it had just been built and configured. Audio or setup thread; allocates nothing.
#pragma once

class StateClearing {
  public:
    virtual void clearState() = 0;

  protected:
    ~StateClearing() = default;
};
