// Parsing: choosing which bytes go out as literals and which as matches.
//
// The fast levels take the longest match they find (greedy), or first look
// one byte further for a longer one (lazy). The best levels find every
// useful match of a block once, then choose the cheapest path through the
// block under bit prices, and again under the prices of that choice. One
// pair of codes serves the whole file, so the prices are those of the
// whole file's symbols: a first quick parse of the whole input gives them,
// and each block's new choice replaces its share of the counts.
//
// The input is parsed in segments, each with a match finder of its own
// that first takes in the window before the segment, so that the segments
// can be parsed on all cores at once. Where segments begin depends on
// nothing but the input's size, so the file packed is the same whatever
// the count of cores.
#include "pack.h"

#include "../memory.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace ostrel::pack {

Level level_settings(unsigned level)
{
    static const Level levels[] = {
        {1, 24, Level::greedy, 0},      // 1
        {4, 32, Level::greedy, 0},      // 2
        {6, 48, Level::lazy, 0},        // 3
        {12, 64, Level::lazy, 0},       // 4
        {24, 128, Level::lazy, 0},      // 5
        {48, 128, Level::lazy, 0},      // 6
        {4, 32, Level::cheapest, 1},    // 7
        {16, 64, Level::cheapest, 1},   // 8
        {24, 258, Level::cheapest, 2},  // 9
    };
    return levels[level - 1];
}

namespace {

// Room for the matches of a parse of count bytes. Text has a match every
// 7 bytes or so, binaries every 9 to 15: a sixth of the bytes seldom runs
// out; were the room too small, the vector would grow, copying every match
// into fresh pages. The eighth that most inputs fill is faulted in at once
// (see `fault_in_pages`), the rest only if it is used: fresh pages cost
// more than their faults here.
void make_room(SegmentParse& parse, std::size_t count)
{
    parse.matches.reserve(count / 6);
    fault_in_pages(parse.matches.data(), count / 8 * sizeof(Match));
}

// Build a parse as it goes, counting its symbols; literals are only
// counted, as their bytes are the input's.
void add_literals(SegmentParse& parse, const std::uint8_t* at, std::uint32_t count)
{
    parse.trailing_literals += count;
    for (; count > 0; count--)
        parse.counts.lengths[*at++]++;
}

void add_match(SegmentParse& parse, unsigned length, std::uint32_t distance)
{
    push_match(parse, length, distance - 1);
    count_match(parse.counts, length, distance - 1);
}

// A three-byte match is worth its code only close by.
const std::uint32_t far_for_three = 4096;

// The longest match at i for the fast levels: from the chains, or a near
// three-byte match when the chains have none.
unsigned fast_longest(MatchFinder& finder, const Input& data, std::uint32_t i, std::uint32_t end,
                      const Level& level, unsigned best, std::uint32_t& distance)
{
    unsigned limit = std::min(max_match, end - i);
    unsigned length = chain_longest(finder, data, i, limit, level.search_depth, level.nice_length,
                                    best, distance);
    if (level.search_depth > 1 && length < min_match) {
        std::uint32_t near;
        if (near3_length(finder, data, i, limit, near) >= min_match && near <= far_for_three) {
            distance = near;
            return min_match;
        }
    }
    return length;
}

}  // namespace

// Segments are an even count of about 1 MiB each, so that two cores, or
// four, share them evenly; an input under a quarter MiB is one segment.
// The last two are cut into quarters, eighths and sixteenths of their
// length: a MiB of dense code can take four times as long to parse as one
// of data, and the cores, which take segments in turn, end together only
// when the last segments are short. Each segment past the first takes in
// the 64 KiB window before it, work that fewer, longer segments repeat less
// often; at the fastest level that work weighs more than an uneven end,
// and the last two stay whole. The cheapest-path levels cut segments into
// whole blocks, each priced by those parsed before it in the segment.
std::vector<std::uint32_t> segment_bounds(FinderKind kind, std::size_t size)
{
    const std::size_t mib = 1 << 20, unit = kind == FinderKind::trees ? block_length : 1;
    std::vector<std::uint32_t> bounds{0};
    std::size_t at = 0;
    if (size >= mib / 4) {
        std::size_t count = std::max<std::size_t>(2, 2 * ((size + mib) / (2 * mib)));
        std::size_t length = ((size + count - 1) / count + unit - 1) / unit * unit;
        const bool cut_tail = kind != FinderKind::buckets;
        const std::size_t tail_start = std::min(length * (cut_tail ? count - 2 : count), size);
        for (; at + length <= tail_start && at + length < size; at += length)
            bounds.push_back(static_cast<std::uint32_t>(at + length));
        const std::size_t tail = size - at;
        for (unsigned share : {4u, 4u, 8u, 8u, 16u, 16u, 16u}) {
            std::size_t piece = (tail / share + unit - 1) / unit * unit;
            // Nothing under 64 KiB is cut off, at either end.
            if (!cut_tail || tail / share < mib / 16 || size - at < piece + mib / 16)
                break;
            at += piece;
            bounds.push_back(static_cast<std::uint32_t>(at));
        }
    }
    if (size > at)
        bounds.push_back(static_cast<std::uint32_t>(size));
    return bounds;
}

namespace {

// The first position of the window before a segment at start.
std::uint32_t window_before(std::uint32_t start)
{
    return start > window ? start - window : 0;
}

// The fastest level: greedy over hash buckets. Every position is added to
// the buckets, those inside matches too; where nothing matches for a
// while, the search steps ahead in growing strides. The segment's last
// three bytes, too few for a match of four, are literals.
SegmentParse bucket_parse(MatchFinder& finder, const Input& data, std::uint32_t start,
                          std::uint32_t end)
{
    SegmentParse parse;
    parse.start = start;
    make_room(parse, end - start);
    const std::uint8_t* in = data.bytes;
    const std::uint32_t hashed = end > 3 ? end - 3 : 0;  // positions with four bytes
    for (std::uint32_t j = window_before(start); j < start && j + 4 <= data.size; j++)
        bucket_insert(finder, in, j);
    unsigned misses = 0;
    std::uint32_t i = start;
    while (i < hashed) {
        // The next position's bucket, most often wanted next, is fetched
        // while this one is searched.
        if (i + 1 < hashed)
            prefetch_bucket(finder, in, i + 1);
        std::uint32_t distance = 0;
        unsigned length = bucket_longest(finder, in, i, std::min(max_match, end - i), distance);
        if (length == 0) {
            std::uint32_t stride = std::min(1 + (misses++ >> 5), hashed - i);
            add_literals(parse, in + i, stride);
            i += stride;
            continue;
        }
        misses = 0;
        if (i + length < hashed)
            prefetch_bucket(finder, in, i + length);
        add_match(parse, length, distance);
        for (std::uint32_t j = i + 1, last = std::min(i + length, hashed); j < last; j++)
            bucket_insert(finder, in, j);
        i += length;
    }
    add_literals(parse, in + i, end - i);
    return parse;
}

// Whether a match found one byte later, after a literal, beats the match
// here: each byte longer is worth about 4 bits, and each bit less of
// distance about 1, and the literal costs some too.
bool better_later(unsigned length, std::uint32_t distance, unsigned next,
                  std::uint32_t next_distance)
{
    if (next < length || next < min_match)
        return false;
    int gain = 4 * static_cast<int>(next - length) + static_cast<int>(bit_length(distance)) -
               static_cast<int>(bit_length(next_distance));
    return gain > 2;
}

// Greedy and lazy parsing over hash chains. Every position is linked into
// the chains, those inside matches too.
SegmentParse fast_parse(MatchFinder& finder, const Input& data, std::uint32_t start,
                        std::uint32_t end, const Level& level)
{
    SegmentParse parse;
    parse.start = start;
    make_room(parse, end - start);
    for (std::uint32_t j = window_before(start); j < start; j++)
        chain_insert(finder, data, j);
    // The position after a match's start is searched half as deep: it
    // only has to beat that match.
    Level ahead = level;
    ahead.search_depth = std::max(1u, level.search_depth / 2);
    // Where nothing matches for long, the search steps ahead in growing
    // strides, though every position still goes into the chains. Strides
    // reach two only after 128 positions without a match, so that matches
    // in binaries are seldom missed, while incompressible input is
    // searched at a fraction of its positions.
    unsigned misses = 0;
    for (std::uint32_t i = start; i < end;) {
        std::uint32_t distance = 0;
        unsigned length = fast_longest(finder, data, i, end, level, min_match - 1, distance);
        if (length < min_match) {
            std::uint32_t stride = std::min(1 + (misses++ >> 7), end - i);
            add_literals(parse, &data.bytes[i], stride);
            for (std::uint32_t j = i + 1; j < i + stride; j++)
                chain_insert(finder, data, j);
            i += stride;
            continue;
        }
        misses = 0;
        std::uint32_t linked = i + 1;  // the next position not yet linked
        if (level.strategy == Level::lazy) {
            // While the next position has a better match, this position
            // goes out as a literal and the next one takes over.
            while (length < level.nice_length && i + 1 < end) {
                std::uint32_t next_distance = 0;
                unsigned next =
                    fast_longest(finder, data, i + 1, end, ahead, length - 1, next_distance);
                linked = i + 2;
                if (!better_later(length, distance, next, next_distance))
                    break;
                add_literals(parse, &data.bytes[i], 1);
                i++;
                length = next;
                distance = next_distance;
            }
        }
        add_match(parse, length, distance);
        for (std::uint32_t j = std::max(linked, i + 1); j < i + length; j++)
            chain_insert(finder, data, j);
        i += length;
    }
    return parse;
}

// ---- The cheapest path ----------------------------------------------------

// Bit prices of every symbol, and of every distance's code and extra bits.
struct Prices {
    std::vector<unsigned> lengths, offsets;
};

// Prices are the code lengths the counts would get; a symbol outside the
// code is priced as if it got a code a little longer than the longest.
std::vector<unsigned> price_symbols(const std::vector<std::uint64_t>& counts)
{
    std::vector<unsigned> prices = code_of(huffman_tree(counts), counts.size()).lengths;
    unsigned longest = *std::max_element(prices.begin(), prices.end());
    for (unsigned& price : prices)
        price = price != 0 ? price : longest + 2;
    return prices;
}

Prices prices_of(const Counts& counts)
{
    return {price_symbols(counts.lengths), price_symbols(counts.offsets)};
}

unsigned distance_price(const Prices& prices, std::uint32_t distance)
{
    unsigned k = offset_symbol(distance - 1);
    return prices.offsets[k] + following_bits(k);
}

void add_counts(Counts& to, const Counts& from, int sign)
{
    for (unsigned s = 0; s < length_symbols; s++)
        to.lengths[s] += static_cast<std::uint64_t>(sign) * from.lengths[s];
    for (unsigned s = 0; s < offset_symbols; s++)
        to.offsets[s] += static_cast<std::uint64_t>(sign) * from.offsets[s];
}

const unsigned most_cached = 16;  // matches kept per position, the longest

// The matches of one block, found once: for position j, cached[first[j]]
// up to cached[first[j + 1]], each its length << 16 | d.
struct MatchCache {
    std::vector<std::uint32_t> first, cached;
};

void find_block_matches(MatchFinder& finder, const Input& data, std::uint32_t start,
                        std::uint32_t span, const Level& level, MatchCache& cache)
{
    unsigned lengths[max_match + 1];
    std::uint32_t distances[max_match + 1];
    cache.first.assign(span + 1, 0);
    cache.cached.clear();
    std::uint32_t skip_until = 0;  // inside a long match: link, do not record
    for (std::uint32_t j = 0; j < span; j++) {
        cache.first[j] = static_cast<std::uint32_t>(cache.cached.size());
        std::uint32_t i = start + j;
        unsigned limit = std::min(max_match, span - j);
        bool record = j >= skip_until;
        unsigned found = tree_matches(finder, data, i, limit, record ? level.search_depth : 8,
                                      level.nice_length, record, lengths, distances);
        std::uint32_t near;
        unsigned near_length = near3_length(finder, data, i, limit, near);
        if (!record)
            continue;
        // A three-byte match nearer than the trees' first.
        if (near_length >= min_match && (found == 0 || near < distances[0]))
            cache.cached.push_back(min_match << 16 | (near - 1));
        for (unsigned m = found > most_cached ? found - most_cached : 0; m < found; m++)
            cache.cached.push_back(lengths[m] << 16 | (distances[m] - 1));
        if (found > 0 && lengths[found - 1] >= level.nice_length)
            skip_until = j + lengths[found - 1];
    }
    cache.first[span] = static_cast<std::uint32_t>(cache.cached.size());
}

// The cheapest path through the block under the prices, every length of
// every cached match weighed; appended to the parse, whose literals before
// the block's first match carry on from the blocks before, and counted.
void cheapest_path(const Input& data, std::uint32_t start, std::uint32_t span,
                   const MatchCache& cache, const Prices& prices, std::vector<std::uint32_t>& cost,
                   std::vector<std::uint32_t>& choice, SegmentParse& parse)
{
    std::fill(cost.begin(), cost.begin() + span + 1, 0xFFFFFFFF);
    cost[0] = 0;
    for (std::uint32_t j = 0; j < span; j++) {
        std::uint32_t here = cost[j];
        std::uint32_t literal = here + prices.lengths[data.bytes[start + j]];
        if (literal < cost[j + 1]) {
            cost[j + 1] = literal;
            choice[j + 1] = 1 << 16;
        }
        unsigned shorter = min_match - 1;
        for (std::uint32_t c = cache.first[j]; c < cache.first[j + 1]; c++) {
            unsigned length = cache.cached[c] >> 16;
            std::uint32_t d = cache.cached[c] & 0xFFFF;
            std::uint32_t base = here + distance_price(prices, d + 1);
            for (unsigned l = shorter + 1; l <= length; l++) {
                std::uint32_t total = base + prices.lengths[length_symbol(l)];
                if (total < cost[j + l]) {
                    cost[j + l] = total;
                    choice[j + l] = l << 16 | d;
                }
            }
            shorter = length;
        }
    }
    // Walk back from the block's end along the cheapest choices, marking
    // each step's start, then emit forward.
    std::uint32_t steps = 0;
    for (std::uint32_t j = span; j > 0; j -= choice[j] >> 16)
        cost[steps++] = j;  // cost is no longer needed: it holds the path
    for (std::uint32_t s = steps; s-- > 0;) {
        std::uint32_t to = cost[s], token = choice[to], length = token >> 16;
        if (length == 1)
            add_literals(parse, &data.bytes[start + to - 1], 1);
        else
            add_match(parse, length, (token & 0xFFFF) + 1);
    }
}

// Adds the counts of a parse of the input from start on to the counts of
// the blocks its tokens start in.
void add_block_counts(std::vector<Counts>& blocks, const Input& data, const SegmentParse& parse)
{
    walk_segment(
        parse,
        [&](std::uint32_t at, std::uint32_t count) {
            for (std::uint32_t end = at + count; at < end; at++)
                blocks[at / block_length].lengths[data.bytes[at]]++;
        },
        [&](std::uint32_t at, const Match& match) {
            count_match(blocks[at / block_length], length_of(match), match.d);
        });
}

// One pass over a segment: each block is parsed under the prices of the
// whole file's counts, in which the block's share is first that of the
// previous parse and then that of its own last parse. The blocks of other
// segments keep their share from the previous parse.
SegmentParse cheapest_segment(MatchFinder& finder, const Input& data, std::uint32_t start,
                              std::uint32_t end, const Level& level,
                              const std::vector<Counts>& previous_blocks, Counts whole)
{
    SegmentParse parse;
    parse.start = start;
    // The window before the segment goes into the trees as the positions
    // inside a long match do.
    for (std::uint32_t j = window_before(start); j < start; j++) {
        std::uint32_t near;
        tree_matches(finder, data, j, max_match, 8, level.nice_length, false, nullptr, nullptr);
        near3_length(finder, data, j, max_match, near);
    }
    MatchCache cache;
    std::size_t most = std::min<std::size_t>(block_length, end - start);
    std::vector<std::uint32_t> cost(most + 1), choice(most + 1);
    for (std::uint32_t at = start; at < end; at += block_length) {
        std::uint32_t span = std::min(block_length, end - at);
        find_block_matches(finder, data, at, span, level, cache);
        // Each parse of the block is priced by the whole file's counts with
        // the block's own share taken from its parse before.
        Counts share = previous_blocks[at / block_length], mine;
        for (unsigned iteration = 0; iteration < level.iterations; iteration++) {
            SegmentParse block_parse;
            block_parse.trailing_literals = parse.trailing_literals;
            cheapest_path(data, at, span, cache, prices_of(whole), cost, choice, block_parse);
            mine = block_parse.counts;
            add_counts(whole, share, -1);
            add_counts(whole, mine, 1);
            share = mine;
            if (iteration + 1 == level.iterations) {
                parse.matches.insert(parse.matches.end(), block_parse.matches.begin(),
                                     block_parse.matches.end());
                parse.long_runs.insert(parse.long_runs.end(), block_parse.long_runs.begin(),
                                       block_parse.long_runs.end());
                parse.trailing_literals = block_parse.trailing_literals;
                add_counts(parse.counts, mine, 1);
            }
        }
    }
    return parse;
}

// Runs work(finder, s, start, end) for every segment s of the input, from
// bounds[s] to bounds[s + 1] (see segment_bounds), on as many threads as
// there are cores and segments, at most threads (0 for no limit), each
// with a match finder of the kind given, cleared for every segment. A
// thread that cannot be started leaves its share to those that run. The
// pass stands for share bytes of the progress, after first.
template <typename Work>
void for_each_segment(const Input& data, FinderKind kind, const std::vector<std::uint32_t>& bounds,
                      unsigned threads, const Progress& progress, std::size_t first,
                      std::size_t share, const Work& work)
{
    auto segments = static_cast<std::uint32_t>(bounds.size() - 1);
    std::atomic<std::uint32_t> next{0};
    std::atomic<std::size_t> parsed{0};
    const std::thread::id caller = std::this_thread::get_id();
    run_at_once(threads_for(segments, threads), [&](unsigned) {
        MatchFinder finder = new_match_finder(kind, data.size);
        bool used = false;
        for (std::uint32_t s; (s = next++) < segments; used = true) {
            if (used)
                clear_match_finder(finder);
            work(finder, s, bounds[s], bounds[s + 1]);
            const std::size_t done = parsed += bounds[s + 1] - bounds[s];
            if (progress.report != nullptr && std::this_thread::get_id() == caller) {
                const double part = static_cast<double>(done) / static_cast<double>(data.size);
                const auto told =
                    first + static_cast<std::size_t>(part * static_cast<double>(share));
                progress.report(progress.context, told, data.size);
            }
        }
    });
}

// The parse of the whole input, from those of its segments.
template <typename ParseSegment>
Parse parse_segments(const Input& data, FinderKind kind, unsigned threads, const Progress& progress,
                     std::size_t first, const ParseSegment& parse_segment)
{
    Parse parse;
    const std::vector<std::uint32_t> bounds = segment_bounds(kind, data.size);
    parse.segments.resize(bounds.size() - 1);
    for_each_segment(
        data, kind, bounds, threads, progress, first, data.size - first,
        [&](MatchFinder& finder, std::uint32_t s, std::uint32_t start, std::uint32_t end) {
            parse.segments[s] = parse_segment(finder, start, end);
        });
    for (const SegmentParse& segment : parse.segments)
        add_counts(parse.counts, segment.counts, 1);
    return parse;
}

Parse cheapest_parse(const Input& data, const Level& level, unsigned threads,
                     const Progress& progress)
{
    // The first prices need only be roughly right: a greedy parse gives
    // them, of which only the counts by block are kept. A second whole
    // pass, priced by the first, was measured to gain 0.1% for half as
    // much time again: one pass it is. Its segments are those of the trees,
    // whole blocks, so that no two threads ever count into one block. It
    // takes a tenth to a sixth of the time of the pass it prices: an
    // eighth of the progress.
    std::vector<Counts> previous_blocks((data.size + block_length - 1) / block_length);
    const std::size_t quick_share = data.size / 8;
    for_each_segment(
        data, FinderKind::chains, segment_bounds(FinderKind::trees, data.size), threads, progress,
        0, quick_share,
        [&](MatchFinder& finder, std::uint32_t, std::uint32_t start, std::uint32_t end) {
            SegmentParse quick = fast_parse(finder, data, start, end, level_settings(2));
            add_block_counts(previous_blocks, data, quick);
        });
    Counts whole;
    for (const Counts& block : previous_blocks)
        add_counts(whole, block, 1);
    return parse_segments(data, FinderKind::trees, threads, progress, quick_share,
                          [&](MatchFinder& finder, std::uint32_t start, std::uint32_t end) {
                              return cheapest_segment(finder, data, start, end, level,
                                                      previous_blocks, whole);
                          });
}

}  // namespace

Parse parse_input(const Input& data, const Level& level, unsigned threads, const Progress& progress)
{
    if (level.strategy == Level::cheapest)
        return cheapest_parse(data, level, threads, progress);
    bool buckets = level.search_depth == 1;
    return parse_segments(data, buckets ? FinderKind::buckets : FinderKind::chains, threads,
                          progress, 0,
                          [&](MatchFinder& finder, std::uint32_t start, std::uint32_t end) {
                              return buckets ? bucket_parse(finder, data, start, end)
                                             : fast_parse(finder, data, start, end, level);
                          });
}

namespace {

// Adds the counts of a segment's symbols to counts.
void count_segment(const Input& data, const SegmentParse& segment, Counts& counts)
{
    walk_segment(
        segment,
        [&](std::uint32_t at, std::uint32_t count) {
            for (const std::uint8_t* byte = data.bytes + at; count > 0; count--)
                counts.lengths[*byte++]++;
        },
        [&](std::uint32_t, const Match& match) { count_match(counts, length_of(match), match.d); });
}

}  // namespace

Counts count_symbols(const Input& data, const Parse& parse)
{
    Counts counts;
    for (const SegmentParse& segment : parse.segments)
        count_segment(data, segment, counts);
    return counts;
}

namespace {

// Cuts the segment's matches, each into pieces at its own distance.
void split_segment(SegmentParse& segment, unsigned max_length)
{
    SegmentParse pieces;
    pieces.start = segment.start;
    pieces.matches.reserve(segment.matches.size());
    walk_segment(
        segment, [&](std::uint32_t, std::uint32_t count) { pieces.trailing_literals += count; },
        [&](std::uint32_t, const Match& match) {
            unsigned left = length_of(match);
            while (left >= min_match) {
                unsigned piece = std::min(left, max_length);
                // Leave the last piece a match, if the split allows it.
                if (left - piece > 0 && left - piece < min_match && piece > min_match)
                    piece = std::max<unsigned>(min_match, left - min_match);
                push_match(pieces, piece, match.d);
                left -= piece;
            }
            pieces.trailing_literals += left;  // a piece too short to be a match
        });
    segment = std::move(pieces);
}

}  // namespace

void split_matches(const Input& data, Parse& parse, unsigned max_length)
{
    parse.counts = Counts();
    for (SegmentParse& segment : parse.segments) {
        split_segment(segment, max_length);
        segment.counts = Counts();
        count_segment(data, segment, segment.counts);
        add_counts(parse.counts, segment.counts, 1);
    }
}

}  // namespace ostrel::pack
