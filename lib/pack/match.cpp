// Match finding over the last 64 KiB.
//
// Two finders share one idea: positions are grouped by a hash of the four
// bytes that start there, and only positions of the same group are tried.
// Hash chains link each group's positions newest first and suit a search
// that wants the longest match and stops early. Binary trees keep each
// group's positions sorted by the bytes that follow, so one descent finds
// every match longer than all before it, which the cheapest-path parse
// weighs. Three-byte matches pay off only close by: one more table keeps the
// latest position of each three-byte hash.
#include "pack.h"

#include <algorithm>
#include <cstring>

namespace ostrel::pack {

// Hash widths for inputs of 64 KiB and more; a smaller input gets tables
// about as large as itself, which fill in less time than the packing takes.
const unsigned hash4_max_bits = 16;  // as many buckets as chain heads
const unsigned hash3_less_bits = 2;  // the three-byte table is 4 times smaller
const unsigned hash4_min_bits = 10;

static unsigned hash3(const MatchFinder& finder, const std::uint8_t* p)
{
    return ((load_32(p) & 0xFFFFFF) * 2654435761u) >> (32 - finder.hash4_bits + hash3_less_bits);
}

MatchFinder new_match_finder(FinderKind kind, std::size_t input_size)
{
    MatchFinder finder;
    auto windowed = static_cast<std::uint32_t>(std::min<std::size_t>(input_size, window));
    finder.hash4_bits = std::min(hash4_max_bits, std::max(hash4_min_bits, bit_length(windowed)));
    if (kind == FinderKind::buckets) {
        finder.buckets.assign(std::size_t{2} << finder.hash4_bits, 0);
        return finder;
    }
    finder.latest3.assign(std::size_t{1} << (finder.hash4_bits - hash3_less_bits), no_position);
    finder.heads.assign(std::size_t{1} << finder.hash4_bits, no_position);
    // A chain link per position of the window. A tree node per position of
    // twice the window: the node of the position exactly 65536 back must
    // survive while the current position's node is being written. Positions
    // modulo those spans stay below a shorter input's size, which is then
    // all the links need.
    bool trees = kind == FinderKind::trees;
    std::size_t span = std::min<std::size_t>(trees ? 2 * std::size_t{window} : window,
                                             std::max<std::size_t>(input_size, 1));
    finder.links.assign(trees ? 2 * span : span, no_position);
    return finder;
}

void clear_match_finder(MatchFinder& finder)
{
    std::fill(finder.latest3.begin(), finder.latest3.end(), no_position);
    std::fill(finder.heads.begin(), finder.heads.end(), no_position);
    std::fill(finder.links.begin(), finder.links.end(), no_position);
    std::fill(finder.buckets.begin(), finder.buckets.end(), std::uint16_t{0});
}

// ---- Hash chains ---------------------------------------------------------

// The longest match at i of at most limit bytes (from depth candidates,
// stopping at nice bytes), if longer than best; links i into its chain.
// Searching before linking keeps the link of i - 65536, which shares i's
// slot, readable, so the whole window is reachable.
unsigned chain_longest(MatchFinder& finder, const Input& data, std::uint32_t i, unsigned limit,
                       unsigned depth, unsigned nice, unsigned best, std::uint32_t& distance)
{
    if (data.size - i < 4)
        return 0;
    const std::uint8_t* here = &data.bytes[i];
    unsigned h = hash4(finder, load_32(here));
    std::uint32_t first = finder.heads[h], candidate = first;
    for (; depth > 0 && candidate != no_position && best < limit; depth--) {
        std::uint32_t back = i - candidate;
        if (back > window)
            break;
        const std::uint8_t* there = &data.bytes[candidate];
        // The byte that would make the match longer than the best first:
        // most candidates fail there.
        if (there[best] == here[best] && load_32(there) == load_32(here)) {
            unsigned length = common_length(here, there, limit);
            if (length > best) {
                best = length;
                distance = back;
                if (length >= nice)
                    break;
            }
        }
        candidate = finder.links[candidate % window];
    }
    finder.links[i % window] = first;
    finder.heads[h] = i;
    return best;
}

void chain_insert(MatchFinder& finder, const Input& data, std::uint32_t i)
{
    if (data.size - i < 4)
        return;
    unsigned h = hash4(finder, load_32(&data.bytes[i]));
    finder.links[i % window] = finder.heads[h];
    finder.heads[h] = i;
}

unsigned near3_length(MatchFinder& finder, const Input& data, std::uint32_t i, unsigned limit,
                      std::uint32_t& distance)
{
    if (data.size - i < 4 || limit < min_match)
        return 0;
    unsigned h = hash3(finder, &data.bytes[i]);
    std::uint32_t near = finder.latest3[h];
    finder.latest3[h] = i;
    if (near == no_position || i - near > window ||
        ((load_32(&data.bytes[i]) ^ load_32(&data.bytes[near])) & 0xFFFFFF) != 0)
        return 0;
    distance = i - near;
    return min_match;
}

// ---- Binary trees ----------------------------------------------------------
//
// Node n (a position) has a smaller child at links[2 (n mod 2W)] and a
// larger one at links[2 (n mod 2W) + 1]: smaller and larger in the order of
// the bytes that follow, compared over at most nice bytes. Inserting i
// makes it the root of its group's tree: the descent from the old root
// splits the tree into the part below i and the part above it, which
// become i's two subtrees. Nodes beyond the window and those beyond the
// depth are cut off, so the trees never hold stale positions.
//
// The descent skips the bytes that the nodes above are known to share with
// i, which holds only while every insertion orders its nodes over the same
// bytes: nice, or fewer only near the input's end, where each position has
// fewer bytes left than the one before. So insertions compare up to the
// input's end, never up to the end of a block or a segment; a match is
// only recorded up to limit bytes.

static std::uint32_t* tree_node(MatchFinder& finder, std::uint32_t position)
{
    return &finder.links[2 * (position % (2 * window))];
}

unsigned tree_matches(MatchFinder& finder, const Input& data, std::uint32_t i, unsigned limit,
                      unsigned depth, unsigned nice, bool record, unsigned* lengths,
                      std::uint32_t* distances)
{
    unsigned found = 0;
    if (data.size - i < 4)
        return 0;
    unsigned compared = static_cast<unsigned>(std::min<std::size_t>(max_match, data.size - i));
    const std::uint8_t* here = &data.bytes[i];
    unsigned h = hash4(finder, load_32(here));
    std::uint32_t candidate = finder.heads[h];
    finder.heads[h] = i;
    std::uint32_t* smaller = tree_node(finder, i);
    std::uint32_t* larger = smaller + 1;
    // Every node under the smaller pending link shares at least
    // smaller_length bytes with here, and likewise for larger: the shorter
    // of the two is known to match without looking.
    unsigned smaller_length = 0, larger_length = 0, best = min_match - 1;
    unsigned stop = nice < compared ? nice : compared;
    for (;;) {
        if (candidate == no_position || i - candidate > window || depth-- == 0) {
            *smaller = *larger = no_position;
            return found;
        }
        const std::uint8_t* there = &data.bytes[candidate];
        unsigned length = smaller_length < larger_length ? smaller_length : larger_length;
        if (there[length] == here[length]) {
            length += common_length(here + length, there + length, compared - length);
            unsigned usable = length < limit ? length : limit;
            if (record && usable > best) {
                best = usable;
                lengths[found] = usable;
                distances[found++] = i - candidate;
            }
            if (length >= stop) {
                // As good as equal: the candidate's subtrees become i's,
                // and the candidate leaves the tree for the newer i.
                std::uint32_t* node = tree_node(finder, candidate);
                *smaller = node[0];
                *larger = node[1];
                return found;
            }
        }
        std::uint32_t* node = tree_node(finder, candidate);
        if (there[length] < here[length]) {
            *smaller = candidate;
            smaller = node + 1;
            candidate = *smaller;
            smaller_length = length;
        } else {
            *larger = candidate;
            larger = node;
            candidate = *larger;
            larger_length = length;
        }
    }
}

}  // namespace ostrel::pack
