// The read and write loops: what was written in pieces is read whole, and a file that ends
// before the buffer is full stops the loop rather than spinning in it.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/file_io.h"
#include "base/unique_resource.h"

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

} // namespace
