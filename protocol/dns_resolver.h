// Name resolution of our own: a one-shot DNS query over UDP for an IPv4 address, and the parsers
// of the two untrusted replies involved (the DNS answer and the DDNS web service's redirect
// page). The platform's resolver is never used. The DDNS web lookup itself is
// StreamObject::req_morva_ddns (ddns_lookup.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zaq {

constexpr size_t kDnsHeaderSize = 12;
// Longest name text a query takes: its label form must fit the 255 bytes a DNS name may have.
constexpr size_t kDnsMaxNameLength = 253;
constexpr size_t kDnsMaxLabelLength = 63;
// Records read per section of an answer; further ones are ignored.
constexpr int kDnsMaxRecordsPerSection = 20;

// Resolves `name` with our own query: returns the IPv4 address (network byte order) of the last
// A record in the answer section, or -1. The name is sent exactly as passed, to the DDNS
// provider's name server when its lower-cased first 80 characters contain netConfig().ddnsDomain
// and to the public resolver otherwise, on netConfig().dnsPort. Waits about 3 s for an answer,
// less when the calling session thread is cancelled. Blocking; session comm thread.
int32_t resolveDnsName(const char* name);

// The name server (IPv4 text) resolveDnsName asks for `name`. Any thread.
std::string dnsServerFor(const char* name);

// Writes the A/IN query for `name` (id 0xFFFF, recursion desired, one question) into `out`.
// Returns its length, 18 + strlen(name), or -1 when the name is empty or too long, has an empty
// label or one over 63 characters, or does not fit `capacity`. Pure.
int buildDnsQuery(const char* name, uint8_t* out, size_t capacity);

// Parses the answer to our own query: `length` received bytes, whose records start at
// `queryLength`, the length of the query we sent (the answer repeats our question first).
// Returns the address (network byte order) of the last A record of the answer section, or -1
// when the answer section holds none or when anything in the at most 20 records read per section
// is malformed: counts beyond the data, truncated records, bad compression pointers (loops, past
// the end), names over 255 bytes, A records whose data is not 4 bytes. A records of the
// additional section never count. Pure; safe on any input (fuzz target).
int32_t parseDnsAnswer(const uint8_t* packet, size_t length, size_t queryLength);

// Parses the DDNS web service's reply of `length` bytes (need not be zero-terminated) to a
// lookup. Returns 0 with the DVR's host, zero-terminated, in `host`; -2 when the service does not
// know the name ("DVR_Error="); -1 when "Location:", "Server:" or the link to the DVR is
// missing, the host is empty, or it would not fit `hostCapacity` (host is then left untouched).
// The host is the text after `<a HREF="http://` up to the first ':' or '/' (or a quote, angle
// bracket, white space or NUL, which cannot be part of it). Pure; safe on any input (fuzz
// target).
int parseDdnsReply(const char* text, size_t length, char* host, size_t hostCapacity);

}  // namespace zaq
