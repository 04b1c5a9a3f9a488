// Codes and their tables: Huffman codes from the symbol counts, and each
// code's tree laid out in the table of node pairs that the decoder walks.
#include "pack.h"

#include <algorithm>
#include <deque>
#include <queue>

namespace ostrel::pack {

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
            int child = merged[i][static_cast<std::size_t>(b)];
            tree[static_cast<std::size_t>(last) - i][static_cast<std::size_t>(b)] =
                child >= 0 ? last - child : child;
        }
    return tree;
}

// Every symbol's code word and length. Huffman trees over counts below
// 2^32 stay under 64 levels.
Code code_of(const Tree& tree, std::size_t symbols)
{
    Code code{std::vector<std::uint64_t>(symbols, 0), std::vector<unsigned>(symbols, 0)};
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
                code.words[static_cast<std::size_t>(-1 - child)] = word;
                code.lengths[static_cast<std::size_t>(-1 - child)] = node_depth[node] + 1;
            }
        }
    return code;
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
static std::vector<unsigned> layout_tree(const Tree& tree, unsigned entry_bits, unsigned max_offset,
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

// The longest match lengths to fall back on when a code cannot be laid
// out: the same matches cut into pieces of at most that length use fewer
// length symbols and make a narrower tree, with no new search. The last
// step also flattens both codes (every used symbol weighs the same): at
// most 257 length symbols in a balanced tree always fit, and so do 17
// offset symbols.
const unsigned max_length_steps[] = {258, 192, 130, 66, 34, 18, 10, 3};

static std::vector<std::uint64_t> weights(const std::vector<std::uint64_t>& counts, bool flat)
{
    std::vector<std::uint64_t> weights = counts;
    if (flat)
        for (std::uint64_t& weight : weights)
            weight = weight != 0;
    return weights;
}

// Lays out both trees of tables; false if either does not fit.
static bool lay_out_trees(Tables& tables)
{
    tables.length_entries =
        layout_tree(tables.length_tree, length_entry_bits, length_max_child_offset, length_slots);
    tables.offset_entries =
        layout_tree(tables.offset_tree, offset_entry_bits, offset_max_child_offset, offset_slots);
    return !tables.length_entries.empty() && !tables.offset_entries.empty();
}

Tables build_tables(const Input& data, Parse& parse)
{
    Tables tables;
    for (unsigned max_length : max_length_steps) {
        if (max_length < max_match)
            split_matches(data, parse, max_length);
        tables.counts = parse.counts;
        bool flat = max_length == min_match;
        tables.length_tree = huffman_tree(weights(tables.counts.lengths, flat));
        tables.offset_tree = huffman_tree(weights(tables.counts.offsets, flat));
        if (lay_out_trees(tables))
            break;
    }
    // The last, flat step always fits (see max_length_steps).
    return tables;
}

std::uint64_t coded_bits(const Counts& counts, const Code& lengths, const Code& offsets)
{
    std::uint64_t bits = 0;
    for (unsigned s = 0; s < length_symbols; s++)
        bits += counts.lengths[s] * lengths.lengths[s];
    for (unsigned k = 0; k < offset_symbols; k++)
        bits += counts.offsets[k] * (offsets.lengths[k] + following_bits(k));
    return bits;
}

std::uint64_t coded_bytes(const Tables& tables)
{
    Code lengths = code_of(tables.length_tree, length_symbols);
    Code offsets = code_of(tables.offset_tree, offset_symbols);
    std::uint64_t bits = coded_bits(tables.counts, lengths, offsets);
    unsigned x = section_count(tables.length_entries.size() - 1, length_entry_bits, 2);
    unsigned v = section_count(tables.offset_entries.size() - 1, offset_entry_bits, 1);
    return 4 * (x + 1) + 4 * (v + 1) + (bits + 7) / 8;
}

// A length tree of the 256 literals alone, complete to depth 8 and
// numbered breadth-first with the children of node n at 2n + 1 and
// 2n + 2, so that the path to each leaf spells the literal it holds.
static Tree plain_literal_tree()
{
    Tree tree(255);
    for (int n = 0; n < 255; n++)
        for (int b = 0; b < 2; b++)
            tree[static_cast<std::size_t>(n)][static_cast<std::size_t>(b)] =
                n < 127 ? 2 * n + 1 + b : -1 - (2 * (n - 127) + b);
    return tree;
}

// Storing is worth up to 1% more bytes than coding: a stored stream is
// copied, some thirty times faster than one decoded code by code.
static bool worth_storing(std::uint64_t stored, std::uint64_t coded)
{
    return stored * 100 <= coded * 101;
}

void store_plain_where_it_pays(const Input& data, Parse& parse, Tables& tables)
{
    // Stored, the stream alone is as long as the input.
    std::uint64_t coded = coded_bytes(tables);
    if (data.size == 0 || !worth_storing(data.size, coded))
        return;
    Tables plain;
    plain.length_tree = plain_literal_tree();
    plain.offset_tree = huffman_tree(std::vector<std::uint64_t>(offset_symbols, 0));
    lay_out_trees(plain);  // a complete tree of 256 leaves always fits
    Parse literals_only;
    literals_only.segments.resize(1);
    literals_only.segments[0].trailing_literals = static_cast<std::uint32_t>(data.size);
    literals_only.counts = count_symbols(data, literals_only);
    literals_only.segments[0].counts = literals_only.counts;
    plain.counts = literals_only.counts;
    if (!worth_storing(coded_bytes(plain), coded))
        return;
    parse = std::move(literals_only);
    tables = std::move(plain);
}

}  // namespace ostrel::pack
