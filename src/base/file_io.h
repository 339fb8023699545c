#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace qsh {

// Largest piece one ReadFile or WriteFile call moves: a call takes a 32-bit count, and pipes
// and network volumes handle a bounded piece better than one huge request.
inline constexpr std::size_t kIoPieceBytes = 1048576;

// Reads into `buffer` until it is full or the file ends; `got` is how much it holds. False,
// with the Windows error, when a read fails.
bool readFully(HANDLE file, std::span<std::uint8_t> buffer, std::size_t& got, DWORD& error);

// Writes all of `data` in pieces of at most `maxPiece` bytes. False, with the Windows error,
// when a write fails; a write that moves nothing fails with ERROR_SUCCESS as its error.
bool writeFully(HANDLE file, std::span<const std::uint8_t> data, DWORD& error,
                std::size_t maxPiece = kIoPieceBytes);

} // namespace qsh
