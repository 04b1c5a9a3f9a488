// The checked I/O module: values in both byte orders, the exact bytes the
// writers leave, and each failure's exact report and exit status.
#include "util.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <functional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using ::testing::ExitedWithCode;
using ::testing::MatchesRegex;

// A read-write stream holding the given bytes, positioned at its start.
std::FILE* stream_with(const Bytes& bytes)
{
    std::FILE* stream = std::tmpfile();
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::rewind(stream);
    return stream;
}

Bytes contents(std::FILE* stream)
{
    std::fflush(stream);
    std::rewind(stream);
    Bytes bytes;
    int c;
    while ((c = std::fgetc(stream)) != EOF)
        bytes.push_back(static_cast<std::uint8_t>(c));
    return bytes;
}

// A stream that every read fails on without reaching its end.
std::FILE* write_only_stream()
{
    return std::fopen("/dev/null", "wb");
}

// A stream that every write fails on.
std::FILE* read_only_stream()
{
    return std::fopen("/dev/null", "rb");
}

const std::string eof_text = "unexpected EOF\n";

std::string report(const std::string& function, const std::string& call, const std::string& text)
{
    return "util\\.cpp:[0-9]+:" + function + ":" + call + ": " + text + "\n";
}

TEST(Reports, HaveTheirExactLayout)
{
    EXPECT_EXIT(report_failure("ostrel.cpp", 12, "analyze_LZH8", "not LZH8"), ExitedWithCode(1),
                "^ostrel\\.cpp:12:analyze_LZH8: not LZH8\n$");
    EXPECT_EXIT((errno = ENOENT, report_call_failure("ostrel.cpp", 7, "main", "fopen")),
                ExitedWithCode(1), "^ostrel\\.cpp:7:main:fopen: No such file or directory\n$");
    EXPECT_EXIT(
        {
            std::FILE* stream = stream_with({});
            std::fgetc(stream);
            report_transfer_failure("util.cpp", 3, "get_byte", "fread", stream);
        },
        ExitedWithCode(1), "^util\\.cpp:3:get_byte:fread: unexpected EOF\n$");
    EXPECT_EXIT(
        {
            errno = EBADF;
            report_transfer_failure("util.cpp", 4, "put_bytes", "fwrite", stream_with({}));
        },
        ExitedWithCode(1), "^util\\.cpp:4:put_bytes:fwrite: fwrite: Bad file descriptor\n$");
}

const Bytes counting = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                        0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10};

struct Reader {
    const char* name;
    unsigned width;
    std::function<std::uint64_t(std::FILE*)> plain;
    std::function<std::uint64_t(std::int32_t, std::FILE*)> positioned;
    std::uint64_t from_start;   // the value read from 01 02 03 ...
    std::uint64_t from_second;  // the value read from 02 03 04 ...
};

const std::vector<Reader> readers = {
    {"get_byte", 1, get_byte, get_byte_seek, 0x01, 0x02},
    {"get_16_le", 2, get_16_le, get_16_le_seek, 0x0201, 0x0302},
    {"get_16_be", 2, get_16_be, get_16_be_seek, 0x0102, 0x0203},
    {"get_32_le", 4, get_32_le, get_32_le_seek, 0x04030201, 0x05040302},
    {"get_32_be", 4, get_32_be, get_32_be_seek, 0x01020304, 0x02030405},
    {"get_64_be", 8, get_64_be, get_64_be_seek, 0x0102030405060708, 0x0203040506070809},
};

TEST(Readers, AssembleTheirByteOrder)
{
    for (const Reader& reader : readers) {
        SCOPED_TRACE(reader.name);
        std::FILE* stream = stream_with(counting);
        EXPECT_EQ(reader.plain(stream), reader.from_start);
        EXPECT_EQ(std::ftell(stream), reader.width);
        EXPECT_EQ(reader.positioned(1, stream), reader.from_second);
        EXPECT_EQ(reader.positioned(0, stream), reader.from_start);
        std::uint64_t next = reader.plain(stream);  // where the positioned read left it
        EXPECT_EQ(next, reader.positioned(static_cast<int>(reader.width), stream));
        std::fclose(stream);
    }
}

TEST(Readers, HighBytesDoNotSignExtend)
{
    std::FILE* stream = stream_with({0xFF, 0, 0, 0, 0, 0, 0, 0, 0xFE, 0xFD});
    EXPECT_EQ(get_64_be(stream), 0xFF00000000000000u);
    EXPECT_EQ(get_16_le(stream), 0xFDFEu);
    std::fclose(stream);
}

TEST(Readers, ShortReadsReportThePlainMember)
{
    for (const Reader& reader : readers) {
        SCOPED_TRACE(reader.name);
        Bytes short_by_one(counting.begin(), counting.begin() + reader.width - 1);
        EXPECT_EXIT(reader.plain(stream_with(short_by_one)), ExitedWithCode(1),
                    MatchesRegex(report(reader.name, "fread", "unexpected EOF")));
        EXPECT_EXIT(
            reader.positioned(16 - static_cast<int>(reader.width) + 1, stream_with(counting)),
            ExitedWithCode(1), MatchesRegex(report(reader.name, "fread", "unexpected EOF")));
        EXPECT_EXIT(reader.plain(write_only_stream()), ExitedWithCode(1),
                    MatchesRegex(report(reader.name, "fread", "fread: Bad file descriptor")));
    }
}

TEST(Readers, FailedSeeksReportThePositionedMember)
{
    for (const Reader& reader : readers) {
        SCOPED_TRACE(reader.name);
        EXPECT_EXIT(
            reader.positioned(-1, stream_with(counting)), ExitedWithCode(1),
            MatchesRegex(report(std::string(reader.name) + "_seek", "fseek", "Invalid argument")));
    }
}

TEST(Readers, BlockReaderFillsTheBuffer)
{
    std::FILE* stream = stream_with(counting);
    std::uint8_t buffer[32] = {0xAA, 0xAA, 0xAA, 0xAA};
    get_bytes(stream, buffer, 0);
    EXPECT_EQ(std::ftell(stream), 0);
    get_bytes(stream, buffer, 3);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{0x01, 0x02, 0x03, 0xAA}));
    get_bytes_seek(6, stream, buffer, 3);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{0x07, 0x08, 0x09, 0xAA}));
    std::fclose(stream);
    EXPECT_EXIT(get_bytes(stream_with(counting), buffer, 17), ExitedWithCode(1),
                MatchesRegex(report("get_bytes", "fread", "unexpected EOF")));
    EXPECT_EXIT(get_bytes_seek(15, stream_with(counting), buffer, 2), ExitedWithCode(1),
                MatchesRegex(report("get_bytes", "fread", "unexpected EOF")));
    EXPECT_EXIT(get_bytes_seek(-4, stream_with(counting), buffer, 2), ExitedWithCode(1),
                MatchesRegex(report("get_bytes_seek", "fseek", "Invalid argument")));
}

struct Writer {
    const char* name;
    std::function<void(std::uint32_t, std::FILE*)> plain;
    std::function<void(std::uint32_t, std::int32_t, std::FILE*)> positioned;
    Bytes of_12345678;  // what the writer leaves for 0x12345678
};

const std::vector<Writer> writers = {
    {"put_byte", put_byte, put_byte_seek, {0x78}},
    {"put_16_be", put_16_be, put_16_be_seek, {0x56, 0x78}},
    {"put_16_le", put_16_le, put_16_le_seek, {0x78, 0x56}},
    {"put_32_be", put_32_be, put_32_be_seek, {0x12, 0x34, 0x56, 0x78}},
    {"put_32_le", put_32_le, put_32_le_seek, {0x78, 0x56, 0x34, 0x12}},
};

TEST(Writers, WriteTheLowBitsInTheirByteOrder)
{
    for (const Writer& writer : writers) {
        SCOPED_TRACE(writer.name);
        std::FILE* stream = stream_with({});
        writer.plain(0x12345678, stream);
        writer.plain(0x12345678, stream);
        Bytes twice = writer.of_12345678;
        twice.insert(twice.end(), writer.of_12345678.begin(), writer.of_12345678.end());
        EXPECT_EQ(contents(stream), twice);
        std::fclose(stream);

        stream = stream_with(Bytes(8, 0xEE));
        writer.positioned(0x12345678, 2, stream);
        Bytes expected(8, 0xEE);
        std::copy(writer.of_12345678.begin(), writer.of_12345678.end(), expected.begin() + 2);
        EXPECT_EQ(contents(stream), expected);
        std::fclose(stream);
    }
}

TEST(Writers, ExamplesFromTheFormatNotes)
{
    std::FILE* stream = stream_with({});
    put_16_be(0x12345, stream);
    put_byte(0x1FF, stream);
    put_32_le(0x12345678, stream);
    put_32_be(0x12345678, stream);
    EXPECT_EQ(contents(stream),
              (Bytes{0x23, 0x45, 0xFF, 0x78, 0x56, 0x34, 0x12, 0x12, 0x34, 0x56, 0x78}));
    std::fclose(stream);
}

TEST(Writers, FailuresReportTheirMember)
{
    for (const Writer& writer : writers) {
        SCOPED_TRACE(writer.name);
        EXPECT_EXIT(writer.plain(1, read_only_stream()), ExitedWithCode(1),
                    MatchesRegex(report(writer.name, "fwrite", "fwrite: Bad file descriptor")));
        EXPECT_EXIT(writer.positioned(1, 0, read_only_stream()), ExitedWithCode(1),
                    MatchesRegex(report(writer.name, "fwrite", "fwrite: Bad file descriptor")));
        EXPECT_EXIT(
            writer.positioned(1, -1, stream_with({})), ExitedWithCode(1),
            MatchesRegex(report(std::string(writer.name) + "_seek", "fseek", "Invalid argument")));
    }
}

TEST(Writers, BlockWriters)
{
    std::FILE* stream = stream_with(Bytes(6, 0xEE));
    const std::uint8_t block[3] = {1, 2, 3};
    put_bytes(stream, block, 3);
    put_bytes(stream, block, 0);
    put_bytes_seek(4, stream, block, 2);
    EXPECT_EQ(contents(stream), (Bytes{1, 2, 3, 0xEE, 1, 2}));
    std::fclose(stream);
    EXPECT_EXIT(put_bytes(read_only_stream(), block, 3), ExitedWithCode(1),
                MatchesRegex(report("put_bytes", "fwrite", "fwrite: Bad file descriptor")));
    EXPECT_EXIT(put_bytes_seek(-1, stream_with({}), block, 3), ExitedWithCode(1),
                MatchesRegex(report("put_bytes_seek", "fseek", "Invalid argument")));
}

// An output stream that records the size of every write; unbuffered, so each
// fwrite of the caller reaches it as one call.
struct Recorder {
    Bytes data;
    std::vector<std::size_t> transfers;
};

std::FILE* recording_stream(Recorder& recorder)
{
    cookie_io_functions_t functions = {};
    functions.write = [](void* cookie, const char* buffer, std::size_t size) -> ssize_t {
        auto* r = static_cast<Recorder*>(cookie);
        r->data.insert(r->data.end(), buffer, buffer + size);
        r->transfers.push_back(size);
        return static_cast<ssize_t>(size);
    };
    std::FILE* stream = fopencookie(&recorder, "w", functions);
    std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

TEST(Dump, MovesAtMost2048BytesPerTransfer)
{
    Recorder sink;
    Bytes source;
    for (int i = 0; i < 5100; i++)
        source.push_back(static_cast<std::uint8_t>(i * 31 + 7));
    std::FILE* input = stream_with(source);
    std::FILE* output = recording_stream(sink);
    dump(input, output, 100, 5000);
    std::fflush(output);
    EXPECT_EQ(sink.transfers, (std::vector<std::size_t>{2048, 2048, 904}));
    EXPECT_EQ(sink.data, Bytes(source.begin() + 100, source.end()));
    std::fclose(input);
    std::fclose(output);
}

// Reads come in the same chunks: with only 4500 bytes to give, the third
// read fails after two whole chunks have been written.
TEST(Dump, ReadsInChunksOf2048)
{
    std::string path = testing::TempDir() + "dump_partial";
    EXPECT_EXIT(
        {
            std::FILE* output = std::fopen(path.c_str(), "wb");
            dump(stream_with(Bytes(4500, 0x5A)), output, 0, 5000);
        },
        ExitedWithCode(1), MatchesRegex(report("dump", "fread", "unexpected EOF")));
    std::FILE* written = std::fopen(path.c_str(), "rb");
    ASSERT_NE(written, nullptr);
    EXPECT_EQ(contents(written), Bytes(4096, 0x5A));
    std::fclose(written);
    std::remove(path.c_str());
}

TEST(Dump, WritesWhereTheOutputStandsAndCountZeroStillSeeks)
{
    std::FILE* input = stream_with(counting);
    std::FILE* output = stream_with({0xAA, 0xBB});
    std::fseek(output, 1, SEEK_SET);
    dump(input, output, 6, 3);
    dump(input, output, 0, 0);
    EXPECT_EQ(std::ftell(input), 0) << "a count of 0 still seeks the input";
    EXPECT_EQ(contents(output), (Bytes{0xAA, 0x07, 0x08, 0x09}));
    EXPECT_EXIT(dump(stream_with(counting), stream_with({}), -1, 0), ExitedWithCode(1),
                MatchesRegex(report("dump", "fseek", "Invalid argument")));
    EXPECT_EXIT(dump(stream_with(counting), stream_with({}), 4, 13), ExitedWithCode(1),
                MatchesRegex(report("dump", "fread", "unexpected EOF")));
    EXPECT_EXIT(dump(stream_with(counting), read_only_stream(), 0, 4), ExitedWithCode(1),
                MatchesRegex(report("dump", "fwrite", "fwrite: Bad file descriptor")));
}

TEST(PadToMultiple, PadsWithZerosAndReturnsTheEnd)
{
    struct Case {
        std::int32_t offset, alignment, target;
    };
    for (Case c : {Case{5, 4, 8}, Case{8, 4, 8}, Case{0, 16, 0}, Case{1, 1, 1}, Case{3, 10, 10}}) {
        SCOPED_TRACE(std::to_string(c.offset) + " " + std::to_string(c.alignment));
        std::FILE* stream = stream_with(Bytes(12, 0xEE));
        EXPECT_EQ(pad_to_multiple(c.offset, c.alignment, stream), c.target);
        Bytes expected(12, 0xEE);
        std::fill(expected.begin() + c.offset, expected.begin() + c.target, 0);
        EXPECT_EQ(contents(stream), expected);
        std::fclose(stream);
    }
    EXPECT_EXIT(pad_to_multiple(5, 4, read_only_stream()), ExitedWithCode(1),
                MatchesRegex(report("put_byte", "fwrite", "fwrite: Bad file descriptor")));
    EXPECT_EXIT(pad_to_multiple(-3, 4, stream_with({})), ExitedWithCode(1),
                MatchesRegex(report("put_byte_seek", "fseek", "Invalid argument")));
}

TEST(PadToMultiple, RefusesAlignmentsItCannotRoundTo)
{
    struct Case {
        std::int32_t offset, alignment;
    };
    for (Case c : {Case{5, 0}, Case{5, -4}, Case{INT32_MAX, 2}, Case{INT32_MAX - 10, 100}}) {
        EXPECT_EXIT(pad_to_multiple(c.offset, c.alignment, stream_with({})), ExitedWithCode(1),
                    MatchesRegex("util\\.cpp:[0-9]+:pad_to_multiple: bad alignment\n"));
    }
    std::FILE* stream = stream_with({});
    EXPECT_EQ(pad_to_multiple(INT32_MAX, 1, stream), INT32_MAX);
    std::fclose(stream);
}

TEST(ReadLong, ParsesBasesAndSigns)
{
    struct Case {
        const char* text;
        std::int32_t value;
    };
    for (Case c :
         {Case{"0x1F", 31}, Case{"0X10", 16}, Case{"017", 15}, Case{"-12", -12}, Case{"+7", 7},
          Case{"  42", 42}, Case{"", 0}, Case{"0", 0}, Case{"2147483647", INT32_MAX},
          Case{"-2147483648", INT32_MIN}, Case{"-0x80000000", INT32_MIN}}) {
        EXPECT_EQ(read_long(c.text), c.value) << c.text;
    }
}

TEST(ReadLong, RefusesLeftoversAndValuesOutOfRange)
{
    for (const char* text : {"12abc", "12 ", "abc", " ", "0x", "08", "1.5"})
        EXPECT_EXIT(read_long(text), ExitedWithCode(1),
                    MatchesRegex("util\\.cpp:[0-9]+:read_long: bad number format\n"))
            << text;
    for (const char* text : {"2147483648", "-2147483649", "0x100000000", "99999999999999999999"})
        EXPECT_EXIT(read_long(text), ExitedWithCode(1),
                    MatchesRegex(report("read_long", "strtol", "Numerical result out of range")))
            << text;
}

TEST(MemoryCodecs, ReadBothByteOrders)
{
    const std::uint8_t bytes[8] = {0x78, 0x56, 0x34, 0x12, 0x9A, 0xBC, 0xDE, 0xF0};
    EXPECT_EQ(mem_get_16_le(bytes), 0x5678);
    EXPECT_EQ(mem_get_16_be(bytes), 0x7856);
    EXPECT_EQ(mem_get_32_le(bytes), 0x12345678u);
    EXPECT_EQ(mem_get_32_be(bytes), 0x78563412u);
    EXPECT_EQ(mem_get_64_be(bytes), 0x785634129ABCDEF0u);
    EXPECT_EQ(mem_get_32_le(bytes + 1), 0x9A123456u) << "unaligned";
    const std::uint8_t high[8] = {0xFF, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(mem_get_64_be(high), 0xFF00000000000000u);
    EXPECT_EQ(mem_get_32_be(high), 0xFF000000u);
}

TEST(MemoryCodecs, WriteTheLowBitsInBothByteOrders)
{
    struct Case {
        const char* name;
        std::function<void(std::uint32_t, std::uint8_t*)> put;
        Bytes expected;  // for 0xAB12345, in a buffer of 0xEE
    };
    const std::vector<Case> cases = {
        {"mem_put_16_le", mem_put_16_le, {0x45, 0x23, 0xEE, 0xEE, 0xEE}},
        {"mem_put_16_be", mem_put_16_be, {0x23, 0x45, 0xEE, 0xEE, 0xEE}},
        {"mem_put_32_le", mem_put_32_le, {0x45, 0x23, 0xB1, 0x0A, 0xEE}},
        {"mem_put_32_be", mem_put_32_be, {0x0A, 0xB1, 0x23, 0x45, 0xEE}},
    };
    for (const Case& c : cases) {
        Bytes buffer(5, 0xEE);
        c.put(0xAB12345, buffer.data());
        EXPECT_EQ(buffer, c.expected) << c.name;
    }
}

TEST(PrintSpaces, WritesTheCountsAbsoluteValue)
{
    for (int count : {0, 3, -3, 17}) {
        std::FILE* stream = stream_with({});
        print_spaces(stream, count);
        EXPECT_EQ(contents(stream), Bytes(static_cast<std::size_t>(std::abs(count)), ' ')) << count;
        std::fclose(stream);
    }
}

}  // namespace
