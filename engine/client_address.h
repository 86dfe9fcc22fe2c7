// The client's address and the flow key of a classified frame, for either IP version.
#pragma once

#include <stdint.h>

#include "frame_view.h"
#include "keyed_table.h"

// The remote side is the client: the sender of a request, the addressee of a response.
// Its IPv4 address in header byte order, or 0 when IPv6 carried the frame: records keep
// a 32-bit address field, and no IPv4 rule (admission list, known-client address word)
// ever matches an IPv6 client.
uint32_t ClientIpv4Of(const FrameView* view, bool request);
// Its 16 IPv6 address bytes inside the frame, or null when IPv4 carried the frame.
const uint8_t* ClientIpv6Of(const FrameView* view, bool request);

// The key of a TCP flow (one direction): both addresses and both ports.
//
// IPv4: the two addresses in KeyLow and the two ports in KeyHigh, exactly. IPv6: the 32
// address bytes do not fit a key, so they are folded into 95 bits: two independent
// multiply-xorshift lanes over the four 64-bit address words, seeded at engine start, one
// lane in KeyLow and 31 bits of the other above the ports in KeyHigh, whose top bit is set
// so that no IPv6 key equals an IPv4 one (IPv4 keys leave the top half of KeyHigh zero).
// Two IPv6 connections share a key only by a 95-bit accident; the seed keeps a sender
// from choosing an address that lands on another connection's key.
TableKey FlowKeyOf(const FrameView* view);

// A 64-bit word that names the client's side of a TCP connection: its address, its port
// and the server's port (the key the engine's request tables add to a request's ids), from
// the client's IPv4 address (ClientIpv4Of), its IPv6 address (ClientIpv6Of; null for IPv4)
// and client port << 16 | server port. IPv4: a bijection of (address, ports) folded with
// the engine's seed, so two IPv4 connections never share a word. IPv6: the 16 address
// bytes and the ports folded into 64 bits with the seed. Without the seed a sender cannot
// choose ids that land its request on another connection's key.
uint64_t ConnectionWord(uint32_t clientAddress, const uint8_t* clientAddress6,
                        uint32_t clientPorts);
// The same for the connection of a classified frame.
uint64_t ConnectionOf(const FrameView* view, bool request);

// The seed of the IPv6 fold; set once when the engine starts.
void SetFlowFoldSeed(uint64_t seed);
