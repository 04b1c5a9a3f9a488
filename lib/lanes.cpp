// Decoding one bit stream from several points at once.
//
// One pair of codes serves a whole LZH8 stream, so a decoder started at
// any bit uses the same tables as one started at the first, and Huffman
// codes resynchronize by themselves: from a guessed start the symbol
// boundaries met soon fall on the true ones (after about a hundred bits,
// rarely a few thousand), and once a decoder starts a symbol where the
// true decoder does, every symbol after is the true one, since the bit
// position is a decoder's whole state.
//
// So the stream is cut into lanes of about the same input length. Each is
// decoded from its first byte into tokens: its literal bytes, and for each
// match a sequence that says how many literals come before it, its length
// and its distance. Where the bits are the true decoder's is not known
// yet, nor where in the image the tokens go, so nothing is checked against
// the image. A lane marks the symbols it starts in its first `overlap`
// bits, and goes on past the next lane's start for `overlap` bits more,
// marking the symbols it starts there too.
//
// Then, in order, each lane's tokens are joined to those before and
// replayed into the image: the first bit at which both the true decoding
// (the lanes before, joined) and the next lane start a symbol is where the
// next lane's tokens take over. The replay makes what the decoder of the
// whole stream makes, in the same order: it stops at the declared size,
// refuses a match reaching before the image's start where that decoder
// would, and meets a failure that a lane's true part ended on at the same
// symbol. Where a lane gives no such bit (it met a bad branch or ran out
// of room before its bits joined, or none of its marks meets the true
// decoding within `overlap` bits), the thread replaying decodes that
// stretch itself from the last point known true, so that the result never
// rests on a lane having joined.
//
// Any free thread decodes the next lane, or joins and replays the lanes
// that are ready, one thread at a time. A lane's tokens fill a buffer of
// bounded size: two for each thread are shared (one of them the replay's
// own), held by the replay and by lanes being decoded or waiting.
#include "decode.h"
#include "memory.h"
#include "threads.h"

#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace ostrel {
namespace {

// A literal run, then a match (of length 0 for none: the run that ends a
// lane's tokens).
struct Sequence {
    std::uint32_t literals;
    std::uint16_t length;
    std::uint16_t distance_less_1;  // distances are 1..65536
};
static_assert(max_match <= 0xFFFF && window - 1 <= 0xFFFF);

// Where a symbol starts: its bit (from the tokens' first) and the tokens
// before it: the sequences made, the literals of the run not yet closed,
// all literals, and the bytes all of them make.
struct Mark {
    std::uint32_t bit;
    std::uint32_t sequence;
    std::uint32_t run;
    std::uint32_t literal;
    std::uint32_t made;
};

// How the decoding of a lane ended: at its limit, with no room left for
// another symbol, or on a failure.
enum class Ending { reached, full, failed };

// What a lane covers, in bits of the stream: it starts at `from`, marks the
// symbols it starts before `from` + overlap when `mark_starts`, and those at
// `next` (where the following lane starts) and after, and stops at the first
// symbol at or after `limit`. The last lane's next and limit are `endless`.
struct Lane {
    std::uint64_t from;
    bool mark_starts;
    std::uint64_t next;
    std::uint64_t limit;
};
const std::uint64_t endless = std::numeric_limits<std::uint64_t>::max();

// One lane's tokens, in a buffer of fixed capacity. The literal buffer has
// `literal_slack` bytes more than its capacity: the fast loop stores a
// literal entry's two bytes, and the replay copies literals 16 at a time.
struct Tokens {
    std::unique_ptr<std::uint8_t[]> literals;
    std::unique_ptr<Sequence[]> sequences;
    std::unique_ptr<Mark[]> starts, ends;
    std::uint32_t literal_capacity, sequence_capacity;
    // Filled by tokenize:
    std::uint64_t from;
    std::uint32_t literal_count, sequence_count, run_begin;
    std::uint32_t matched;  // bytes that the matches make
    std::uint32_t start_count, end_count;
    Ending ending;
    lzh8_result failure;
    std::uint64_t end_bit;  // where a reached or full lane stopped: a symbol start
};
const std::uint32_t literal_slack = 32;

// Capacities: a lane's input is cut so that it makes about
// `lane_output` bytes; buffers for twice that in literals, and for a match
// every 7 bytes, make room for most streams' lanes. A lane that fills its
// buffer is finished by the replaying thread. Images smaller than
// `smallest_in_lanes` are decoded whole.
const std::uint32_t lane_output = 256 << 10;
const std::uint32_t most_literals = 600 << 10;
const std::uint32_t most_sequences = 36 << 10;
const std::uint32_t smallest_in_lanes = 1 << 20;
const std::uint32_t default_overlap = 4096;

void make_tokens(Tokens& tokens, std::uint32_t literals, std::uint32_t sequences,
                 std::uint32_t overlap)
{
    tokens.literals.reset(new std::uint8_t[literals + literal_slack]);
    tokens.sequences.reset(new Sequence[sequences]);
    tokens.starts.reset(new Mark[overlap + 1]);
    tokens.ends.reset(new Mark[overlap + 1]);
    tokens.literal_capacity = literals;
    tokens.sequence_capacity = sequences;
}

// The stream and how it is cut.
struct Plan {
    const std::uint8_t* stream;
    const std::uint8_t* end;  // the input's end
    std::uint64_t lane_bits;
    std::uint64_t overlap;
    std::size_t count;
};

Lane lane_of(const Plan& plan, std::size_t index)
{
    const std::uint64_t from = index * plan.lane_bits;
    if (index + 1 == plan.count)
        return {from, index > 0, endless, endless};
    const std::uint64_t next = from + plan.lane_bits;
    return {from, index > 0, next, next + plan.overlap};
}

// ---- Decoding a lane into tokens ----------------------------------------

std::uint64_t bit_position(const BitReader& reader, const std::uint8_t* stream)
{
    return static_cast<std::uint64_t>(reader.next - stream) * 8 - reader.count;
}

Mark mark_here(const Tokens& tokens, std::uint64_t bit)
{
    return {static_cast<std::uint32_t>(bit - tokens.from), tokens.sequence_count,
            tokens.literal_count - tokens.run_begin, tokens.literal_count,
            tokens.literal_count + tokens.matched};
}

bool has_room(const Tokens& tokens)
{
    // A sequence is kept for the run that ends the tokens.
    return tokens.literal_count < tokens.literal_capacity &&
           tokens.sequence_count + 1 < tokens.sequence_capacity;
}

void add_symbol(Tokens& tokens, const Symbol& symbol)
{
    if (symbol.length == 0) {
        tokens.literals[tokens.literal_count++] = symbol.literal;
        return;
    }
    tokens.sequences[tokens.sequence_count++] = {tokens.literal_count - tokens.run_begin,
                                                 static_cast<std::uint16_t>(symbol.length),
                                                 static_cast<std::uint16_t>(symbol.distance - 1)};
    tokens.run_begin = tokens.literal_count;
    tokens.matched += symbol.length;
}

void fail(Tokens& tokens, lzh8_result failure)
{
    tokens.ending = Ending::failed;
    tokens.failure = failure;
}

// Decodes symbols one at a time, marking them, until one starts at or
// after until. False when decoding ended for good (full or failed).
bool tokenize_careful(BitReader& reader, const Lookups& lookups, const Plan& plan, const Lane& lane,
                      std::uint64_t until, Tokens& tokens)
{
    for (;;) {
        const std::uint64_t at = bit_position(reader, plan.stream);
        if (at >= until)
            return true;
        if (!has_room(tokens)) {
            tokens.ending = Ending::full;
            tokens.end_bit = at;
            return false;
        }
        if (lane.mark_starts && at < lane.from + plan.overlap)
            tokens.starts[tokens.start_count++] = mark_here(tokens, at);
        if (at >= lane.next)
            tokens.ends[tokens.end_count++] = mark_here(tokens, at);
        Symbol symbol;
        lzh8_result result = read_symbol(reader, lookups, symbol);
        if (result != LZH8_OK) {
            fail(tokens, result);
            return false;
        }
        add_symbol(tokens, symbol);
    }
}

#define OSTREL_LOOP_FILE "tokenize_loop.h"
#include "each_processor.h"

// The loop for this processor (see bmi2_loops).
bool tokenize_fast_run(BitReader& reader, const Lookups& lookups, const std::uint8_t* stop,
                       Tokens& tokens)
{
#if defined(__x86_64__)
    if (bmi2_loops(lookups))
        return bmi2::tokenize_fast_run(reader, lookups, stop, tokens);
#endif
    return portable::tokenize_fast_run(reader, lookups, stop, tokens);
}

// A reader at bit `from` of the stream.
BitReader reader_at(const Plan& plan, std::uint64_t from)
{
    BitReader reader = {0, 0, plan.stream + from / 8, plan.end};
    bool ended = false;
    take_bits(reader, static_cast<unsigned>(from % 8), ended);
    return reader;
}

// Decodes a lane into tokens: carefully while it marks its first symbols,
// fast up to a little before the next lane's start, and carefully again,
// marking, up to its limit. The tokens end with the run after the last
// match.
void tokenize(const Lookups& lookups, const Plan& plan, const Lane& lane, Tokens& tokens)
{
    tokens.from = lane.from;
    tokens.literal_count = tokens.sequence_count = tokens.run_begin = tokens.matched = 0;
    tokens.start_count = tokens.end_count = 0;
    tokens.ending = Ending::reached;
    tokens.failure = LZH8_OK;
    BitReader reader = reader_at(plan, lane.from);
    const std::uint64_t marked_end = lane.mark_starts ? lane.from + plan.overlap : lane.from;
    // The fast loop stops with the bits it has taken no further than the
    // bytes it has loaded, which stay 16 bytes short of where it stops.
    const std::uint8_t* stop = plan.end;
    if (lane.next != endless)
        stop = plan.stream + (lane.next / 8 > 16 ? lane.next / 8 - 16 : 0);
    bool going =
        tokenize_careful(reader, lookups, plan, lane, std::min(marked_end, lane.limit), tokens);
    if (going && bit_position(reader, plan.stream) < lane.next)
        going = tokenize_fast_run(reader, lookups, stop, tokens);
    if (going && tokenize_careful(reader, lookups, plan, lane, lane.limit, tokens))
        tokens.end_bit = bit_position(reader, plan.stream);
    tokens.sequences[tokens.sequence_count] = {tokens.literal_count - tokens.run_begin, 0, 0};
}

// ---- Replaying tokens into the image ------------------------------------

// The mark of a lane's tokens' first symbol, and of their very end.
Mark first_mark()
{
    return {0, 0, 0, 0, 0};
}

Mark last_mark(const Tokens& tokens)
{
    return {0, tokens.sequence_count, tokens.literal_count - tokens.run_begin, tokens.literal_count,
            tokens.literal_count + tokens.matched};
}

// Where a replay writes: the image, its end and the next byte, and the
// next literal byte of the tokens.
struct Replay {
    std::uint8_t* image;
    std::uint8_t* end;
    std::uint8_t* out;
    const std::uint8_t* literal;
};

// Writes count literals. Wide, 16 bytes at a time, into the room the wide
// replay keeps; else no further than the image's end.
template <bool wide>
OSTREL_STEP void put_run(Replay& at, std::uint32_t count)
{
    if (wide) {
        std::memcpy(at.out, at.literal, 16);
        for (std::uint32_t done = 16; done < count; done += 16)
            std::memcpy(at.out + done, at.literal + done, 16);
    } else {
        count = std::min(count, static_cast<std::uint32_t>(at.end - at.out));
        std::memcpy(at.out, at.literal, count);
    }
    at.literal += count;
    at.out += count;
}

// Writes a sequence's match, which may not reach before the image's start
// (no match can once a window of it is written: check_start).
template <bool wide, bool check_start>
OSTREL_STEP lzh8_result put_sequence_match(Replay& at, const Sequence& sequence)
{
    const std::uint32_t distance = sequence.distance_less_1 + 1u;
    if (check_start && distance > static_cast<std::uint32_t>(at.out - at.image))
        return LZH8_MATCH_BEFORE_START;
    std::uint32_t length = sequence.length;
    if (wide) {
        copy_match(at.out, distance, length);
    } else {
        length = std::min(length, static_cast<std::uint32_t>(at.end - at.out));
        for (std::uint32_t b = 0; b < length; b++)
            at.out[b] = (at.out - distance)[b];
    }
    at.out += length;
    return LZH8_OK;
}

// Writes the tokens from mark `from` to mark `to`: the rest of the first
// sequence's run and its match, the sequences after, and the first to.run
// literals of the last one's run. Wide where the image has room for what
// the tokens make and the copies' overrun, so that nothing is checked but
// distances; else stopping at the image's end.
template <bool wide, bool check_start>
lzh8_result replay_marks(const Tokens& tokens, const Mark& from, const Mark& to, Replay& at)
{
    const Sequence* sequence = tokens.sequences.get() + from.sequence;
    const Sequence* const last = tokens.sequences.get() + to.sequence;
    if (sequence == last) {
        put_run<wide>(at, to.run - from.run);
        return LZH8_OK;
    }
    put_run<wide>(at, sequence->literals - from.run);
    for (;;) {
        if (!wide && at.out == at.end)
            return LZH8_OK;
        lzh8_result result = put_sequence_match<wide, check_start>(at, *sequence);
        if (result != LZH8_OK)
            return result;
        if (++sequence == last)
            break;
        put_run<wide>(at, sequence->literals);
    }
    put_run<wide>(at, to.run);
    return LZH8_OK;
}

// Writes the tokens from mark `from` to mark `to` into the image from q
// on, as the decoder of the whole stream writes them.
lzh8_result replay(const Tokens& tokens, const Mark& from, const Mark& to, std::uint8_t* image,
                   std::uint32_t& q, std::uint32_t size)
{
    Replay at = {image, image + size, image + q, tokens.literals.get() + from.literal};
    const std::uint32_t made = to.made - from.made;
    lzh8_result result = LZH8_OK;
    if (size - q < made || size - q - made < max_match + copy_overrun)
        result = replay_marks<false, true>(tokens, from, to, at);
    else if (q < window)
        result = replay_marks<true, true>(tokens, from, to, at);
    else
        result = replay_marks<true, false>(tokens, from, to, at);
    q = static_cast<std::uint32_t>(at.out - image);
    return result;
}

// ---- Joining lanes in order ---------------------------------------------

// The true decoding so far: the image up to q, and the tokens that go on
// from `from`, which are the true decoder's own.
struct Chain {
    Tokens* tokens;
    Mark from;
    std::size_t lane;  // the lane whose stretch the tokens cover
    std::uint32_t q;
};

// The first bit at which the true tokens (marked from the next lane's
// start on) and the next lane's tokens (marked from their start) both
// start a symbol: the index of each one's mark there. False for none.
bool find_join(const Tokens& before, const Tokens& after, std::uint32_t& end, std::uint32_t& start)
{
    end = start = 0;
    while (end < before.end_count && start < after.start_count) {
        const std::uint64_t a = before.from + before.ends[end].bit;
        const std::uint64_t b = after.from + after.starts[start].bit;
        if (a == b)
            return true;
        if (a < b)
            end++;
        else
            start++;
    }
    return false;
}

// Everything the threads share, and the state of the replay.
struct Lanes {
    const Lookups& lookups;
    Plan plan;
    std::uint8_t* image;
    std::uint32_t size;

    std::mutex lock{};
    std::condition_variable changed{};
    std::vector<Tokens> buffers{};  // the last is the replay's own
    std::vector<Tokens*> free{};
    std::vector<Tokens*> ready{};  // a lane's tokens once made
    std::size_t next_to_decode = 0;
    std::size_t next_to_join = 0;
    bool joining = false;
    bool finished = false;

    Chain chain = {nullptr, {}, 0, 0};
    lzh8_result result = LZH8_OK;
};

Tokens* own_buffer(Lanes& lanes)
{
    return &lanes.buffers.back();
}

// Replays the chain's tokens up to `to`; true when that finished the
// image or met a failure, which is then the result.
bool replay_chain(Lanes& lanes, const Mark& to)
{
    Chain& chain = lanes.chain;
    lanes.result = replay(*chain.tokens, chain.from, to, lanes.image, chain.q, lanes.size);
    return lanes.result != LZH8_OK || chain.q == lanes.size;
}

// Replays all of the chain's tokens and decodes on, on this thread, from
// where they stopped, over the given lane's stretch. The tokens before are
// released to `released`.
bool decode_on(Lanes& lanes, const Lane& lane, std::vector<Tokens*>& released)
{
    Chain& chain = lanes.chain;
    Tokens& before = *chain.tokens;
    if (replay_chain(lanes, last_mark(before)))
        return true;
    if (before.ending == Ending::failed) {
        lanes.result = before.failure;
        return true;
    }
    if (&before != own_buffer(lanes))
        released.push_back(&before);
    const Lane from_here = {before.end_bit, false, lane.next, lane.limit};
    tokenize(lanes.lookups, lanes.plan, from_here, *own_buffer(lanes));
    chain.tokens = own_buffer(lanes);
    chain.from = first_mark();
    return false;
}

// Takes the next lane's tokens into the chain: from where they join it, or
// in their place the chain's own decoding of that lane's stretch. True
// when the image is finished or decoding has failed. Buffers no longer
// needed go to `released`.
bool join_next(Lanes& lanes, Tokens* next, std::vector<Tokens*>& released)
{
    Chain& chain = lanes.chain;
    const std::size_t index = lanes.next_to_join;
    if (index == 0) {
        chain = {next, first_mark(), 0, 0};
        return false;
    }
    for (;;) {
        Tokens& before = *chain.tokens;
        std::uint32_t end = 0, start = 0;
        if (find_join(before, *next, end, start)) {
            if (replay_chain(lanes, before.ends[end]))
                return true;
            if (&before != own_buffer(lanes))
                released.push_back(&before);
            chain = {next, next->starts[start], index, chain.q};
            return false;
        }
        if (before.ending == Ending::reached) {
            // The true decoding passed the next lane's marks without
            // meeting them: it decodes that lane's stretch itself.
            released.push_back(next);
            chain.lane = index;
            return decode_on(lanes, lane_of(lanes.plan, index), released);
        }
        // Full or failed before the join: finished on this thread, over
        // the same stretch, then joined again.
        if (decode_on(lanes, lane_of(lanes.plan, chain.lane), released))
            return true;
    }
}

// After the last lane: the chain's tokens to their end, and on until the
// image is made or decoding fails.
void finish_chain(Lanes& lanes, std::vector<Tokens*>& released)
{
    while (!decode_on(lanes, lane_of(lanes.plan, lanes.plan.count - 1), released)) {
    }
}

// What each thread runs: joins the lanes that are ready when no other
// thread is joining, else decodes the next lane when a buffer is free,
// else waits.
void run_lanes(Lanes& lanes)
{
    std::unique_lock<std::mutex> guard(lanes.lock);
    std::vector<Tokens*> released;
    while (!lanes.finished) {
        if (!lanes.joining && lanes.ready[lanes.next_to_join] != nullptr) {
            lanes.joining = true;
            Tokens* next = lanes.ready[lanes.next_to_join];
            guard.unlock();
            bool done = join_next(lanes, next, released);
            if (!done && lanes.next_to_join + 1 == lanes.plan.count)
                finish_chain(lanes, released), done = true;
            guard.lock();
            lanes.free.insert(lanes.free.end(), released.begin(), released.end());
            released.clear();
            lanes.next_to_join++;
            lanes.finished = done;
            lanes.joining = false;
            lanes.changed.notify_all();
        } else if (lanes.next_to_decode < lanes.plan.count && !lanes.free.empty()) {
            const std::size_t index = lanes.next_to_decode++;
            Tokens* tokens = lanes.free.back();
            lanes.free.pop_back();
            guard.unlock();
            tokenize(lanes.lookups, lanes.plan, lane_of(lanes.plan, index), *tokens);
            guard.lock();
            lanes.ready[index] = tokens;
            lanes.changed.notify_all();
        } else {
            lanes.changed.wait(guard);
        }
    }
}

// How the stream is cut: into lanes whose input makes about lane_output
// bytes of image, as far as the stream's ratio tells, or of lane_bytes
// when a test sets it.
Plan plan_lanes(const std::uint8_t* stream, const std::uint8_t* end, std::uint32_t size,
                std::size_t lane_bytes)
{
    const auto stream_bytes = static_cast<std::uint64_t>(end - stream);
    std::uint64_t bytes = lane_bytes;
    if (bytes == 0)
        bytes = std::clamp<std::uint64_t>(stream_bytes * lane_output / std::max(size, 1u), 16 << 10,
                                          lane_output + lane_output / 4);
    const std::uint64_t lane_bits = 8 * bytes;
    const std::uint64_t count = (stream_bytes + bytes - 1) / bytes;
    return {stream, end, lane_bits, std::min<std::uint64_t>(default_overlap, lane_bits),
            static_cast<std::size_t>(count)};
}

}  // namespace

unsigned lanes_worth(const std::uint8_t* stream, const std::uint8_t* end, std::uint32_t size,
                     const Threading& threading)
{
    if (threading.lane_bytes != 0)
        return threads_for(plan_lanes(stream, end, size, threading.lane_bytes).count,
                           threading.threads);
    if (threading.threads == 1 || size < smallest_in_lanes)
        return 0;
    const unsigned threads = threads_for(plan_lanes(stream, end, size, 0).count, threading.threads);
    return threads > 1 ? threads : 0;
}

lzh8_result decode_in_lanes(const std::uint8_t* stream, const std::uint8_t* end,
                            const Lookups& lookups, std::uint8_t* image, std::uint32_t size,
                            const Threading& threading, unsigned threads)
{
    Lanes lanes = {lookups, plan_lanes(stream, end, size, threading.lane_bytes), image, size};
    const Plan& plan = lanes.plan;
    const auto literals =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(most_literals, std::uint64_t{size} + 8));
    const std::uint32_t sequences = std::min<std::uint32_t>(most_sequences, size / 3 + 8);
    // The replay holds one buffer and takes the next lane's, which is made
    // or being made whenever a buffer is wanted: two are enough to go on,
    // and two a thread keep every thread busy.
    lanes.buffers.resize(std::max(2 * threads - 1, 2u) + 1);
    for (Tokens& tokens : lanes.buffers)
        make_tokens(tokens, literals, sequences, static_cast<std::uint32_t>(plan.overlap));
    for (std::size_t b = 0; b + 1 < lanes.buffers.size(); b++)
        lanes.free.push_back(&lanes.buffers[b]);
    lanes.ready.assign(plan.count + 1, nullptr);
    run_at_once(threads, [&lanes](unsigned) { run_lanes(lanes); });
    return lanes.result;
}

}  // namespace ostrel
