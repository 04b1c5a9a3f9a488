// lzh8pack: writes an LZH8 file that ostrel decodes back to the input.
//
// The file carries one length tree (literals 0..255 and match lengths
// 3..258 as symbols 256..511) and one offset tree (the bit length k of the
// match displacement d = distance - 1, distances 1..65536), each laid out
// as a table of node pairs, then the bit stream of codes, most significant
// bit first.
//
// Packing runs in three steps:
//   1. parse the input into literals and matches: block by block, the
//      cheapest path over hash-chain matches, priced in bits by the codes
//      that the tokens so far would get;
//   2. build Huffman codes and lay each tree out in its table, whose child
//      offsets are bounded (127 pairs for lengths, 7 for offsets); when no
//      layout fits, parse again with fewer match lengths;
//   3. write the header, both table sections and the bit stream.

#include "util.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <queue>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const unsigned min_match = 3;
const unsigned max_match = 258;
const std::uint32_t window = 65536;
const unsigned length_symbols = 512;
const unsigned offset_symbols = 17;  // k = 0..16 covers d = 0..65535
const unsigned length_slots = 1024;  // table slots, slot 0 unused
const unsigned offset_slots = 64;
const unsigned length_max_child_offset = 127;
const unsigned offset_max_child_offset = 7;

// A token is a literal (symbol < 256) or a match: its length symbol
// 256 + length - 3 in the low 9 bits and d = distance - 1 above them.
std::uint32_t literal_token(std::uint8_t byte)
{
    return byte;
}

std::uint32_t match_token(unsigned length, std::uint32_t distance)
{
    return (256 + length - min_match) | (distance - 1) << 9;
}

unsigned token_symbol(std::uint32_t token)
{
    return token & 0x1FF;
}

std::uint32_t token_d(std::uint32_t token)
{
    return token >> 9;
}

// The offset symbol of d: its bit length (0 for d = 0).
unsigned bit_length(std::uint32_t d)
{
    return d == 0 ? 0 : 32 - static_cast<unsigned>(__builtin_clz(d));
}

// Reads the whole input, whatever kind of file it is.
Bytes read_input(const char* path)
{
    std::FILE* input = std::fopen(path, "rb");
    if (input == nullptr)
        REPORT_CALL_FAILURE("fopen");
    Bytes data;
    // Where the length is known up front, one allocation holds the input.
    if (std::fseek(input, 0, SEEK_END) == 0) {
        long length = std::ftell(input);
        if (length > 0 && static_cast<unsigned long>(length) <= 0xFFFFFFFFul)
            data.reserve(static_cast<std::size_t>(length));
        std::rewind(input);
    }
    std::uint8_t chunk[1 << 16];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, input)) > 0) {
        data.insert(data.end(), chunk, chunk + got);
        // The header holds the decoded size in 32 bits.
        if (data.size() > 0xFFFFFFFF)
            REPORT_FAILURE("input too large for LZH8");
    }
    if (std::ferror(input))
        REPORT_TRANSFER_FAILURE("fread", input);
    if (std::fclose(input) == EOF)
        REPORT_CALL_FAILURE("fclose");
    return data;
}

// ---- Match finding: hash chains over the last 64 KiB -------------------
//
// Chains link positions whose next four bytes hash alike; a match of only
// three bytes pays off only close by, so for those one table remembers the
// latest position of each three-byte hash.

const unsigned hash4_bits = 17;
const unsigned hash3_bits = 14;
const std::uint32_t no_position = 0xFFFFFFFF;

unsigned hash3(const std::uint8_t* p)
{
    std::uint32_t v = std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
    return (v * 2654435761u) >> (32 - hash3_bits);
}

unsigned hash4(const std::uint8_t* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return (v * 2654435761u) >> (32 - hash4_bits);
}

// Length of the common prefix of a and b, at most limit bytes.
unsigned common_length(const std::uint8_t* a, const std::uint8_t* b, unsigned limit)
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

// The match finder's tables: latest position per three-byte hash, chain
// heads per four-byte hash, and the chain links, indexed by position
// modulo the window.
using Chains = std::array<std::vector<std::uint32_t>, 3>;
enum { latest3, head4, links };

Chains new_chains()
{
    return {std::vector<std::uint32_t>(std::size_t{1} << hash3_bits, no_position),
            std::vector<std::uint32_t>(std::size_t{1} << hash4_bits, no_position),
            std::vector<std::uint32_t>(window, no_position)};
}

// Finds matches at position i of at most limit bytes, then links i into
// the tables. Writes the matches that each beat the longest before them,
// nearest first, so that lengths and distances rise together and every
// length up to a match's own is best served by the first match reaching
// it; returns how many there are. Searching before linking i keeps the link
// of i - 65536 readable, so the whole window of 65536 is reachable.
unsigned find_matches(const Bytes& data, std::uint32_t i, unsigned limit, unsigned max_chain,
                      Chains& chains, unsigned* lengths, std::uint32_t* distances)
{
    std::size_t left = data.size() - i;
    if (left < min_match)
        return 0;
    const std::uint8_t* here = &data[i];
    unsigned found = 0, best = min_match - 1;
    unsigned h3 = hash3(here);
    std::uint32_t near = chains[latest3][h3];
    chains[latest3][h3] = i;
    if (near != no_position && i - near <= window && limit >= min_match &&
        std::memcmp(&data[near], here, min_match) == 0) {
        best = common_length(here, &data[near], limit);
        lengths[found] = best;
        distances[found++] = i - near;
    }
    if (left < 4)
        return found;
    unsigned h4 = hash4(here);
    std::uint32_t first = chains[head4][h4], candidate = first;
    for (unsigned chain = 0; chain < max_chain && candidate != no_position && best < limit;
         chain++) {
        std::uint32_t distance = i - candidate;
        if (distance > window)
            break;
        const std::uint8_t* there = &data[candidate];
        if (there[best] == here[best]) {
            unsigned length = common_length(here, there, limit);
            if (length > best) {
                best = length;
                lengths[found] = length;
                distances[found++] = distance;
            }
        }
        candidate = chains[links][candidate % window];
    }
    chains[links][i % window] = first;
    chains[head4][h4] = i;
    return found;
}

// Links position i into the tables without searching.
void insert_position(const Bytes& data, std::uint32_t i, Chains& chains)
{
    std::size_t left = data.size() - i;
    if (left >= min_match)
        chains[latest3][hash3(&data[i])] = i;
    if (left >= 4) {
        unsigned h4 = hash4(&data[i]);
        chains[links][i % window] = chains[head4][h4];
        chains[head4][h4] = i;
    }
}

// ---- Parsing: shortest path under bit prices ---------------------------

// Bit prices of every length symbol and every offset symbol.
using LengthPrices = std::array<unsigned, length_symbols>;
using OffsetPrices = std::array<unsigned, offset_symbols>;

// An offset code plus the k - 1 bits that follow it.
unsigned distance_price(const OffsetPrices& offset_prices, std::uint32_t distance)
{
    unsigned k = bit_length(distance - 1);
    return offset_prices[k] + (k >= 2 ? k - 1 : 0);
}

const std::uint32_t block_length = 1 << 16;
const unsigned lengths_weighed = 16;
// Candidates searched per position, and the match length taken at once
// without weighing the paths through it: both trade time for size, tuned
// on binaries and text to pack smaller than gzip -9 in less time.
const unsigned chain_limit = 32;
const unsigned nice_match = 16;

// Finds the cheapest path of literals and matches through one block, under
// the given prices, and appends its tokens. Matches stay inside the block,
// are at most max_length long, come from max_chain candidates per position,
// and one of nice_length or more is taken at once.
void parse_block(const Bytes& data, std::size_t start, std::uint32_t span, Chains& chains,
                 const LengthPrices& length_prices, const OffsetPrices& offset_prices,
                 unsigned max_length, unsigned max_chain, unsigned nice_length,
                 std::vector<std::uint32_t>& cost, std::vector<std::uint32_t>& choice,
                 std::vector<std::uint32_t>& tokens)
{
    unsigned lengths[max_match];
    std::uint32_t distances[max_match];
    std::fill(cost.begin(), cost.begin() + span + 1, 0xFFFFFFFF);
    cost[0] = 0;
    std::uint32_t skip_until = 0;  // inside a long match: link, do not search
    // Every position is reached: each relaxes at least its literal.
    for (std::uint32_t j = 0; j < span; j++) {
        std::uint32_t i = static_cast<std::uint32_t>(start + j);
        std::uint32_t here = cost[j];
        auto relax = [&](std::uint32_t to, std::uint32_t total, std::uint32_t token) {
            if (total < cost[to]) {
                cost[to] = total;
                choice[to] = token;
            }
        };
        relax(j + 1, here + length_prices[data[i]], literal_token(data[i]));
        if (j < skip_until) {
            insert_position(data, i, chains);
            continue;
        }
        unsigned limit = std::min(max_length, span - j);
        unsigned found = find_matches(data, i, limit, max_chain, chains, lengths, distances);
        unsigned shorter = min_match - 1;
        for (unsigned m = 0; m < found; m++) {
            std::uint32_t base = here + distance_price(offset_prices, distances[m]);
            // Every length of a match is a way forward, but beyond the first
            // few the full length nearly always wins; weighing all the
            // lengths between would cost time for nothing.
            unsigned last = std::min(lengths[m], shorter + lengths_weighed);
            for (unsigned length = shorter + 1; length <= last; length++)
                relax(j + length, base + length_prices[256 + length - min_match],
                      match_token(length, distances[m]));
            if (lengths[m] > last)
                relax(j + lengths[m], base + length_prices[256 + lengths[m] - min_match],
                      match_token(lengths[m], distances[m]));
            shorter = lengths[m];
        }
        if (found > 0 && lengths[found - 1] >= nice_length)
            skip_until = j + lengths[found - 1];
    }
    // Walk back from the block's end along the cheapest choices.
    std::size_t first_token = tokens.size();
    for (std::uint32_t j = span; j > 0;) {
        std::uint32_t token = choice[j];
        tokens.push_back(token);
        j -= token_symbol(token) < 256 ? 1 : token_symbol(token) - 256 + min_match;
    }
    std::reverse(tokens.begin() + static_cast<std::ptrdiff_t>(first_token), tokens.end());
}

// ---- Codes and their tables ---------------------------------------------

// A code tree: node 0 is the root; each node has two children, a node index
// (>= 0) or a leaf, stored as -1 - symbol.
using Tree = std::vector<std::array<int, 2>>;

// A Huffman tree over the symbols with nonzero counts. A tree needs two
// leaves at least (the root is always a node), so unused symbols fill in.
Tree huffman_tree(std::vector<std::uint64_t> counts)
{
    unsigned used = 0;
    for (std::uint64_t count : counts)
        used += count != 0;
    for (std::size_t s = 0; s < counts.size() && used < 2; s++)
        if (counts[s] == 0) {
            counts[s] = 1;
            used++;
        }
    // Queue items: (weight, item), item >= 0 a node, < 0 a leaf. Among equal
    // weights leaves go first, then the nodes made first, which keeps the
    // tree shallow.
    using Item = std::pair<std::uint64_t, int>;
    std::priority_queue<Item, std::vector<Item>, std::greater<Item>> queue;
    for (std::size_t s = 0; s < counts.size(); s++)
        if (counts[s] != 0)
            queue.push({counts[s], -1 - static_cast<int>(s)});
    Tree merged;
    while (queue.size() > 1) {
        Item a = queue.top();
        queue.pop();
        Item b = queue.top();
        queue.pop();
        merged.push_back({a.second, b.second});
        queue.push({a.first + b.first, static_cast<int>(merged.size() - 1)});
    }
    // The last node merged is the root: renumber so that it is node 0.
    Tree tree(merged.size());
    int last = static_cast<int>(merged.size()) - 1;
    for (std::size_t i = 0; i < merged.size(); i++)
        for (int b = 0; b < 2; b++) {
            int child = merged[i][b];
            tree[static_cast<std::size_t>(last) - i][b] = child >= 0 ? last - child : child;
        }
    return tree;
}

// The code word of every symbol: its bits (first bit most significant) and
// their count. Huffman trees over counts below 2^32 stay under 64 levels.
void code_words(const Tree& tree, std::vector<std::uint64_t>& words, std::vector<unsigned>& lengths)
{
    std::vector<std::uint64_t> node_word(tree.size(), 0);
    std::vector<unsigned> node_depth(tree.size(), 0);
    for (std::size_t node = 0; node < tree.size(); node++)
        for (unsigned b = 0; b < 2; b++) {
            int child = tree[node][b];
            std::uint64_t word = node_word[node] << 1 | b;
            if (child >= 0) {
                node_word[static_cast<std::size_t>(child)] = word;
                node_depth[static_cast<std::size_t>(child)] = node_depth[node] + 1;
            } else {
                words[static_cast<std::size_t>(-1 - child)] = word;
                lengths[static_cast<std::size_t>(-1 - child)] = node_depth[node] + 1;
            }
        }
}

// The code length of every symbol in the tree (0 for symbols not in it).
std::vector<unsigned> code_lengths(const Tree& tree, std::size_t symbols)
{
    std::vector<std::uint64_t> words(symbols);
    std::vector<unsigned> lengths(symbols, 0);
    code_words(tree, words, lengths);
    return lengths;
}

// Lays the tree out in table slots: slot 1 is the root, and serving a node
// hands it the next free pair for its two children, which must lie within
// max_offset + 1 pairs after the node's own. Nodes waiting to be served sit
// in a queue in order of their deadline. The earliest deadline is served,
// except that a node whose children are both leaves goes first whenever
// every node ahead of it can still be served in time: it adds no new waiting
// nodes, which keeps the queue short. Returns the entries by slot, or
// nothing if some node would miss its deadline or the slots run out.
// Without the preference the order is breadth-first, which always fits a
// balanced tree of up to 257 leaves (the widest level's last node has its
// children exactly 128 pairs on).
std::vector<unsigned> layout_tree(const Tree& tree, unsigned entry_bits, unsigned max_offset,
                                  unsigned slots, bool prefer_leaf_pairs)
{
    const unsigned leaf_flag_0 = 1u << (entry_bits - 1), leaf_flag_1 = leaf_flag_0 >> 1;
    std::vector<unsigned> entries(2, 0), slot_of(tree.size(), 0);
    slot_of[0] = 1;
    std::deque<unsigned> waiting{0};
    auto deadline = [&](unsigned node) { return (slot_of[node] >> 1) + 1 + max_offset; };
    auto both_leaves = [&](unsigned node) { return tree[node][0] < 0 && tree[node][1] < 0; };
    for (unsigned pair = 1; !waiting.empty(); pair++) {
        if (2 * pair + 1 >= slots || deadline(waiting.front()) < pair)
            return {};
        std::size_t pick = 0;
        for (std::size_t i = 0; prefer_leaf_pairs && i < waiting.size(); i++) {
            if (!both_leaves(waiting[i]))
                continue;
            bool others_in_time = true;
            for (std::size_t ahead = 0; ahead < i && others_in_time; ahead++)
                others_in_time = deadline(waiting[ahead]) >= pair + 1 + ahead;
            if (others_in_time)
                pick = i;
            break;
        }
        unsigned node = waiting[pick];
        waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(pick));
        unsigned entry = pair - (slot_of[node] >> 1) - 1;
        entries.resize(2 * pair + 2, 0);
        for (unsigned b = 0; b < 2; b++) {
            int child = tree[node][b];
            if (child < 0) {
                entry |= b == 0 ? leaf_flag_0 : leaf_flag_1;
                entries[2 * pair + b] = static_cast<unsigned>(-1 - child);
            } else {
                slot_of[static_cast<unsigned>(child)] = 2 * pair + b;
                waiting.push_back(static_cast<unsigned>(child));
            }
        }
        entries[slot_of[node]] = entry;
    }
    return entries;
}

std::vector<unsigned> layout_tree(const Tree& tree, unsigned entry_bits, unsigned max_offset,
                                  unsigned slots)
{
    std::vector<unsigned> entries = layout_tree(tree, entry_bits, max_offset, slots, true);
    return entries.empty() ? layout_tree(tree, entry_bits, max_offset, slots, false) : entries;
}

// ---- Writing -----------------------------------------------------------

// Appends values most significant bit first.
void put_bits(Bytes& out, std::uint64_t& pending, unsigned& pending_count, std::uint64_t value,
              unsigned count)
{
    while (count > 0) {
        unsigned take = std::min(count, 32u);
        count -= take;
        pending = pending << take | ((value >> count) & ((std::uint64_t{1} << take) - 1));
        pending_count += take;
        while (pending_count >= 8) {
            pending_count -= 8;
            out.push_back(static_cast<std::uint8_t>(pending >> pending_count));
        }
    }
}

void flush_bits(Bytes& out, std::uint64_t& pending, unsigned& pending_count)
{
    if (pending_count > 0)
        out.push_back(static_cast<std::uint8_t>(pending << (8 - pending_count)));
    pending = 0;
    pending_count = 0;
}


// The smallest section for the entries: its entry area of P bytes (P = 4X
// + 4 - count_field_bytes, X the section's count field) must hold every
// entry's bits, and the decoder, which loads entries only while bytes of
// the area remain unfetched, must load all of them: floor(8 (P - 1) / bits)
// + 1 >= N. Returns X.
unsigned section_count(std::size_t entries, unsigned entry_bits, unsigned count_field_bytes)
{
    for (unsigned x = 0;; x++) {
        std::size_t area = 4 * std::size_t{x} + 4 - count_field_bytes;
        if (entries * entry_bits <= 8 * area && 8 * (area - 1) / entry_bits + 1 >= entries)
            return x;
    }
}

// The entries from slot 1 on, packed into area_bytes bytes.
Bytes pack_entries(const std::vector<unsigned>& entries, unsigned entry_bits, std::size_t area_bytes)
{
    Bytes packed;
    std::uint64_t pending = 0;
    unsigned pending_count = 0;
    for (std::size_t slot = 1; slot < entries.size(); slot++)
        put_bits(packed, pending, pending_count, entries[slot], entry_bits);
    flush_bits(packed, pending, pending_count);
    packed.resize(area_bytes, 0);
    return packed;
}

Bytes encode_stream(const std::vector<std::uint32_t>& tokens, const Tree& length_tree,
                    const Tree& offset_tree)
{
    std::vector<std::uint64_t> length_words(length_symbols), offset_words(offset_symbols);
    std::vector<unsigned> length_bits(length_symbols), offset_bits(offset_symbols);
    code_words(length_tree, length_words, length_bits);
    code_words(offset_tree, offset_words, offset_bits);
    Bytes stream;
    stream.reserve(tokens.size());
    std::uint64_t pending = 0;
    unsigned pending_count = 0;
    for (std::uint32_t token : tokens) {
        unsigned symbol = token_symbol(token);
        put_bits(stream, pending, pending_count, length_words[symbol], length_bits[symbol]);
        if (symbol < 256)
            continue;
        std::uint32_t d = token_d(token);
        unsigned k = bit_length(d);
        put_bits(stream, pending, pending_count, offset_words[k], offset_bits[k]);
        if (k >= 2)  // the top bit of d is implied by k
            put_bits(stream, pending, pending_count, d, k - 1);
    }
    flush_bits(stream, pending, pending_count);
    return stream;
}

void write_lzh8(const char* path, std::uint32_t size, const std::vector<unsigned>& length_entries,
                const std::vector<unsigned>& offset_entries, const Bytes& stream)
{
    std::FILE* output = std::fopen(path, "wb");
    if (output == nullptr)
        REPORT_CALL_FAILURE("fopen");
    // The short header holds sizes 1 to 2^24 - 1; a zero there announces
    // the long form, which therefore carries size 0 as well.
    if (size == 0 || size > 0xFFFFFF) {
        put_32_le(0x40, output);
        put_32_le(size, output);
    } else {
        put_32_le(0x40 | size << 8, output);
    }
    unsigned w = section_count(length_entries.size() - 1, 9, 2);
    Bytes lengths = pack_entries(length_entries, 9, 4 * std::size_t{w} + 2);
    put_16_le(w, output);
    put_bytes(output, lengths.data(), static_cast<std::uint32_t>(lengths.size()));
    unsigned v = section_count(offset_entries.size() - 1, 5, 1);
    Bytes offsets = pack_entries(offset_entries, 5, 4 * std::size_t{v} + 3);
    put_byte(v, output);
    put_bytes(output, offsets.data(), static_cast<std::uint32_t>(offsets.size()));
    put_bytes(output, stream.data(), static_cast<std::uint32_t>(stream.size()));
    if (std::fclose(output) == EOF)
        REPORT_CALL_FAILURE("fclose");
}

// ---- Putting it together ----------------------------------------------

// Adds the symbols of the tokens to the counts.
void count_symbols(std::vector<std::uint32_t>::const_iterator first,
                   std::vector<std::uint32_t>::const_iterator last,
                   std::vector<std::uint64_t>& length_counts, std::vector<std::uint64_t>& offset_counts)
{
    length_counts.resize(length_symbols, 0);
    offset_counts.resize(offset_symbols, 0);
    for (; first != last; ++first) {
        unsigned symbol = token_symbol(*first);
        length_counts[symbol]++;
        if (symbol >= 256)
            offset_counts[bit_length(token_d(*first))]++;
    }
}

// The counts of the tokens' symbols.
void count_symbols(const std::vector<std::uint32_t>& tokens, std::vector<std::uint64_t>& length_counts,
                   std::vector<std::uint64_t>& offset_counts)
{
    length_counts.clear();
    offset_counts.clear();
    count_symbols(tokens.begin(), tokens.end(), length_counts, offset_counts);
}

// Prices are code lengths; a symbol outside the code is priced as if it
// got a code a little longer than the longest.
template <std::size_t symbols>
std::array<unsigned, symbols> prices_of(const Tree& tree)
{
    std::vector<unsigned> lengths = code_lengths(tree, symbols);
    unsigned longest = *std::max_element(lengths.begin(), lengths.end());
    std::array<unsigned, symbols> prices;
    for (std::size_t s = 0; s < symbols; s++)
        prices[s] = lengths[s] != 0 ? lengths[s] : longest + 2;
    return prices;
}

// Rough prices for the first pass, before any code is known.
void initial_prices(LengthPrices& length_prices, OffsetPrices& offset_prices)
{
    for (unsigned s = 0; s < length_symbols; s++)
        length_prices[s] = s < 256 ? 8 : 7 + bit_length(s - 256) / 2;
    offset_prices.fill(4);
}

// Parses the whole input, block by block. One pair of codes serves the
// whole file, so each block is priced by the codes that the tokens so far
// would get. The first block has no history: it is parsed under rough
// prices, then again under the prices of that first parse.
std::vector<std::uint32_t> parse(const Bytes& data, unsigned max_length, unsigned max_chain,
                                 unsigned nice_length)
{
    std::size_t most = std::min<std::size_t>(block_length, data.size());
    std::vector<std::uint32_t> tokens, cost(most + 1), choice(most + 1);
    std::vector<std::uint64_t> length_counts, offset_counts;
    LengthPrices length_prices;
    OffsetPrices offset_prices;
    initial_prices(length_prices, offset_prices);
    Chains chains = new_chains();
    for (std::size_t start = 0; start < data.size(); start += block_length) {
        std::uint32_t span =
            static_cast<std::uint32_t>(std::min<std::size_t>(block_length, data.size() - start));
        if (start == 0) {
            // Only the prices come of this parse, so it searches less.
            parse_block(data, start, span, chains, length_prices, offset_prices, max_length,
                        max_chain / 4, nice_length, cost, choice, tokens);
            count_symbols(tokens, length_counts, offset_counts);
            length_prices = prices_of<length_symbols>(huffman_tree(length_counts));
            offset_prices = prices_of<offset_symbols>(huffman_tree(offset_counts));
            tokens.clear();
            chains = new_chains();
        }
        std::size_t first_token = tokens.size();
        parse_block(data, start, span, chains, length_prices, offset_prices, max_length,
                    max_chain, nice_length, cost, choice, tokens);
        count_symbols(tokens.begin() + static_cast<std::ptrdiff_t>(first_token), tokens.end(),
                      length_counts, offset_counts);
        length_prices = prices_of<length_symbols>(huffman_tree(length_counts));
        offset_prices = prices_of<offset_symbols>(huffman_tree(offset_counts));
    }
    return tokens;
}

// The longest match lengths to fall back on when a code cannot be laid
// out: fewer length symbols make a narrower tree. The last step also
// flattens both codes (every used symbol weighs the same): at most 257
// length symbols in a balanced tree always fit.
const unsigned max_length_steps[] = {258, 192, 130, 66, 34, 18, 10, 3};

void flatten(std::vector<std::uint64_t>& counts)
{
    for (std::uint64_t& count : counts)
        count = count != 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::printf("Usage: %s infile outfile\n", argc > 0 ? argv[0] : "lzh8pack");
        std::exit(1);
    }
    Bytes data = read_input(argv[1]);
    for (unsigned max_length : max_length_steps) {
        std::vector<std::uint32_t> tokens = parse(data, max_length, chain_limit, nice_match);
        std::vector<std::uint64_t> length_counts, offset_counts;
        count_symbols(tokens, length_counts, offset_counts);
        if (max_length == min_match) {
            flatten(length_counts);
            flatten(offset_counts);
        }
        Tree length_tree = huffman_tree(length_counts);
        Tree offset_tree = huffman_tree(offset_counts);
        std::vector<unsigned> length_entries =
            layout_tree(length_tree, 9, length_max_child_offset, length_slots);
        std::vector<unsigned> offset_entries =
            layout_tree(offset_tree, 5, offset_max_child_offset, offset_slots);
        if (length_entries.empty() || offset_entries.empty())
            continue;
        write_lzh8(argv[2], static_cast<std::uint32_t>(data.size()), length_entries, offset_entries,
                   encode_stream(tokens, length_tree, offset_tree));
        return 0;
    }
    REPORT_FAILURE("no table layout found");
}
