#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qsh {

// Largest piece one ReadFile or WriteFile call moves: a call takes a 32-bit count, and pipes
// and network volumes handle a bounded piece better than one huge request.
inline constexpr std::size_t kIoPieceBytes = 1048576;

// Reads into `buffer` until it is full or the file ends; `got` is how much it holds. False,
// with the Windows error, when a read fails.
bool readFully(HANDLE file, std::span<std::uint8_t> buffer, std::size_t& got, DWORD& error);

// The bytes of a narrow (UTF-8) text, for writeFully.
inline std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Writes all of `data` in pieces of at most `maxPiece` bytes. False, with the Windows error,
// when a write fails; a write that moves nothing fails with ERROR_SUCCESS as its error.
bool writeFully(HANDLE file, std::span<const std::uint8_t> data, DWORD& error,
                std::size_t maxPiece = kIoPieceBytes);

// The text that says a folder could not be made, with the error behind it.
std::wstring folderCreationError(long long code);
// Makes `folder` and the folders above it where missing; an empty path needs nothing. False,
// with folderCreationError's text, when one cannot be made. `made`, when given, gets each folder
// this call made, deepest first, also when a later one fails.
bool createFolders(const std::filesystem::path& folder, std::wstring& error,
                   std::vector<std::filesystem::path>* made = nullptr);

// Writes the parts one after another into a file already open for writing, emptied first; they
// are written from where they lie, so that a large document need not be copied into one
// buffer. On failure returns false with `error` set (untouched on success).
bool writeOpenFile(HANDLE file, std::initializer_list<std::span<const std::uint8_t>> parts,
                   std::wstring& error);

} // namespace qsh
