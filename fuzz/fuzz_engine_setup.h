// A started engine with a policy that denies, reports and learns, for the fuzz targets.
#pragma once

#include <cstdlib>
#include <cstring>

#include "control_device.h"
#include "engine_state.h"
#include "pool.h"
#include "records.h"
#include "sim.h"

inline void FuzzSetField(Utf16Unit* field, size_t units, const char* text) {
    std::memset(field, 0, units * sizeof(Utf16Unit));
    for (size_t i = 0; text[i] != 0 && i + 1 < units; ++i) {
        field[i] = Utf16Unit(uint8_t(text[i]));
    }
}

// The requests of the fuzz configuration, each built once in a buffer kept for every
// input: building and copying tens of kilobytes per input would cost more than most
// inputs' frames do.
struct FuzzRequests {
    AccessRule rules[3];
    ShareTemplate templ;
    EngineSettings settings;
    AdmissionEntry entry;
    KnownClientLists known;
    uint8_t on[4]; // one byte of input, room for the result word
};

inline FuzzRequests* BuildFuzzRequests() {
    static FuzzRequests r; // zeroed storage
    AccessRule* rules = r.rules;
    FuzzSetField(rules[0].Path, SharePathUnits, "docs");
    FuzzSetField(rules[0].UserName, NameUnits, "alice");
    rules[0].Report = rules[0].DenyDelete = rules[0].DenyRename = rules[0].DenyModify = 1;
    FuzzSetField(rules[1].Path, SharePathUnits, "docs\\folder1");
    FuzzSetField(rules[1].UserName, NameUnits, "alice");
    rules[1].DenyAll = rules[1].Report = 1;
    FuzzSetField(rules[2].Path, SharePathUnits, "");
    FuzzSetField(rules[2].UserName, NameUnits, "bob");
    rules[2].KnownClientsOnly = rules[2].Report = rules[2].DenyCreate = 1;
    FuzzSetField(r.templ.Path, SharePathUnits, "public");
    r.templ.Report = r.templ.DenyRead = 1;
    r.settings.LearningEnabled = 1;
    r.settings.SuffixCount = 1;
    FuzzSetField(r.settings.ExemptSuffixList[0], NameUnits, ".log");
    const uint8_t listed[4] = {192, 0, 2, 11}; // in IPv4 header order
    std::memcpy(&r.entry.ClientAddress, listed, sizeof listed);
    r.known.MacCount = 1;
    r.known.Macs[0] = 0x020000000011ull;
    r.on[0] = 1;
    return &r;
}

// One request through the control device, straight from its kept buffer as the system
// buffer. The reply's result word overwrites the buffer's start, which is put back after.
inline void FuzzPush(uint32_t code, void* request, size_t bytes) {
    uint8_t* buffer = static_cast<uint8_t*>(request);
    uint8_t start[4];
    std::memcpy(start, buffer, sizeof start);
    ControlStatusBlock status;
    EngineDeviceControl(buffer, uint32_t(bytes), 4, code, &status);
    std::memcpy(buffer, start, sizeof start);
}

// Pushes rules for the users of the real captures, a template, learning, exempt suffixes
// and known clients, refuses unreadable traffic, and switches inspection on. With `admission`,
// admission control is on and only 192.0.2.11 is on the admission list.
inline void FuzzConfigureEngine(bool admission) {
    static FuzzRequests* r = BuildFuzzRequests();
    FuzzPush(IOCTL_ENGINE_SET_RULES, r->rules, sizeof r->rules);
    FuzzPush(IOCTL_ENGINE_SET_TEMPLATES, &r->templ, sizeof r->templ);
    r->settings.AdmissionControl = admission ? 1 : 0;
    FuzzPush(IOCTL_ENGINE_SET_SETTINGS, &r->settings, sizeof r->settings);
    if (admission) {
        FuzzPush(IOCTL_ENGINE_SET_ADMISSION_LIST, &r->entry, sizeof r->entry);
    }
    FuzzPush(IOCTL_ENGINE_SET_KNOWN_CLIENTS, &r->known, sizeof r->known);
    // Unreadable traffic of users with deny rules is refused, so that the refusal's
    // spoils are fuzzed too.
    FuzzPush(IOCTL_ENGINE_SET_REFUSE_UNREADABLE, r->on, 1);
    FuzzPush(IOCTL_ENGINE_SET_INSPECTION, r->on, 1);
}

// One engine serves every input, since a start and stop per input would cost far more
// than most inputs do. Each input begins on a started engine and configures it; at its
// end a reset brings the engine back to what a start leaves, and the pool must then hold
// exactly what it held after the start, or the input leaked (the input that did it is
// the one reported).
inline SimPoolUsage& FuzzStartedPool() {
    static SimPoolUsage started;
    return started;
}

inline bool FuzzBeginInput(bool admission) {
    static bool started = false;
    if (!started) {
        if (!EngineStart()) {
            return false;
        }
        FuzzStartedPool() = SimPoolUsageForTag(EnginePoolTag);
        started = true;
    }
    FuzzConfigureEngine(admission);
    return true;
}

inline void FuzzEndInput() {
    EngineReset();
    SimPoolUsage pool = SimPoolUsageForTag(EnginePoolTag);
    if (pool.blocks != FuzzStartedPool().blocks || pool.bytes != FuzzStartedPool().bytes) {
        std::abort();
    }
}

// Reads out the records a frame left in the rings, as the service does, so that they do
// not wrap. Most frames leave none; those skip the control device.
inline void FuzzDrainRings() {
    static uint8_t buffer[sizeof(FileEvent) * FileEventRingSlots];
    ControlStatusBlock status;
    if (g_Engine.FileEventCount != 0) {
        EngineDeviceControl(buffer, 0, sizeof buffer, IOCTL_ENGINE_READ_EVENTS, &status);
    }
    if (g_Engine.LearnedGrantCount != 0) {
        EngineDeviceControl(buffer, 0, sizeof(LearnedGrant) * LearnedGrantRingSlots,
                            IOCTL_ENGINE_READ_LEARNED, &status);
    }
}
