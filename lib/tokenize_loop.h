// The lane decoder's fast loop, which lanes.cpp includes through
// each_processor.h: once for any processor and once for those with BMI2
// (hence no include guard).

namespace OSTREL_FAST_NAMESPACE {

// The whole-file decoder's fast loop (fast_loop.h), making tokens:
// literals as they are, matches as sequences, until the input reaches stop
// or the buffer's room runs low. False when decoding ended for good (a
// failure on a code the lookups do not resolve).
template <unsigned length_bits>
OSTREL_FAST_TARGET bool tokenize_fast(BitReader& reader, const Lookups& lookups,
                                      const std::uint8_t* stop, Tokens& tokens)
{
    const std::uint8_t* const input_last = std::min(reader.end - fast_input, stop);
    if (reader.next > input_last)
        return true;
    const std::uint32_t* length_lookup = lookups.length_lookup;
    const std::uint32_t* offset_lookup = lookups.offset_lookup;
    std::uint8_t* const literals = tokens.literals.get();
    Sequence* const sequences = tokens.sequences.get();
    // Three literal entries store 6 bytes at most; a round closes one
    // sequence at most, and one is kept for the last run.
    std::uint8_t* const out_last = literals + tokens.literal_capacity - 6;
    Sequence* const sequence_last = sequences + tokens.sequence_capacity - 2;
    std::uint8_t* out = literals + tokens.literal_count;
    std::uint8_t* run_start = literals + tokens.run_begin;
    Sequence* sequence = sequences + tokens.sequence_count;
    std::uint32_t matched = tokens.matched;
    FastBits fast = {reader.bits, reader.count, reader.next};
    auto hand_back = [&]() {
        reader.bits = fast.bits;
        reader.count = fast.count & 63;
        reader.next = fast.next;
        tokens.literal_count = static_cast<std::uint32_t>(out - literals);
        tokens.run_begin = static_cast<std::uint32_t>(run_start - literals);
        tokens.sequence_count = static_cast<std::uint32_t>(sequence - sequences);
        tokens.matched = matched;
    };
    refill_fast(fast);
    std::uint32_t entry = next_length_entry<length_bits>(fast, length_lookup);
    while (out < out_last && sequence < sequence_last && fast.next <= input_last) {
        refill_fast(fast);
        if (put_three_literals<length_bits>(fast, entry, length_lookup, out))
            continue;
        const std::uint32_t length = match_length(entry);
        std::uint32_t distance = 0;
        if (!take_match_distance(fast, entry, offset_lookup, distance)) {
            hand_back();
            Symbol symbol = {length, 0, 0};
            lzh8_result result = (entry & lookup_unresolved) != 0
                                     ? read_symbol(reader, lookups, symbol)
                                     : read_distance(reader, lookups, symbol.distance);
            if (result != LZH8_OK) {
                fail(tokens, result);
                return false;
            }
            add_symbol(tokens, symbol);
            if (reader.next > input_last)
                return true;
            fast = {reader.bits, reader.count, reader.next};
            out = literals + tokens.literal_count;
            run_start = literals + tokens.run_begin;
            sequence = sequences + tokens.sequence_count;
            matched = tokens.matched;
            refill_fast(fast);
            entry = next_length_entry<length_bits>(fast, length_lookup);
            continue;
        }
        entry = next_length_entry<length_bits>(fast, length_lookup);
        *sequence++ = {static_cast<std::uint32_t>(out - run_start),
                       static_cast<std::uint16_t>(length),
                       static_cast<std::uint16_t>(distance - 1)};
        run_start = out;
        matched += length;
    }
    hand_back();
    return true;
}

// The loop for a lookup of the bits the lookups were built with.
OSTREL_FAST_TARGET bool tokenize_fast_run(BitReader& reader, const Lookups& lookups,
                                          const std::uint8_t* stop, Tokens& tokens)
{
    switch (lookups.length_bits) {
    case 10: return tokenize_fast<10>(reader, lookups, stop, tokens);
    case 11: return tokenize_fast<11>(reader, lookups, stop, tokens);
    default: return tokenize_fast<12>(reader, lookups, stop, tokens);
    }
}

}  // namespace OSTREL_FAST_NAMESPACE
