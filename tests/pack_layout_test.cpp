// The packer's code tables, checked against the rules the decoder reads
// them by, its match finder and its parse, through the packer's stages
// linked as a library.
#include "pack/pack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

using namespace ostrel;
using namespace ostrel::pack;

// Walks the laid-out table from the root the way the decoder does and
// collects every leaf with its depth; fails the test on any rule broken.
void check_layout(const std::vector<unsigned>& entries, unsigned entry_bits, unsigned max_offset,
                  const std::vector<unsigned>& expected_lengths)
{
    const unsigned leaf_flag_0 = 1u << (entry_bits - 1), mask = (leaf_flag_0 >> 1) - 1;
    std::vector<unsigned> lengths(expected_lengths.size(), 0);
    std::vector<std::pair<unsigned, unsigned>> nodes{{1, 0}};  // slot, depth
    std::vector<bool> seen(entries.size(), false);
    while (!nodes.empty()) {
        auto [slot, depth] = nodes.back();
        nodes.pop_back();
        unsigned entry = entries[slot];
        ASSERT_LE(entry & mask, max_offset);
        for (unsigned b = 0; b < 2; b++) {
            unsigned child = 2 * ((slot >> 1) + (entry & mask) + 1) + b;
            ASSERT_LT(child, entries.size());
            ASSERT_FALSE(seen[child]) << "slot " << child << " used twice";
            seen[child] = true;
            if (entry & (leaf_flag_0 >> b)) {
                ASSERT_LT(entries[child], lengths.size());
                ASSERT_EQ(lengths[entries[child]], 0u) << "symbol twice";
                lengths[entries[child]] = depth + 1;
            } else {
                nodes.push_back({child, depth + 1});
            }
        }
    }
    EXPECT_EQ(lengths, expected_lengths);
}

std::vector<std::uint64_t> counts_of(unsigned symbols, unsigned mode, std::mt19937& rng)
{
    std::vector<std::uint64_t> counts(symbols);
    for (std::uint64_t& count : counts) {
        switch (mode) {
        case 0: count = 1 + rng() % 1000000; break;                   // skewed
        case 1: count = rng() % 3 == 0 ? 0 : 1 + rng() % 100; break;  // sparse
        case 2: count = 1000 + rng() % 200; break;                    // near flat
        default: count = rng() % 2 ? 1u << (rng() % 30) : 0; break;   // steep
        }
    }
    return counts;
}

TEST(PackLayout, LaidOutTreesKeepEveryRule)
{
    std::mt19937 rng(7);
    unsigned laid_out = 0;
    for (unsigned trial = 0; trial < 400; trial++) {
        std::vector<std::uint64_t> counts = counts_of(length_symbols, trial % 4, rng);
        Tree tree = huffman_tree(counts);
        std::vector<unsigned> entries = layout_tree(tree, 9, length_max_child_offset, length_slots);
        if (entries.empty())
            continue;  // the packer falls back to fewer length symbols
        laid_out++;
        check_layout(entries, 9, length_max_child_offset, code_of(tree, length_symbols).lengths);
        counts = counts_of(offset_symbols, trial % 4, rng);
        tree = huffman_tree(counts);
        entries = layout_tree(tree, 5, offset_max_child_offset, offset_slots);
        ASSERT_FALSE(entries.empty()) << "offset codes always fit";
        check_layout(entries, 5, offset_max_child_offset, code_of(tree, offset_symbols).lengths);
    }
    EXPECT_GE(laid_out, 300u);
}

// The packer's last resort: a flat code of at most 257 symbols.
TEST(PackLayout, FlatCodesOfUpTo257SymbolsAlwaysFit)
{
    for (unsigned used = 2; used <= 257; used++) {
        std::vector<std::uint64_t> counts(length_symbols, 0);
        for (unsigned s = 0; s < used; s++)
            counts[(s * 37) % length_symbols] = 1;
        Tree tree = huffman_tree(counts);
        std::vector<unsigned> entries = layout_tree(tree, 9, length_max_child_offset, length_slots);
        ASSERT_FALSE(entries.empty()) << used;
        check_layout(entries, 9, length_max_child_offset, code_of(tree, length_symbols).lengths);
    }
}

TEST(PackLayout, HuffmanTreesHaveTwoLeavesAtLeast)
{
    for (std::vector<std::uint64_t> counts :
         {std::vector<std::uint64_t>(17, 0), std::vector<std::uint64_t>{0, 0, 5, 0}}) {
        Tree tree = huffman_tree(counts);
        ASSERT_EQ(tree.size(), 1u);
        EXPECT_LT(tree[0][0], 0);
        EXPECT_LT(tree[0][1], 0);
    }
}

// A section must hold every entry's bits and the decoder, which stops
// loading once it has fetched the last byte of the section, must load
// them all; and no smaller section may do.
TEST(PackLayout, SectionsAreTheSmallestThatLoadEveryEntry)
{
    for (unsigned bits : {9u, 5u}) {
        unsigned count_bytes = bits == 9 ? 2 : 1, most = bits == 9 ? 1023 : 63;
        for (std::size_t entries = 1; entries <= most; entries++) {
            unsigned x = section_count(entries, bits, count_bytes);
            auto area = [&](unsigned n) { return 4 * std::size_t{n} + 4 - count_bytes; };
            auto loaded = [&](unsigned n) {
                return std::min<std::size_t>(most, 8 * (area(n) - 1) / bits + 1);
            };
            EXPECT_LE(entries * bits, 8 * area(x)) << bits << " " << entries;
            EXPECT_GE(loaded(x), entries) << bits << " " << entries;
            if (x > 0) {
                EXPECT_TRUE(entries * bits > 8 * area(x - 1) || loaded(x - 1) < entries);
            }
        }
    }
}

}  // namespace

// Every match the binary trees report is really there, however short the
// limit it is cut to: near a block's end only short matches are recorded,
// but the trees must still be ordered for the positions after it.
TEST(PackMatches, TreeMatchesAreRealWhateverTheirLimit)
{
    // Echoes of earlier bytes with a byte changed now and then: many
    // positions share prefixes of every length.
    std::mt19937 rng(3);
    Bytes data(1000);
    for (std::uint8_t& byte : data)
        byte = static_cast<std::uint8_t>(rng() % 4);
    while (data.size() < 300000) {
        std::size_t from = data.size() - 1 - rng() % 900;
        for (auto n = 4 + rng() % 60; n > 0; n--)
            data.push_back(data[from++]);
        data.push_back(static_cast<std::uint8_t>(rng() % 4));
    }
    MatchFinder finder = new_match_finder(FinderKind::trees, data.size());
    unsigned lengths[max_match + 1];
    std::uint32_t distances[max_match + 1];
    unsigned checked = 0;
    for (std::uint32_t i = 0; i < data.size(); i++) {
        // Blocks of 1000 bytes: the limit falls to 1 before each block's end.
        auto limit = std::min<std::size_t>({max_match, 1000 - i % 1000, data.size() - i});
        unsigned found = tree_matches(finder, input_of(data), i, static_cast<unsigned>(limit), 24,
                                      max_match, true, lengths, distances);
        for (unsigned m = 0; m < found; m++, checked++) {
            ASSERT_LE(lengths[m], limit);
            ASSERT_TRUE(std::equal(&data[i], &data[i] + lengths[m], &data[i - distances[m]]))
                << "at " << i << ": " << lengths[m] << " bytes from " << distances[m] << " back";
        }
    }
    EXPECT_GT(checked, 100000u);
}

// Segments cover the input in order, each at least a byte, whole blocks
// but for the last where the parse prices by block; -1's come in an even
// count, for two cores or four.
TEST(PackParse, SegmentsCoverTheInputInOrder)
{
    std::vector<std::size_t> sizes = {0, 1, 65536, 262143, 262144, 1265648, 0xFFFFFFFF};
    for (std::size_t size = 100000; size < 80000000; size = size * 5 / 4 + 4093)
        sizes.push_back(size);
    for (FinderKind kind : {FinderKind::buckets, FinderKind::chains, FinderKind::trees})
        for (std::size_t size : sizes) {
            SCOPED_TRACE(std::to_string(static_cast<int>(kind)) + " " + std::to_string(size));
            std::vector<std::uint32_t> bounds = segment_bounds(kind, size);
            ASSERT_EQ(bounds.front(), 0u);
            ASSERT_EQ(bounds.back(), size);
            ASSERT_EQ(bounds.size() == 1, size == 0);
            for (std::size_t s = 1; s < bounds.size(); s++) {
                ASSERT_LT(bounds[s - 1], bounds[s]);
                if (kind == FinderKind::trees && s + 1 < bounds.size()) {
                    EXPECT_EQ(bounds[s] % block_length, 0u);
                }
            }
            if (kind == FinderKind::buckets && bounds.size() > 2) {
                EXPECT_EQ((bounds.size() - 1) % 2, 0u);
            }
        }
}

// Replays a parse over data: its segments must cover the input in order,
// every match must copy bytes that are really there, no longer than
// max_length, and the counts must be those of its symbols.
void check_parse(const Bytes& data, const Parse& parse, unsigned max_length)
{
    std::size_t end = 0;
    for (const SegmentParse& segment : parse.segments) {
        ASSERT_EQ(segment.start, end);
        std::size_t long_runs = 0;
        walk_segment(
            segment, [&](std::uint32_t at, std::uint32_t count) { end = at + count; },
            [&](std::uint32_t at, const Match& match) {
                long_runs += match.literals == long_run;
                unsigned length = length_of(match);
                std::size_t from = at - match.d - 1;
                EXPECT_LE(length, max_length);
                ASSERT_LE(at + length, data.size());
                EXPECT_TRUE(std::equal(&data[at], &data[at] + length, &data[from])) << "at " << at;
                end = at + length;
            });
        EXPECT_EQ(long_runs, segment.long_runs.size());
    }
    EXPECT_EQ(end, data.size());
    Counts counts = count_symbols(input_of(data), parse);
    EXPECT_TRUE(counts.lengths == parse.counts.lengths && counts.offsets == parse.counts.offsets);
}

// Runs of literals over 255 and over 65535 long, long echoes and short
// ones, over several segments: every level's parse, and the same parse
// cut to every shorter length the tables may fall back on, replay it.
TEST(PackParse, EveryLevelsParseAndItsCutsReplayTheInput)
{
    std::mt19937 rng(5);
    Bytes data(70000);
    for (std::uint8_t& byte : data)
        byte = static_cast<std::uint8_t>(rng());
    while (data.size() < 1200000) {
        std::size_t from = data.size() - 1 - rng() % 60000;
        for (auto n = 3 + rng() % 700; n > 0; n--)
            data.push_back(data[from++]);
        for (auto n = rng() % 4 == 0 ? rng() % 600 : rng() % 3; n > 0; n--)
            data.push_back(static_cast<std::uint8_t>(rng()));
    }
    for (unsigned level = 1; level <= 9; level++) {
        SCOPED_TRACE(level);
        Parse parse = parse_input(input_of(data), level_settings(level), 0, {});
        check_parse(data, parse, max_match);
        for (unsigned max_length : {130u, 10u, 3u}) {
            split_matches(input_of(data), parse, max_length);
            check_parse(data, parse, max_length);
        }
    }
}
