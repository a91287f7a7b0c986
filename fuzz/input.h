// Reading a fuzzer's input as a stream of choices: each call takes the next bytes, and an input
// that runs out answers zeros, so every input is a complete run.
#pragma once

#include <cstddef>
#include <cstdint>

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool empty() const { return m_pos >= m_size; }
    size_t left() const { return empty() ? 0 : m_size - m_pos; }
    uint8_t byte() { return empty() ? 0 : m_data[m_pos++]; }
    uint16_t word()
    {
        const uint8_t high = byte();
        return static_cast<uint16_t>(high << 8 | byte());
    }
    // Up to `count` bytes as they stand in the input; fewer at its end.
    const uint8_t* take(size_t count, size_t* taken)
    {
        *taken = count < left() ? count : left();
        const uint8_t* at = m_data + m_pos;
        m_pos += *taken;
        return at;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};
