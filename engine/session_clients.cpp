#include "session_clients.h"

#include "engine_state.h"
#include "session_state.h"

namespace {

struct ClientEnumeration {
    SessionClient* out;
    uint32_t capacity;
    uint32_t written;
};

// Runs for each session with the session table's lock held, and looks up the address
// table inside it: the only place these two locks nest, always in this order.
bool CollectSessionClient(void* context, TableKey key, const uint8_t* value, uint32_t length) {
    auto* state = static_cast<ClientEnumeration*>(context);
    if (length != sizeof(SessionUser)) {
        return true;
    }
    SessionClient record;
    KmZeroMemory(&record, sizeof record);
    KmCopyMemory(&record.User, value, sizeof(SessionUser));
    uint32_t held = ClientIpv6Bytes;
    KeyedTableLookup(g_Engine.SessionClients6, true, key, record.ClientIpv6, &held);
    for (uint32_t i = 0; i < state->written; ++i) {
        if (KmEqualMemory(&state->out[i], &record, sizeof record)) {
            return true;
        }
    }
    KmCopyMemory(&state->out[state->written++], &record, sizeof record);
    return state->written < state->capacity;
}

} // namespace

void NoteSessionClient(bool atDispatch, uint64_t session, const uint8_t* clientAddress6) {
    KeyedTable* table = g_Engine.SessionClients6;
    if (clientAddress6 == nullptr) {
        KeyedTableDelete(table, atDispatch, SessionKey(session));
        return;
    }
    uint8_t address[ClientIpv6Bytes];
    KmCopyMemory(address, clientAddress6, ClientIpv6Bytes);
    if (!KeyedTableUpdate(table, atDispatch, SessionKey(session), address, ClientIpv6Bytes)) {
        KeyedTableInsert(table, atDispatch, SessionKey(session), address, ClientIpv6Bytes);
    }
}

uint32_t EnumerateSessionClients(SessionClient* out, uint32_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    ClientEnumeration state{out, capacity, 0};
    KeyedTableForEach(g_Engine.SessionUserTable, false, CollectSessionClient, &state);
    return state.written;
}
