#include "lzh8_builder.h"

#include <gtest/gtest.h>

#include <deque>

namespace lzh8 {

std::string bits(std::uint32_t value, unsigned count)
{
    std::string text;
    for (unsigned i = count; i-- > 0;)
        text += (value >> i & 1) ? '1' : '0';
    return text;
}

std::vector<std::uint8_t> pack_bits(const std::string& bit_text)
{
    std::vector<std::uint8_t> bytes((bit_text.size() + 7) / 8);
    for (std::size_t i = 0; i < bit_text.size(); i++)
        if (bit_text[i] == '1')
            bytes[i / 8] |= 0x80 >> (i % 8);
    return bytes;
}

std::vector<unsigned> layout_tree(const Code& code, unsigned entry_bits)
{
    const unsigned leaf_flag_0 = 1u << (entry_bits - 1), leaf_flag_1 = leaf_flag_0 >> 1;
    std::vector<unsigned> entries(2, 0);
    // Each queued node is a code prefix and the slot it was given.
    std::deque<std::pair<std::string, unsigned>> nodes{{"", 1}};
    unsigned next_pair = 1;
    while (!nodes.empty()) {
        auto [prefix, slot] = nodes.front();
        nodes.pop_front();
        unsigned pair = next_pair++;
        entries.resize(2 * pair + 2, 0);
        unsigned entry = pair - (slot >> 1) - 1;
        EXPECT_LT(entry, leaf_flag_1) << "child offset too large for " << prefix;
        for (unsigned bit = 0; bit < 2; bit++) {
            std::string child = prefix + char('0' + bit);
            unsigned child_slot = 2 * pair + bit;
            auto leaf = code.find(child);
            if (leaf != code.end()) {
                entry |= bit == 0 ? leaf_flag_0 : leaf_flag_1;
                entries[child_slot] = leaf->second;
            } else {
                nodes.emplace_back(child, child_slot);
            }
        }
        entries[slot] = entry;
        EXPECT_LT(prefix.size(), 64u) << "code is not complete";
        if (prefix.size() >= 64)
            break;
    }
    return entries;
}

std::string code_word(const Code& code, unsigned value)
{
    for (const auto& [word, leaf] : code)
        if (leaf == value)
            return word;
    ADD_FAILURE() << "no code word for " << value;
    return "";
}

std::string literal(const Code& lengths, unsigned byte)
{
    return code_word(lengths, byte);
}

std::string match(const Code& lengths, const Code& offsets, unsigned length, std::uint32_t d)
{
    unsigned k = 0;
    while (k < 32 && (d >> k) != 0)
        k++;
    std::string text = code_word(lengths, 256 + length - 3) + code_word(offsets, k);
    if (k >= 2)
        text += bits(d, k - 1);
    return text;
}

// Packs the entries (from slot 1) into area_bytes bytes, dropping any bits
// beyond them.
static void put_entries(std::vector<std::uint8_t>& out, const std::vector<unsigned>& entries,
                        unsigned entry_bits, std::size_t area_bytes)
{
    std::string text;
    for (std::size_t slot = 1; slot < entries.size(); slot++)
        text += bits(entries[slot], entry_bits);
    std::vector<std::uint8_t> packed = pack_bits(text);
    packed.resize(area_bytes, 0);
    out.insert(out.end(), packed.begin(), packed.end());
}

std::vector<std::uint8_t> build(const File& file)
{
    std::vector<std::uint8_t> out;
    auto put32 = [&out](std::uint32_t value) {
        for (int i = 0; i < 4; i++)
            out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    };
    if (file.long_header) {
        put32(0x40);
        put32(file.size);
    } else {
        put32(0x40 | file.size << 8);
    }
    std::size_t length_count = file.length_entries.empty() ? 0 : file.length_entries.size() - 1;
    std::size_t offset_count = file.offset_entries.empty() ? 0 : file.offset_entries.size() - 1;
    // The smallest count words whose sections load every entry: a loader
    // stops once it has fetched every byte of its section, so a section of
    // P entry bytes loads floor(8 (P - 1) / bits) + 1 entries.
    auto loaded = [](unsigned area_bytes, unsigned entry_bits) {
        return 8 * (area_bytes - 1) / entry_bits + 1;
    };
    unsigned w = 0, v = 0;
    if (file.w >= 0)
        w = static_cast<unsigned>(file.w);
    else
        while (loaded(4 * w + 2, 9) < length_count)
            w++;
    if (file.v >= 0)
        v = static_cast<unsigned>(file.v);
    else
        while (loaded(4 * v + 3, 5) < offset_count)
            v++;
    out.push_back(static_cast<std::uint8_t>(w));
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    put_entries(out, file.length_entries, 9, 4 * w + 2);
    out.push_back(static_cast<std::uint8_t>(v));
    put_entries(out, file.offset_entries, 5, 4 * v + 3);
    std::vector<std::uint8_t> stream = pack_bits(file.stream);
    out.insert(out.end(), stream.begin(), stream.end());
    out.insert(out.end(), file.trailing.begin(), file.trailing.end());
    return out;
}

}  // namespace lzh8
