// The read and write loops: what was written in pieces is read whole, and a file that ends
// before the buffer is full stops the loop rather than spinning in it. A file open for writing
// is emptied and written part after part; missing folders are made, and counted.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <regex>
#include <span>
#include <string>
#include <vector>

#include "base/file_io.h"
#include "base/unique_resource.h"
#include "sandbox.h"

namespace {

struct Pipe {
    qsh::UniqueHandle read;
    qsh::UniqueHandle write;
    Pipe() { EXPECT_TRUE(CreatePipe(read.put(), write.put(), nullptr, 1 << 16)); }
};

TEST(FileIo, ReadFullyGathersWhatWasWrittenInPieces) {
    Pipe pipe;
    const std::vector<std::uint8_t> sent = {'a', 'b', 'c', 'd', 'e', 'f', 'g'};
    DWORD error = 0;
    ASSERT_TRUE(qsh::writeFully(pipe.write.get(), sent, error, 3));
    std::vector<std::uint8_t> buffer(7, 0);
    std::size_t got = 0;
    ASSERT_TRUE(qsh::readFully(pipe.read.get(), buffer, got, error));
    EXPECT_EQ(got, 7u);
    EXPECT_EQ(buffer, sent);
}

TEST(FileIo, ReadFullyStopsWhereAFileEnds) {
    wchar_t folder[MAX_PATH] = {};
    wchar_t path[MAX_PATH] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);
    ASSERT_NE(GetTempFileNameW(folder, L"qio", 0, path), 0u);
    const qsh::UniqueHandle file(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                             CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    ASSERT_TRUE(file);
    // More than one piece, so that it takes two reads.
    std::vector<std::uint8_t> sent(qsh::kIoPieceBytes + 3);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<std::uint8_t>(i % 251);
    }
    DWORD error = 0;
    ASSERT_TRUE(qsh::writeFully(file.get(), sent, error));
    ASSERT_NE(SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    std::vector<std::uint8_t> buffer(sent.size() + 10, 0);
    std::size_t got = 0;
    ASSERT_TRUE(qsh::readFully(file.get(), buffer, got, error));
    ASSERT_EQ(got, sent.size());
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer.begin()));
}

TEST(FileIo, ReadFullyReportsTheFailedRead) {
    std::vector<std::uint8_t> buffer(4);
    std::size_t got = 0;
    DWORD error = 0;
    EXPECT_FALSE(qsh::readFully(nullptr, buffer, got, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(qsh::writeFully(nullptr, buffer, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(FileIo, WriteOpenFileEmptiesTheFileThenWritesThePartsInOrder) {
    using qsh::testing::readFile;
    const qsh::testing::TempDir dir;
    const std::wstring path = dir / L"out.bin";
    ASSERT_TRUE(qsh::testing::writeFile(path, std::string(5000, 'o')));
    std::vector<std::uint8_t> large(qsh::kIoPieceBytes + 3);
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<std::uint8_t>(i * 7);
    }
    const std::uint8_t head[] = {'h', 'e'};
    const auto write = [&](std::initializer_list<std::span<const std::uint8_t>> parts,
                           const wchar_t* name, std::wstring& error) {
        const qsh::UniqueHandle file(CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        return file && qsh::writeOpenFile(file.get(), parts, error);
    };
    std::wstring error = L"untouched";
    ASSERT_TRUE(write({head, {}, large, head}, path.c_str(), error)) << error;
    EXPECT_EQ(error, L"untouched");
    EXPECT_TRUE(readFile(path) == "he" + std::string(large.begin(), large.end()) + "he");
    ASSERT_TRUE(write({}, path.c_str(), error)) << error;
    EXPECT_EQ(readFile(path), std::string());
    // Devices such as NUL can be neither emptied nor flushed; the write still counts.
    EXPECT_TRUE(write({head}, L"NUL", error)) << error;
}

TEST(FileIo, CreateFoldersCountsOnlyTheFoldersItMade) {
    const qsh::testing::TempDir dir;
    ASSERT_TRUE(CreateDirectoryW((dir / L"there").c_str(), nullptr));
    std::vector<std::filesystem::path> made;
    std::wstring error;
    ASSERT_TRUE(qsh::createFolders(dir / L"there\\new\\deeper", error, &made)) << error;
    EXPECT_EQ(made, (std::vector<std::filesystem::path>{dir / L"there\\new\\deeper",
                                                        dir / L"there\\new"}));
    made.clear();
    ASSERT_TRUE(qsh::createFolders(dir / L"there\\new", error, &made)) << error;
    EXPECT_TRUE(made.empty());
    EXPECT_TRUE(qsh::createFolders(L"", error, &made));
    EXPECT_TRUE(made.empty());

    // A file where a folder should be, or above it.
    ASSERT_TRUE(qsh::testing::writeFile(dir / L"plain-file", "x"));
    for (const wchar_t* folder : {L"plain-file", L"plain-file\\sub\\deeper"}) {
        error.clear();
        EXPECT_FALSE(qsh::createFolders(dir / folder, error, &made));
        EXPECT_TRUE(std::regex_match(
            error, std::wregex(L"Unable to create parent directory; error=[-0-9]+")))
            << error;
        EXPECT_TRUE(made.empty());
    }
    EXPECT_EQ(qsh::testing::readFile(dir / L"plain-file"), "x");
}

} // namespace
