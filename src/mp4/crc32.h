// CRC-32 as zlib, PNG and Ethernet compute it (polynomial 0xEDB88320, reflected, inverted in and
// out): the recording journal's check of its own records and of the sample bytes they describe.
#pragma once

#include <cstddef>
#include <cstdint>

// The CRC of size bytes, continuing from crc (the CRC of the bytes before them; 0 to start), so
// that Crc32(b, n, Crc32(a, m)) is the CRC of a followed by b. "123456789" gives 0xCBF43926.
std::uint32_t Crc32(const void* data, std::size_t size, std::uint32_t crc = 0);
