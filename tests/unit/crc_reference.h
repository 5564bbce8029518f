// CRC-16/MODBUS computed bit by bit, straight from its definition: the
// reference for the table-driven CRC of the shared library.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace ut_test {

inline uint16_t bitwise_crc16(const unsigned char* data, size_t size, uint16_t crc = 0xFFFF) {
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

inline uint16_t bitwise_crc16(const std::string& data) {
    return bitwise_crc16(reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

} // namespace ut_test
