// Writes every hand-built decoder case into a directory, one file each:
// seeds for the fuzzer.
#include "decode_cases.h"

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::printf("Usage: %s directory\n", argv[0]);
        return 1;
    }
    auto save = [&](const std::string& name, const decode_cases::Bytes& bytes) {
        std::ofstream file(std::string(argv[1]) + "/" + name, std::ios::binary);
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    };
    for (const auto& c : decode_cases::success_cases())
        save(std::string("success_") + c.name, c.input);
    for (const auto& c : decode_cases::refusal_cases())
        save(std::string("refusal_") + c.name, c.input);
    return 0;
}
