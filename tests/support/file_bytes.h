// A whole file as bytes, for tests that read the configuration corpus.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace belvor::test {

inline std::string ReadBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace belvor::test
