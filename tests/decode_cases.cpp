#include "decode_cases.h"

#include <utility>

namespace decode_cases {

using lzh8::literal;
using lzh8::match;

// A code with literals, the shortest and longest match lengths and the
// displacement bit counts the cases below need.
const Code lengths_code = {{"00", 'a'},    {"01", 'b'},    {"100", 'c'},
                           {"101", 257},   {"1100", 258},  {"1101", 256},
                           {"11100", 511}, {"11101", 263}, {"1111", 'd'}};
const Code offsets_code = {{"00", 0}, {"01", 1}, {"100", 16}, {"101", 17}, {"110", 20}, {"111", 2}};

Bytes text_bytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

// A file built from the codes above; size is the declared size.
lzh8::File coded_file(std::uint32_t size, const std::string& stream)
{
    lzh8::File file;
    file.size = size;
    file.length_entries = lzh8::layout_tree(lengths_code, 9);
    file.offset_entries = lzh8::layout_tree(offsets_code, 5);
    file.stream = stream;
    return file;
}

std::string literals(const std::string& text)
{
    std::string stream;
    for (char c : text)
        stream += literal(lengths_code, static_cast<unsigned char>(c));
    return stream;
}

// The 26-byte example: three literals and a match of length 10 at
// distance 3, cut at the declared size of 8.
const Bytes example_26 = {0x40, 0x08, 0x00, 0x00, 0x03, 0x00, 0x00, 0x60, 0x20,
                          0x26, 0x32, 0xD4, 0x1F, 0x00, 0x61, 0x31, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0xC0, 0xBE, 0x00, 0xDC, 0x84};
// The 31-byte example: displacements with k = 17 and k = 20 cut to 16 bits.
const Bytes example_31 = {0x40, 0x0D, 0x00, 0x00, 0x03, 0x00, 0x00, 0x60, 0x20, 0x22, 0x18,
                          0x1C, 0x07, 0x00, 0x50, 0x28, 0x80, 0x00, 0x00, 0x00, 0x00, 0xC4,
                          0x68, 0x00, 0xDD, 0x00, 0x00, 0x94, 0x00, 0x01, 0x00};

// Five length leaves laid out breadth-first fill exactly slots 1..9; with
// W = 2 the section holds 80 bits, so the last bit of slot 9 (the leaf 'c'
// or 'b', which differ only there) is the top bit of the count byte V.
static Bytes w2_boundary_file(unsigned v)
{
    lzh8::File file;
    Code code = {{"00", 'a'}, {"01", 'd'}, {"10", 'e'}, {"110", 'f'}, {"111", 'c'}};
    file.size = 3;
    file.length_entries = lzh8::layout_tree(code, 9);
    file.w = 2;
    file.v = static_cast<int>(v);
    file.offset_entries = lzh8::layout_tree({{"0", 0}, {"1", 1}}, 5);
    file.stream = "00"
                  "111"
                  "00";
    return lzh8::build(file);
}

// An offset tree that reaches its last slots: a chain of nodes with child
// offset 7 (slots 1, 17, 33, 49), leaves k = 0..2 at slots 16, 32, 48 and a
// last node whose children sit at 2 * (24 + last_offset + 1). With
// last_offset 6 those are slots 62 and 63 (k = 3 and 4); with 7 they are 64
// and 65, beyond the 63 slots any offset table holds. V = 10 gives room
// for 68 entries, of which only 63 are loaded.
static std::vector<unsigned> deep_offset_entries(unsigned last_offset)
{
    std::vector<unsigned> entries(69, 31);  // filler beyond every used slot
    entries[1] = 0x10 | 7;
    entries[17] = 0x10 | 7;
    entries[33] = 0x10 | 7;
    entries[49] = 0x10 | 0x08 | last_offset;
    entries[16] = 0;
    entries[32] = 1;
    entries[48] = 2;
    entries[62] = 3;
    entries[63] = 4;
    return entries;
}

static const Code deep_lengths_code = {{"00", 'a'}, {"01", 'b'}, {"10", 'c'}, {"11", 257}};
static const Code deep_offsets_code = {{"0", 0}, {"10", 1}, {"110", 2}, {"1110", 3}, {"1111", 4}};
static const std::string deep_text = "abcabbcaacbbacab";

// Sixteen literals, then a match with k = 4 (slot 63) and one with k = 3
// (slot 62).
static Bytes deep_offset_file(unsigned last_offset)
{
    lzh8::File file;
    file.size = 24;
    file.length_entries = lzh8::layout_tree(deep_lengths_code, 9);
    file.offset_entries = deep_offset_entries(last_offset);
    file.v = 10;
    for (char c : deep_text)
        file.stream += literal(deep_lengths_code, static_cast<unsigned char>(c));
    file.stream += match(deep_lengths_code, deep_offsets_code, 4, 9) +
                   match(deep_lengths_code, deep_offsets_code, 4, 5);
    return lzh8::build(file);
}

static std::string deep_offset_expected()
{
    std::string text = deep_text;
    text += text.substr(text.size() - 10, 4);
    text += text.substr(text.size() - 6, 4);
    return text;
}

// Codes longer than the fast decoder looks up at once (lengths beyond 12
// bits, offsets beyond 8) and displacements up to k = 31, whose 30
// following bits are the most a match can take, all far enough from both
// ends of the image to be decoded by the fast loop.
static const Code long_lengths_code = {{"00", 'a'},
                                       {"01", 'b'},
                                       {"100", 257},
                                       {"101", 'c'},
                                       {"110", 263},
                                       {"1110", 'd'},
                                       {"11110", 258},
                                       {"111110", 'f'},
                                       {"1111110", 'g'},
                                       {"11111110", 'h'},
                                       {"111111110", 'i'},
                                       {"1111111110", 'j'},
                                       {"11111111110", 'k'},
                                       {"111111111110", 'l'},
                                       {"1111111111110", 259},
                                       {"11111111111110", 'm'},
                                       {"111111111111110", 260},
                                       {"111111111111111", 511}};
static const Code long_offsets_code = {{"00", 0},       {"01", 1},        {"100", 16},
                                       {"101", 31},     {"110", 20},      {"1110", 2},
                                       {"11110", 17},   {"111110", 3},    {"1111110", 4},
                                       {"11111110", 5}, {"111111110", 9}, {"111111111", 12}};

// Every literal coded in 8 bits. As `spelled`, each code is its literal's
// own bits: the stream is the text itself, which a decoder may copy. The
// others only look so: 0 and 1 trade codes, or 255 takes 9 bits beside a
// match's code, and the stream must be decoded code by code.
enum class Spelling { spelled, swapped, split };

static Success spelled_case(const char* name, Spelling spelling)
{
    Code code;
    for (unsigned c = 0; c < 256; c++)
        code[lzh8::bits(c, 8)] = c;
    if (spelling == Spelling::swapped)
        std::swap(code["00000000"], code["00000001"]);
    if (spelling == Spelling::split) {
        code.erase("11111111");
        code["111111110"] = 255;
        code["111111111"] = 256;
    }
    std::string text, stream;
    for (unsigned i = 0; i < 1200; i++) {
        text += static_cast<char>((i * 37 + i / 256) & 255);
        stream += literal(code, static_cast<unsigned char>(text.back()));
    }
    lzh8::File file;
    file.size = static_cast<std::uint32_t>(text.size());
    file.length_entries = lzh8::layout_tree(code, 9);
    file.offset_entries = lzh8::layout_tree(offsets_code, 5);
    file.stream = stream;
    return {name, lzh8::build(file), text_bytes(text)};
}

static Success long_codes_case()
{
    std::string text, stream;
    auto add_literal = [&](char c) {
        text += c;
        stream += literal(long_lengths_code, static_cast<unsigned char>(c));
    };
    auto add_match = [&](unsigned length, std::uint32_t d) {
        stream += match(long_lengths_code, long_offsets_code, length, d);
        std::size_t from = text.size() - ((d & 0xFFFF) + 1);
        for (unsigned n = 0; n < length; n++)
            text += text[from + n];
    };
    const std::string letters = "abcdfghijklm";
    for (unsigned i = 0; i < 2100; i++)
        add_literal(letters[(i * 5 + i / 7) % letters.size()]);
    for (unsigned round = 0; round < 3; round++) {
        add_match(4, 0x40000000u | (5 + round));  // k = 31
        add_match(6, 0x100 + 7);                  // a 13-bit length code, k = 9
        add_literal('m');                         // a 14-bit literal code
        add_match(258, 0x800 + 0x10);             // a 15-bit length code, k = 12
        add_match(5, 0x10000 + 3);                // k = 17
        add_match(7, 0x80000 + 0x123);            // k = 20
        add_match(10, 0);                         // k = 0: a run
        add_match(4, 1);
        add_literal('l');
        add_match(4, 0x10 + round);  // k = 5
    }
    for (unsigned i = 0; i < 300; i++)
        add_literal(letters[i % letters.size()]);
    lzh8::File file;
    file.size = static_cast<std::uint32_t>(text.size());
    file.length_entries = lzh8::layout_tree(long_lengths_code, 9);
    file.offset_entries = lzh8::layout_tree(long_offsets_code, 5);
    file.stream = stream;
    return {"long_codes_in_the_fast_loop", lzh8::build(file), text_bytes(text)};
}

std::vector<Success> success_cases()
{
    std::vector<Success> cases;
    cases.push_back({"example_26", example_26, text_bytes("abcabcab")});
    cases.push_back(
        {"example_31",
         example_31,
         {0x50, 0x51, 0x50, 0x51, 0x50, 0x51, 0x50, 0x51, 0x21, 0x50, 0x51, 0x21, 0x50}});
    cases.push_back(
        {"literals_only", lzh8::build(coded_file(6, literals("abcdba"))), text_bytes("abcdba")});
    cases.push_back(
        {"k0_distance_1",
         lzh8::build(coded_file(5, literals("a") + match(lengths_code, offsets_code, 4, 0))),
         text_bytes("aaaaa")});
    cases.push_back(
        {"k1_distance_2",
         lzh8::build(coded_file(7, literals("ab") + match(lengths_code, offsets_code, 5, 1))),
         text_bytes("abababa")});
    cases.push_back(
        {"k17_cut_to_distance_2",
         lzh8::build(coded_file(6, literals("ab") + match(lengths_code, offsets_code, 4, 0x10001))),
         text_bytes("ababab")});
    cases.push_back({"k20_cut_to_distance_3",
                     lzh8::build(coded_file(6, literals("abc") +
                                                   match(lengths_code, offsets_code, 3, 0x80002))),
                     text_bytes("abcabc")});
    {
        lzh8::File file = coded_file(4, literals("dcba"));
        file.long_header = true;
        cases.push_back({"long_header", lzh8::build(file), text_bytes("dcba")});
    }
    {
        lzh8::File file = coded_file(0, "");
        file.long_header = true;
        cases.push_back({"size_0", lzh8::build(file), {}});
    }
    {
        lzh8::File file = coded_file(7, literals("ab") + match(lengths_code, offsets_code, 5, 1));
        file.trailing = {0xFF, 0x00, 0x40, 0x12};
        cases.push_back({"trailing_data", lzh8::build(file), text_bytes("abababa")});
    }
    // A match of 258 cut after 8 bytes; nothing after it is present.
    cases.push_back(
        {"match_cut_at_size",
         lzh8::build(coded_file(10, literals("ab") + match(lengths_code, offsets_code, 258, 1))),
         text_bytes("ababababab")});
    cases.push_back(
        {"w2_ninth_entry_takes_bit_from_v_set", w2_boundary_file(0x80), text_bytes("aca")});
    cases.push_back(
        {"w2_ninth_entry_takes_bit_from_v_clear", w2_boundary_file(0x00), text_bytes("aba")});
    {
        // A root whose child 1 points far past the filled slots; the stream
        // never takes that branch.
        lzh8::File file;
        file.size = 3;
        file.length_entries = {0, 0x100 | 0, 'a', 127};
        file.offset_entries = lzh8::layout_tree({{"0", 0}, {"1", 1}}, 5);
        file.stream = "000";
        cases.push_back({"unused_bad_branch", lzh8::build(file), text_bytes("aaa")});
    }
    {
        // Distances 65536 exactly: k = 16 with d = 0xFFFF, and k = 17 with
        // d = 0x1FFFF, cut to the same 0xFFFF.
        std::string text, stream;
        for (int i = 0; i < 65536; i++)
            text += "abcd"[(i * 7 + i / 5) % 4];
        stream = literals(text) + match(lengths_code, offsets_code, 3, 0xFFFF) +
                 match(lengths_code, offsets_code, 4, 0x1FFFF);
        std::string expected = text + text.substr(0, 3) + text.substr(3, 4);
        cases.push_back(
            {"distance_65536", lzh8::build(coded_file(65543, stream)), text_bytes(expected)});
    }
    cases.push_back({"offset_table_v10_fills_63_slots", deep_offset_file(6),
                     text_bytes(deep_offset_expected())});
    cases.push_back(long_codes_case());
    cases.push_back(spelled_case("literals_spelled", Spelling::spelled));
    cases.push_back(spelled_case("literals_spelled_but_two_swapped", Spelling::swapped));
    cases.push_back(spelled_case("literals_spelled_but_one_split", Spelling::split));
    return cases;
}

static const char* const eof_32 = R"(util\.cpp:[0-9]+:get_32_le:fread: unexpected EOF\n)";
static const char* const eof_byte = R"(util\.cpp:[0-9]+:get_byte:fread: unexpected EOF\n)";
static const char* const corrupt_lengths =
    R"(ostrel\.cpp:[0-9]+:analyze_LZH8: corrupt length tree\n)";
static const char* const corrupt_offsets =
    R"(ostrel\.cpp:[0-9]+:analyze_LZH8: corrupt offset tree\n)";
static const char* const before_start =
    R"(ostrel\.cpp:[0-9]+:analyze_LZH8: match before start of output\n)";

// A length table of all 1023 slots: a chain of nodes down the table whose
// last node at slot 1001 (pair 500) has child offset 127, so its children
// would sit at slots 1256 and 1257, past the end of any length table.
static Bytes full_length_table_file()
{
    lzh8::File file;
    file.size = 2;
    file.length_entries.assign(1024, 'z');
    // Node in slot 2p + 1 with child offset c has children in pair p + c + 1.
    unsigned slot = 1;
    std::string stream;
    while (slot < 1001) {
        unsigned pair = slot >> 1, offset = std::min(127u, 500 - pair - 1);
        file.length_entries[slot] = 0x100 | offset;  // child 0 is the leaf 'z'
        slot = 2 * (pair + offset + 1) + 1;
        stream += "1";
    }
    file.length_entries[1001] = 0x100 | 127;
    file.offset_entries = lzh8::layout_tree({{"0", 0}, {"1", 1}}, 5);
    file.stream = "0" + stream + "1";  // a 'z', then down the chain and out
    return lzh8::build(file);
}

std::vector<Refusal> refusal_cases()
{
    std::vector<Refusal> cases;
    Bytes not_lzh8 = example_26;
    not_lzh8[0] = 0x41;
    cases.push_back({"not_lzh8", not_lzh8, R"(ostrel\.cpp:[0-9]+:analyze_LZH8: not LZH8\n)"});
    cases.push_back({"empty_file", {}, eof_32});
    cases.push_back({"three_bytes", {0x40, 0x08, 0x00}, eof_32});
    cases.push_back({"long_header_cut", {0x40, 0x00, 0x00, 0x00, 0x08, 0x00}, eof_32});
    cases.push_back(
        {"bit_stream_cut", Bytes(example_26.begin(), example_26.begin() + 24), eof_byte});
    {
        lzh8::File file = coded_file(0, "");
        file.long_header = true;
        Bytes bytes = lzh8::build(file);
        bytes.pop_back();
        cases.push_back({"size_0_offset_table_cut", bytes, eof_byte});
    }
    {
        // Slot 3 is a node whose children (pair 7) were never loaded.
        lzh8::File file;
        file.size = 3;
        file.length_entries = {0, 0x100 | 0, 'a', 5};
        file.offset_entries = lzh8::layout_tree({{"0", 0}, {"1", 1}}, 5);
        file.stream = "0"
                      "10";
        cases.push_back({"length_child_not_loaded", lzh8::build(file), corrupt_lengths});
        // The bit that leads out of the table is the file's very last bit:
        // the refusal comes before any further bit is wanted.
        file.size = 10;
        file.stream = "000000"
                      "10";
        cases.push_back({"length_refused_on_last_bit", lzh8::build(file), corrupt_lengths});
    }
    cases.push_back({"length_child_beyond_1023", full_length_table_file(), corrupt_lengths});
    {
        lzh8::File file = coded_file(3, literals("ab"));
        file.offset_entries = {0, 0x10 | 0x08 | 3, 0, 1};  // children in pair 4: not loaded
        file.stream += lzh8::code_word(lengths_code, 256) + "0";
        cases.push_back({"offset_child_not_loaded", lzh8::build(file), corrupt_offsets});
    }
    cases.push_back({"offset_child_beyond_63", deep_offset_file(7), corrupt_offsets});
    cases.push_back({"match_first",
                     lzh8::build(coded_file(4, match(lengths_code, offsets_code, 3, 0))),
                     before_start});
    cases.push_back(
        {"match_one_before_start",
         lzh8::build(coded_file(4, literals("a") + match(lengths_code, offsets_code, 3, 1))),
         before_start});
    cases.push_back(
        {"match_65536_back_after_65535_bytes",
         lzh8::build(coded_file(65540, literals(std::string(65535, 'a')) +
                                           match(lengths_code, offsets_code, 3, 0xFFFF))),
         before_start});
    return cases;
}

}  // namespace decode_cases
