#include "inspection_hook.h"

#include "inspect.h"

// The engine entries by their linker names (C++ mangling of InspectInbound(unsigned char*,
// unsigned int, bool) and InspectOutbound(...)); replay_core links its users with
// --wrap for both.
extern "C" bool __real__Z14InspectInboundPhjb(uint8_t* frame, uint32_t length, bool atDispatch);
extern "C" bool __real__Z15InspectOutboundPhjb(uint8_t* frame, uint32_t length, bool atDispatch);

namespace {
thread_local InspectionObserver* t_observer = nullptr;
} // namespace

void SetInspectionObserver(InspectionObserver* observer) {
    t_observer = observer;
}

extern "C" bool __wrap__Z14InspectInboundPhjb(uint8_t* frame, uint32_t length, bool atDispatch) {
    bool rewritten = __real__Z14InspectInboundPhjb(frame, length, atDispatch);
    if (t_observer != nullptr) {
        t_observer->Inspected(true, frame, length, rewritten);
    }
    return rewritten;
}

extern "C" bool __wrap__Z15InspectOutboundPhjb(uint8_t* frame, uint32_t length, bool atDispatch) {
    bool rewritten = __real__Z15InspectOutboundPhjb(frame, length, atDispatch);
    if (t_observer != nullptr) {
        t_observer->Inspected(false, frame, length, rewritten);
    }
    return rewritten;
}
