#include "model/flash.h"

#include <algorithm>
#include <vector>

namespace vprinter {
namespace {

void put32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xFF);
}

std::uint32_t get32(std::string_view in) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = value << 8 | static_cast<std::uint8_t>(in[i]);
    return value;
}

}  // namespace

void FlashMemory::save(std::string& out) const {
    std::vector<std::uint32_t> indices;
    indices.reserve(pages_.size());
    for (const auto& [index, page] : pages_)
        indices.push_back(index);
    std::sort(indices.begin(), indices.end());
    for (const std::uint32_t index : indices) {
        const Page& page = *pages_.at(index);
        for (std::uint32_t at = 0; at < kPageSize;) {
            if (!page.used[at]) {
                ++at;
                continue;
            }
            std::uint32_t end = at;
            while (end < kPageSize && page.used[end])
                ++end;
            put32(out, index * kPageSize + at);
            put32(out, end - at);
            out.append(reinterpret_cast<const char*>(page.data.data() + at), end - at);
            at = end;
        }
    }
}

bool FlashMemory::load(std::string_view in) {
    erase();
    while (!in.empty()) {
        if (in.size() < 8 || in.size() - 8 < get32(in.substr(4))) {
            erase();
            return false;
        }
        const std::uint32_t address = get32(in);
        const std::uint32_t length = get32(in.substr(4));
        write(address, {reinterpret_cast<const std::uint8_t*>(in.data() + 8), length});
        in.remove_prefix(8 + std::size_t{length});
    }
    return true;
}

void FlashMemory::erase() {
    pages_.clear();
    sum_ = 0;
    written_ = 0;
}

void FlashMemory::write(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    for (std::uint8_t b : bytes) {
        auto& page = pages_[address / kPageSize];
        if (!page)
            page = std::make_unique<Page>();
        const std::uint32_t offset = address % kPageSize;
        if (page->used[offset]) {
            sum_ -= page->data[offset];
        } else {
            page->used[offset] = true;
            ++written_;
        }
        page->data[offset] = b;
        sum_ += b;
        ++address;
    }
}

std::uint8_t FlashMemory::read(std::uint32_t address) const {
    const auto it = pages_.find(address / kPageSize);
    if (it == pages_.end() || !it->second->used[address % kPageSize])
        return 0xFF;
    return it->second->data[address % kPageSize];
}

std::string FlashMemory::readText(std::uint32_t address, std::size_t count) const {
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += static_cast<char>(read(address + static_cast<std::uint32_t>(i)));
    return text;
}

void PackageParser::fail(std::string why) {
    state_ = State::Failed;
    failure_ = std::move(why);
}

void PackageParser::feed(std::span<const std::uint8_t> chunk, Loader loader, void* context) {
    std::size_t i = 0;
    while (i < chunk.size() && state_ != State::Failed) {
        if (state_ == State::Data) {
            // Hand over the record's data in one piece where the chunk allows.
            const auto n = std::min<std::size_t>(remaining_, chunk.size() - i);
            const auto piece = chunk.subspan(i, n);
            for (std::uint8_t b : piece)
                sum_ += b;
            loader(context, address_, piece);
            address_ += static_cast<std::uint32_t>(n);
            remaining_ -= static_cast<std::uint32_t>(n);
            packageBytes_ += n;
            i += n;
            if (remaining_ == 0)
                state_ = State::Marker;
            continue;
        }
        byte(chunk[i++]);
    }
}

void PackageParser::byte(std::uint8_t b) {
    if (state_ == State::Done) {
        if (b != 0)
            return fail("data after the end mark");
        ++paddingBytes_;
        return;
    }
    ++packageBytes_;
    switch (state_) {
        case State::Marker:
            if (b == 'P') {
                state_ = State::Address;
                ++records_;
            } else if (b == 'S') {
                state_ = State::Sum;
            } else {
                return fail("byte " + std::to_string(b) + " where a record should start");
            }
            field_ = 0;
            fieldBytes_ = 0;
            return;
        case State::Address:
        case State::Length:
        case State::Sum:
            field_ = (field_ << 8) | b;
            if (state_ != State::Sum)
                sum_ += b;
            if (++fieldBytes_ < 4)
                return;
            fieldBytes_ = 0;
            if (state_ == State::Address) {
                address_ = field_;
                state_ = State::Length;
            } else if (state_ == State::Length) {
                if (field_ == 0)
                    return fail("load record of length 0");
                remaining_ = field_;
                state_ = State::Data;
            } else {
                stored_ = field_;
                state_ = State::End;
            }
            field_ = 0;
            return;
        case State::End:
            ended_ = true;
            if (b != 'E')
                return fail("no end mark after the sum record");
            if (stored_ != sum_)
                return fail("sum mismatch");
            state_ = State::Done;
            return;
        default:
            return;
    }
}

}  // namespace vprinter
