#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <span>
#include <string>

#include "base/bytes.h"

namespace qsh {

bool looksLikeTaskXml(const std::wstring& text);
void stripLeadingBomAndNoise(std::wstring& text);
std::wstring setXmlEncodingDeclaration(std::wstring xml, const std::wstring& encodingName);
// Replaces the file; on failure returns false with `error` set (untouched on success).
bool writeFileBytes(const std::filesystem::path& path, const Bytes& bytes, std::wstring& error);
// The same for a file made of several parts one after another, written from where they lie so
// that a large document need not be copied into one buffer first.
bool writeFileParts(const std::filesystem::path& path,
                    std::initializer_list<std::span<const std::uint8_t>> parts,
                    std::wstring& error);
// The same into a file already open for writing, emptied first.
bool writeOpenFile(HANDLE file, std::initializer_list<std::span<const std::uint8_t>> parts,
                   std::wstring& error);

} // namespace qsh
