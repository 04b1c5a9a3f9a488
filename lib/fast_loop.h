// The whole-file decoder's fast loop, which decode.cpp includes through each_processor.h:
// once for any processor and once for those with BMI2 (hence no include
// guard).

namespace OSTREL_FAST_NAMESPACE {

// The fast loop. Each round starts with fast_input bytes of input left and
// room in the image for three literal entries and a copy's overrun, with
// the entry for the next bits already looked up: a refill keeps the
// buffered bits in place, so an entry stays good across one. Codes that
// the lookups do not resolve take the general path, which may leave fewer
// bits than a lookup needs: the next entry is then looked up after a
// refill, or the careful loop takes over near the input's end. The next
// entry is looked up before a match is copied, so that the load and the
// copy overlap. The loop's bit buffer is a local whose address is never
// taken, so that its fields can stay in registers, where the image's byte
// stores, which may alias anything in memory, would otherwise send them
// back to memory every time; it is handed back to `reader` for the calls
// that take one, and at the end. Decodes from q on while the input has
// room and q is below stop, which leaves the room that check_room asks
// for, and moves q on. The input has room while input_margin bytes are
// left to load, fast_input or more. check_start checks each match's distance against
// the bytes made; a loop that starts a whole window into the image needs
// no such check, since no distance is longer than the window.
template <unsigned length_bits, bool check_room, bool check_start>
OSTREL_FAST_TARGET lzh8_result decode_fast(BitReader& reader, const Lookups& lookups,
                                           std::uint8_t* image, std::uint32_t size,
                                           std::uint32_t& q, std::uint32_t stop,
                                           std::ptrdiff_t input_margin)
{
    if (q >= stop || reader.end - reader.next < input_margin)
        return LZH8_OK;
    const std::uint32_t* length_lookup = lookups.length_lookup;
    const std::uint32_t* offset_lookup = lookups.offset_lookup;
    const std::uint8_t* const input_last = reader.end - input_margin;
    std::uint8_t* out = image + q;
    std::uint8_t* const out_last = image + stop;
    const std::uint8_t* const image_end = image + size;
    FastBits fast = {reader.bits, reader.count, reader.next};
    auto hand_back = [&reader, &q, image](const FastBits& from, const std::uint8_t* at) {
        reader.bits = from.bits;
        reader.count = from.count & 63;
        reader.next = from.next;
        q = static_cast<std::uint32_t>(at - image);
    };
    refill_fast(fast);
    std::uint32_t entry = next_length_entry<length_bits>(fast, length_lookup);
    while (out < out_last && fast.next <= input_last) {
        refill_fast(fast);
        if (put_three_literals<length_bits>(fast, entry, length_lookup, out))
            continue;
        const std::uint32_t length = match_length(entry);
        // A match near the image's end, or a code not yet known to be
        // one, is the careful loop's.
        if (check_room && ((entry & lookup_unresolved) != 0 ? max_match : length) + copy_overrun >
                              static_cast<std::uint32_t>(image_end - out))
            break;
        std::uint32_t distance = 0;
        if (!take_match_distance(fast, entry, offset_lookup, distance)) {
            // The general path, from the bits where the code stands.
            hand_back(fast, out);
            lzh8_result result = (entry & lookup_unresolved) != 0
                                     ? decode_symbol<false>(reader, lookups, image, q, size)
                                     : finish_match<false>(reader, lookups, image, q, size, length);
            if (result != LZH8_OK || reader.end - reader.next < input_margin)
                return result;
            fast = {reader.bits, reader.count, reader.next};
            out = image + q;
            refill_fast(fast);
            entry = next_length_entry<length_bits>(fast, length_lookup);
            continue;
        }
        entry = next_length_entry<length_bits>(fast, length_lookup);
        if (check_start && distance > static_cast<std::uint32_t>(out - image))
            return LZH8_MATCH_BEFORE_START;
        copy_match(out, distance, length);
        out += length;
    }
    hand_back(fast, out);
    return LZH8_OK;
}

// The fast loop in three stretches: in the image's first window, where a
// match may reach before its start; then, where no match can, up to where
// the image has room for any match; and in its last bytes, each match
// checked for room. Each stretch ends early where the input runs low or
// at stop, and the next then starts no loop.
template <unsigned length_bits>
OSTREL_FAST_TARGET lzh8_result decode_fast_stretches(BitReader& reader, const Lookups& lookups,
                                                     std::uint8_t* image, std::uint32_t size,
                                                     std::uint32_t& q, std::uint32_t stop,
                                                     std::ptrdiff_t margin)
{
    static_assert(window >= 65536, "a match reaches back 65536 bytes at most");
    const std::uint32_t unchecked_stop =
        std::min(stop, size > unchecked_room ? size - unchecked_room : 0);
    const std::uint32_t checked_stop =
        std::min(stop, size > checked_room ? size - checked_room : 0);
    lzh8_result result = decode_fast<length_bits, false, true>(
        reader, lookups, image, size, q, std::min(unchecked_stop, window), margin);
    if (result == LZH8_OK && q >= window)
        result = decode_fast<length_bits, false, false>(reader, lookups, image, size, q,
                                                        unchecked_stop, margin);
    if (result != LZH8_OK)
        return result;
    return decode_fast<length_bits, true, true>(reader, lookups, image, size, q, checked_stop,
                                                margin);
}

// The loops for a lookup of the bits the lookups were built with.
OSTREL_FAST_TARGET lzh8_result decode_fast_run(BitReader& reader, const Lookups& lookups,
                                               std::uint8_t* image, std::uint32_t size,
                                               std::uint32_t& q, std::uint32_t stop,
                                               std::ptrdiff_t input_margin)
{
    switch (lookups.length_bits) {
    case 10: return decode_fast_stretches<10>(reader, lookups, image, size, q, stop, input_margin);
    case 11: return decode_fast_stretches<11>(reader, lookups, image, size, q, stop, input_margin);
    default: return decode_fast_stretches<12>(reader, lookups, image, size, q, stop, input_margin);
    }
}

}  // namespace OSTREL_FAST_NAMESPACE
