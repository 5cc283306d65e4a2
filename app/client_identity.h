// The client identity kept in the registry and the distribution channel.
//
// Identity text: "{", a version-4 UUID in lower case, "G}" (39 characters).
// It is looked up in current user Software\<brand>\<brand> Corvelin\, then
// local machine Software\<brand>\<brand> Corvelin\, then local machine
// Software\<brand>\KFE\ (value "ClientSign"); a new one is made and written
// to both local-machine keys when none is found.
//
// The channel lives in local machine Software\KfeCX\: the default value is
// the first channel ever recorded on the machine, and one value per
// application holds that application's latest channel.
#pragma once

#include <cstdint>
#include <string>

std::wstring GetClientSign(const std::wstring& brand);

// A version-4 UUID "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx" drawn from an
// xorshift128+ generator seeded from the system random source. When that
// source fails the generator state stays zero and the answer is
// "00000000-0000-4000-8000-000000000000".
std::string MakeUuid();
// The same from a given 16-byte seed (two little-endian 64-bit words, first
// word first); a null seed is the all-zero state.
std::string MakeUuidFromSeed(const uint8_t seed[16]);

void RecordChannel(const std::wstring& app_id, const std::wstring& channel, const std::wstring& product_id);
// Default value of local machine Software\KfeCX\; empty when missing.
std::wstring ReadDefaultChannel();
