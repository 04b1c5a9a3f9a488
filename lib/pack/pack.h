// The packer's stages, which write an LZH8 file that decodes back to the
// input.
//
// The file carries one length tree (literals 0..255 and match lengths
// 3..258 as symbols 256..511) and one offset tree (the bit length k of the
// match displacement d = distance - 1, distances 1..65536), each laid out
// as a table of node pairs, then the bit stream of codes, most significant
// bit first. One pair of codes serves the whole file.
//
// Packing runs in stages, one file each, in the order data flows:
//   match.cpp    finds earlier occurrences: hash buckets and chains for the
//                fast levels, binary trees for the best;
//   parse.cpp    chooses literals and matches: greedy or lazy for the fast
//                levels, the cheapest path under bit prices for the best;
//   codes.cpp    builds the Huffman codes and lays each tree out in its table;
//   write.cpp    writes the file into memory;
//   pack.cpp     the entry point, lzh8_pack.
//
// Within the stages a failure to allocate throws std::bad_alloc, which
// lzh8_pack turns into its result code.
#ifndef OSTREL_LIB_PACK_H
#define OSTREL_LIB_PACK_H

#include "../bytes.h"
#include "../format.h"
#include "../threads.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ostrel::pack {

// ---- match.cpp ---------------------------------------------------------

const std::uint32_t no_position = 0xFFFFFFFF;

// The match finder's tables. For hash chains and binary trees, all of
// positions: the latest position of each three-byte hash; the newest
// position (a chain's head or a tree's root) of each four-byte hash; and
// the links, one per position of the window for chains, two per position
// of twice the window for trees. For hash buckets, two positions per
// four-byte hash, each cut to its low 16 bits, which is enough within the
// window and halves the table that every position reads. Inputs shorter
// than the window get tables to their size.
enum class FinderKind { buckets, chains, trees };

struct MatchFinder {
    std::vector<std::uint32_t> latest3, heads, links;
    std::vector<std::uint16_t> buckets;
    unsigned hash4_bits;  // 2^hash4_bits chains, trees or buckets
};

MatchFinder new_match_finder(FinderKind kind, std::size_t input_size);
// Empties the finder's tables, for another part of the input.
void clear_match_finder(MatchFinder& finder);

inline std::uint32_t load_32(const std::uint8_t* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// The four-byte hash of the bytes whose little-endian value is four.
inline unsigned hash4(const MatchFinder& finder, std::uint32_t four)
{
    return (four * 2654435761u) >> (32 - finder.hash4_bits);
}

// Length of the common prefix of a and b, at most limit bytes.
inline unsigned common_length(const std::uint8_t* a, const std::uint8_t* b, unsigned limit)
{
    unsigned length = 0;
    while (length + 8 <= limit) {
        std::uint64_t x, y;
        std::memcpy(&x, a + length, 8);
        std::memcpy(&y, b + length, 8);
        if (x != y)
            return length + static_cast<unsigned>(__builtin_ctzll(x ^ y) / 8);
        length += 8;
    }
    while (length < limit && a[length] == b[length])
        length++;
    return length;
}

// Hash chains: the longest match at i of at most limit bytes found among
// depth candidates, stopping at nice bytes; best if none is longer than
// best, else its length, with distance set. Links i into its chain.
unsigned chain_longest(MatchFinder& finder, const Input& data, std::uint32_t i, unsigned limit,
                       unsigned depth, unsigned nice, unsigned best, std::uint32_t& distance);
void chain_insert(MatchFinder& finder, const Input& data, std::uint32_t i);

// Hash buckets, for the fastest level, which calls them at every position
// and so has them inline: each four-byte hash has a bucket of the two
// newest positions, buckets[2h] (newer) and buckets[2h + 1], and no links.
// Both take an i with four bytes from i on.
//
// A bucket keeps a position's low 16 bits only, which give its distance
// back from i modulo 65536, read as 1 to 65536. An entry may be older than
// that, or never set: its distance then points at some other position,
// which the comparison of the bytes there checks like any candidate, so
// that every match found is a true one.

// The longer match at i with the bucket's positions, of at most limit
// bytes (4 <= limit <= size - i), 0 if neither shares i's first four
// bytes; adds i to the bucket.
inline unsigned bucket_longest(MatchFinder& finder, const std::uint8_t* data, std::uint32_t i,
                               unsigned limit, std::uint32_t& distance)
{
    std::uint32_t here = load_32(data + i);
    std::uint16_t* bucket = &finder.buckets[2 * hash4(finder, here)];
    std::uint16_t newer = bucket[0], older = bucket[1];
    bucket[0] = static_cast<std::uint16_t>(i);
    bucket[1] = newer;
    unsigned best = 0;
    for (std::uint16_t stored : {newer, older}) {
        std::uint32_t back = static_cast<std::uint16_t>(i - stored);
        back = back == 0 ? window : back;
        if (back > i || load_32(data + i - back) != here)
            continue;
        unsigned length = 4 + common_length(data + i + 4, data + i - back + 4, limit - 4);
        if (length > best) {
            best = length;
            distance = back;
        }
    }
    return best;
}

// Asks for i's bucket to be brought into the cache; i has four bytes.
inline void prefetch_bucket(const MatchFinder& finder, const std::uint8_t* data, std::uint32_t i)
{
    __builtin_prefetch(&finder.buckets[2 * hash4(finder, load_32(data + i))], 1);
}

inline void bucket_insert(MatchFinder& finder, const std::uint8_t* data, std::uint32_t i)
{
    std::uint16_t* bucket = &finder.buckets[2 * hash4(finder, load_32(data + i))];
    bucket[1] = bucket[0];
    bucket[0] = static_cast<std::uint16_t>(i);
}

// A three-byte match at i with the latest position of the same three-byte
// hash: 3, with distance set, or 0 if there is none. Records i as that
// latest position.
unsigned near3_length(MatchFinder& finder, const Input& data, std::uint32_t i, unsigned limit,
                      std::uint32_t& distance);

// Binary trees: inserts i and, when record is set, writes every match
// longer than all before it (lengths and distances rising together, the
// nearest first for each length), cut to at most limit bytes, among depth
// candidates, stopping at nice bytes. Returns how many it wrote.
unsigned tree_matches(MatchFinder& finder, const Input& data, std::uint32_t i, unsigned limit,
                      unsigned depth, unsigned nice, bool record, unsigned* lengths,
                      std::uint32_t* distances);

// ---- parse.cpp ---------------------------------------------------------

// A match and the literals before it; the literal bytes themselves are the
// input's, so they are not stored. Four bytes for at least three input
// bytes keeps a parse within 4/3 of the input, and halves the memory that
// a parse fills, which costs more than writing it. A run of `long_run`
// literals or more before a match is marked so, and its length kept in
// the segment's `long_runs`, in order.
const unsigned long_run = 255;

struct Match {
    std::uint8_t literals;       // input bytes taken as literals before the match
    std::uint8_t length_less_3;  // its length, 3..258, less 3
    std::uint16_t d;             // distance - 1
};

inline unsigned length_of(const Match& match)
{
    return match.length_less_3 + min_match;
}

// The literals before match, taken from the long runs from next on when
// the match is marked so.
inline std::uint32_t literals_before(const Match& match, const std::uint32_t*& next)
{
    return match.literals != long_run ? match.literals : *next++;
}

// Symbol counts, for both codes. On the heap: a parse keeps several sets
// at hand, and the stack may be small.
struct Counts {
    std::vector<std::uint64_t> lengths = std::vector<std::uint64_t>(length_symbols);
    std::vector<std::uint64_t> offsets = std::vector<std::uint64_t>(offset_symbols);
};

// Counts one match of length bytes (3..258) at distance d + 1.
inline void count_match(Counts& counts, unsigned length, std::uint32_t d)
{
    counts.lengths[length_symbol(length)]++;
    counts.offsets[offset_symbol(d)]++;
}

// The parse of one segment of the input (see parse.cpp), from its first
// byte at start: its matches in order, then the literals after the last
// one, and the counts of its symbols.
struct SegmentParse {
    std::uint32_t start = 0;
    std::vector<Match> matches;
    std::vector<std::uint32_t> long_runs;  // literals before the matches marked long_run
    std::uint32_t trailing_literals = 0;
    Counts counts;
};

// Appends a match of length (3..258) at distance d + 1 after the
// segment's trailing literals, which become its own. Not counted.
inline void push_match(SegmentParse& segment, unsigned length, std::uint32_t d)
{
    // Filled in place: a match built apart and copied in would be stored
    // as three fields and loaded back as one word, which the processor
    // cannot forward from its store buffer.
    Match& match = segment.matches.emplace_back();
    if (segment.trailing_literals < long_run) {
        match.literals = static_cast<std::uint8_t>(segment.trailing_literals);
    } else {
        match.literals = long_run;
        segment.long_runs.push_back(segment.trailing_literals);
    }
    match.length_less_3 = static_cast<std::uint8_t>(length - min_match);
    match.d = static_cast<std::uint16_t>(d);
    segment.trailing_literals = 0;
}

// Walks a segment's parse in the order of the input: for each match,
// literals(at, count) for the literals before it (count may be 0), then
// match(at, match), at being where they start in the input; and last,
// literals(at, count) for the segment's trailing literals. Every stage
// that reads a parse reads it through here; the steps are inlined.
template <typename Literals, typename OneMatch>
__attribute__((always_inline)) inline void walk_segment(const SegmentParse& segment,
                                                        Literals&& literals, OneMatch&& match)
{
    std::uint32_t at = segment.start;
    const std::uint32_t* runs = segment.long_runs.data();
    for (const Match& next : segment.matches) {
        std::uint32_t count = literals_before(next, runs);
        literals(at, count);
        at += count;
        match(at, next);
        at += length_of(next);
    }
    literals(at, segment.trailing_literals);
}

// The parse of the whole input: its segments' parses in order, kept
// apart (one vector the size of them all would be more memory to fill),
// and the counts of all their symbols.
struct Parse {
    std::vector<SegmentParse> segments;
    Counts counts;
};

// How hard a level looks for matches and how it chooses among them.
struct Level {
    unsigned search_depth;  // candidates tried per position
    unsigned nice_length;   // a match this long is taken at once
    enum Strategy { greedy, lazy, cheapest } strategy;
    unsigned iterations;  // cheapest path: parses of each block, each priced by the last
};

Level level_settings(unsigned level);  // level 1..9

// How far the parse has come, told to the caller's progress function on
// the calling thread only, after each segment that thread parses: in
// bytes of the input, of the input's size, though a pass over the input
// may stand for only a share of them. report is null where nobody asked.
struct Progress {
    void (*report)(void* context, std::size_t done, std::size_t total) = nullptr;
    void* context = nullptr;
};

// On at most threads threads (0 for all).
Parse parse_input(const Input& data, const Level& level, unsigned threads,
                  const Progress& progress);

// The cheapest-path parse finds and weighs the matches of one block at a
// time.
const std::uint32_t block_length = 1 << 17;

// Where each segment of an input of size bytes starts, for a match finder
// of kind, then size (see parse.cpp); none for an empty input.
std::vector<std::uint32_t> segment_bounds(FinderKind kind, std::size_t size);

// The symbol counts of a parse of data.
Counts count_symbols(const Input& data, const Parse& parse);

// Cuts every match longer than max_length into pieces at the same distance
// (a piece too short to be a match becomes literals), and counts anew:
// fewer length symbols make a narrower tree that is easier to lay out.
void split_matches(const Input& data, Parse& parse, unsigned max_length);

// ---- codes.cpp ---------------------------------------------------------

// A code tree: node 0 is the root; each node has two children, a node index
// (>= 0) or a leaf, stored as -1 - symbol.
using Tree = std::vector<std::array<int, 2>>;

// A Huffman tree over the symbols with nonzero counts; a tree has two
// leaves at least (the root is always a node), so unused symbols fill in.
Tree huffman_tree(std::vector<std::uint64_t> counts);

// A code: every symbol's code word (first bit most significant) and its
// length in bits, 0 for a symbol outside the code.
struct Code {
    std::vector<std::uint64_t> words;
    std::vector<unsigned> lengths;
};
Code code_of(const Tree& tree, std::size_t symbols);

// The tree's table entries by slot (slot 0 unused), or nothing if no
// layout keeps every child within max_offset pairs of its parent.
std::vector<unsigned> layout_tree(const Tree& tree, unsigned entry_bits, unsigned max_offset,
                                  unsigned slots);

// Both trees of a parse, laid out: the codes rebuilt from ever narrower
// token sets until both fit, which the last, flat step always does.
struct Tables {
    Counts counts;  // of the parse the codes were built for
    Tree length_tree, offset_tree;
    std::vector<unsigned> length_entries, offset_entries;
};
Tables build_tables(const Input& data, Parse& parse);
// The bits of the symbols counted, under the codes given.
std::uint64_t coded_bits(const Counts& counts, const Code& lengths, const Code& offsets);
// The bytes of both sections and the bit stream under the tables' codes.
std::uint64_t coded_bytes(const Tables& tables);

// Input that does not compress is better stored: every byte a literal
// coded by its own 8 bits, so that the bit stream is the input itself,
// which the decoder copies instead of decoding. Replaces parse and tables
// by that when the file comes out at most 1% larger.
void store_plain_where_it_pays(const Input& data, Parse& parse, Tables& tables);

// ---- write.cpp ---------------------------------------------------------

// The smallest count field X for a section of entries of entry_bits each,
// after a count field of count_field_bytes (2 for lengths, 1 for offsets).
unsigned section_count(std::size_t entries, unsigned entry_bits, unsigned count_field_bytes);

// The bytes of the largest header and tables any file has.
const std::size_t largest_header_and_tables = 8 + 4 * 289 + 4 * 11;

// Where the file's bytes go, in order: into a caller's buffer out, up to
// capacity; or to a caller's function write, until it refuses them
// (failed); or onto the end of memory. length counts every byte given, so
// those beyond capacity too. Pages of out up to faulted have been made
// present: a caller's buffer is often fresh memory, each page of which
// would trap into the kernel on its first write.
struct Sink {
    std::uint8_t* out = nullptr;
    std::size_t capacity = 0;
    int (*write)(void* context, const void* bytes, std::size_t size) = nullptr;
    void* context = nullptr;
    Bytes* memory = nullptr;
    std::size_t length = 0;
    std::size_t faulted = 0;
    bool failed = false;
};

// Writes the file to sink on at most threads threads (0 for all); a
// sink's write is called on the calling thread only.
void write_lzh8(const Input& data, const Parse& parse, const Tables& tables, Sink& sink,
                unsigned threads);

}  // namespace ostrel::pack

#endif
