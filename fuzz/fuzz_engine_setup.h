// A started engine with a policy that denies, reports and learns, for the fuzz targets.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// One request through the control device, from a buffer kept for every input (a fresh
// allocation of tens of kilobytes per request would cost more than the engine's work).
inline void FuzzPush(uint32_t code, const void* data, size_t bytes) {
    static uint8_t buffer[sizeof(EngineSettings) + 4];
    if (bytes + 4 > sizeof buffer) {
        std::abort();
    }
    if (bytes != 0) {
        std::memcpy(buffer, data, bytes);
    }
    ControlStatusBlock status;
    EngineDeviceControl(buffer, uint32_t(bytes), 4, code, &status);
}

// Pushes rules for the users of the real captures, a template, learning, exempt suffixes
// and known clients, and switches inspection on. With `admission`, admission control is on
// and only 192.0.2.11 is on the admission list.
inline void FuzzConfigureEngine(bool admission) {
    AccessRule rules[3];
    std::memset(rules, 0, sizeof rules);
    FuzzSetField(rules[0].Path, SharePathUnits, "docs");
    FuzzSetField(rules[0].UserName, NameUnits, "alice");
    rules[0].Report = rules[0].DenyDelete = rules[0].DenyRename = rules[0].DenyModify = 1;
    FuzzSetField(rules[1].Path, SharePathUnits, "docs\\folder1");
    FuzzSetField(rules[1].UserName, NameUnits, "alice");
    rules[1].DenyAll = rules[1].Report = 1;
    FuzzSetField(rules[2].Path, SharePathUnits, "");
    FuzzSetField(rules[2].UserName, NameUnits, "bob");
    rules[2].KnownClientsOnly = rules[2].Report = rules[2].DenyCreate = 1;
    FuzzPush(IOCTL_ENGINE_SET_RULES, rules, sizeof rules);
    ShareTemplate templ;
    std::memset(&templ, 0, sizeof templ);
    FuzzSetField(templ.Path, SharePathUnits, "public");
    templ.Report = templ.DenyRead = 1;
    FuzzPush(IOCTL_ENGINE_SET_TEMPLATES, &templ, sizeof templ);
    static EngineSettings settings;
    std::memset(&settings, 0, sizeof settings);
    settings.LearningEnabled = 1;
    settings.AdmissionControl = admission ? 1 : 0;
    settings.SuffixCount = 1;
    FuzzSetField(settings.ExemptSuffixList[0], NameUnits, ".log");
    FuzzPush(IOCTL_ENGINE_SET_SETTINGS, &settings, sizeof settings);
    if (admission) {
        AdmissionEntry entry;
        std::memset(&entry, 0, sizeof entry);
        const uint8_t listed[4] = {192, 0, 2, 11}; // in IPv4 header order
        std::memcpy(&entry.ClientAddress, listed, sizeof listed);
        FuzzPush(IOCTL_ENGINE_SET_ADMISSION_LIST, &entry, sizeof entry);
    }
    static KnownClientLists known;
    std::memset(&known, 0, sizeof known);
    known.MacCount = 1;
    known.Macs[0] = 0x020000000011ull;
    FuzzPush(IOCTL_ENGINE_SET_KNOWN_CLIENTS, &known, sizeof known);
    uint8_t on = 1;
    FuzzPush(IOCTL_ENGINE_SET_INSPECTION, &on, 1);
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

inline void FuzzDrainRings() {
    static uint8_t buffer[28800];
    ControlStatusBlock status;
    EngineDeviceControl(buffer, 0, sizeof buffer, IOCTL_ENGINE_READ_EVENTS, &status);
    EngineDeviceControl(buffer, 0, 12800, IOCTL_ENGINE_READ_LEARNED, &status);
}
