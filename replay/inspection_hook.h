// Frame-by-frame outcomes for hosts that call the engine from inside a driver.
//
// A driver inspects a whole chain of frames in one call into it, but the replay tool
// reports events, grants and rewrites frame by frame. In the replay tool's programs the
// engine entries are wrapped at link time (--wrap): the wrapper runs the real entry and
// then tells the observer of the calling thread, which collects that frame's outcome
// before the driver inspects the next frame. Without an observer the wrapper only passes
// the call through.
#pragma once

#include <cstdint>

class InspectionObserver {
  public:
    virtual ~InspectionObserver() = default;
    // One engine entry has just returned for `frame`; `rewritten` is its result.
    virtual void Inspected(bool inbound, const uint8_t* frame, uint32_t length, bool rewritten) = 0;
};

// Sets the calling thread's observer (null: none).
void SetInspectionObserver(InspectionObserver* observer);
