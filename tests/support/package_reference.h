#pragma once
// The package check written the plain way: one byte at a time through a state machine, exactly
// as the format reads. The fast check in payload/package.cpp must agree with it on every input;
// the payload tests and the package-check fuzz target hold it to that.

#include <cstddef>
#include <cstdint>

namespace pv::testing {

inline bool checkPackageByteByByte(const std::uint8_t* data, std::size_t size) {
    enum class State { RecordStart, Address, Length, Data, Sum, End, Done };
    if (data == nullptr || size == 0)
        return false;
    State state = State::RecordStart;
    std::uint32_t sum = 0;
    std::uint32_t expected = 0;
    std::uint32_t length = 0;
    std::uint32_t stored = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t byte = data[i];
        switch (state) {
            case State::RecordStart:
                if (byte != 'P' && byte != 'S')
                    return false;
                state = byte == 'P' ? State::Address : State::Sum;
                expected = 4;
                break;
            case State::Address:
                sum += byte;
                if (--expected == 0) {
                    state = State::Length;
                    expected = 4;
                }
                break;
            case State::Length:
                sum += byte;
                length = (length << 8) | byte;
                if (--expected == 0) {
                    state = State::Data;
                    expected = length;  // 0 counts down through the wrap and never ends here
                    length = 0;
                }
                break;
            case State::Data:
                sum += byte;
                if (--expected == 0)
                    state = State::RecordStart;
                break;
            case State::Sum:
                stored = (stored << 8) | byte;
                if (--expected == 0)
                    state = State::End;
                break;
            case State::End:
                if (byte != 'E')
                    return false;
                state = State::Done;
                break;
            case State::Done:
                return false;  // something follows the end mark
        }
    }
    return state == State::Done && stored == sum;
}

}  // namespace pv::testing
