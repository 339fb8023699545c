// What the operating system reads from the built executable before any of its
// code runs: the DLLs it imports, its manifest and its version resource.

#include <gtest/gtest.h>

#include <cstdio>

#include "helper_process.h"

using namespace qsh::testing;

namespace {

struct ModuleHolder {
    HMODULE module;
    ~ModuleHolder() {
        if (module != nullptr) {
            FreeLibrary(module);
        }
    }
};

// The helper mapped as an image, but not run: what the loader reads from it.
ModuleHolder helperImage() {
    return {LoadLibraryExW(helperExePath().c_str(), nullptr,
                           LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)};
}

// Names of the DLLs in the import directory of the mapped image.
std::vector<std::string> importedDlls(HMODULE module) {
    // The handle of an image mapped as a resource has its low bits set.
    const auto* base =
        reinterpret_cast<const char*>(reinterpret_cast<ULONG_PTR>(module) & ~ULONG_PTR{3});
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || nt->Signature != IMAGE_NT_SIGNATURE ||
        nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return {};
    }
    const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::vector<std::string> names;
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         dir.VirtualAddress != 0 && entry->Name != 0; ++entry) {
        names.emplace_back(base + entry->Name);
    }
    return names;
}

// Bytes of one resource of the helper, in US English; nullopt when missing.
std::optional<std::string> helperResource(const wchar_t* type, WORD id) {
    ModuleHolder image = helperImage();
    if (image.module == nullptr) {
        ADD_FAILURE() << "LoadLibraryExW failed: " << GetLastError();
        return std::nullopt;
    }
    HRSRC found = FindResourceExW(image.module, type, MAKEINTRESOURCEW(id),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    HGLOBAL loaded = found ? LoadResource(image.module, found) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (data == nullptr) {
        return std::nullopt;
    }
    return std::string(static_cast<const char*>(data), SizeofResource(image.module, found));
}

std::wstring versionString(const std::vector<char>& info, const std::wstring& name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = L"\\StringFileInfo\\040904B0\\" + name;
    if (!VerQueryValueW(info.data(), path.c_str(), &value, &length) || value == nullptr) {
        return L"<missing>";
    }
    return static_cast<const wchar_t*>(value);
}

} // namespace

TEST(ResourcesImports, OnlySystemDlls) {
    ModuleHolder image = helperImage();
    ASSERT_NE(image.module, nullptr) << "LoadLibraryExW failed: " << GetLastError();
    const std::vector<std::string> dlls = importedDlls(image.module);
    ASSERT_FALSE(dlls.empty());
    wchar_t system[MAX_PATH + 1] = {};
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    bool kernel32 = false;
    std::string list;
    for (const auto& dll : dlls) {
        list += dll + " ";
        kernel32 = kernel32 || _stricmp(dll.c_str(), "kernel32.dll") == 0;
        // The staged copy runs alone: every import must come from the system folder.
        EXPECT_TRUE(fileExists(std::wstring(system) + L"\\" + fromUtf8(dll))) << dll;
        EXPECT_NE(_strnicmp(dll.c_str(), "lib", 3), 0) << "toolchain runtime DLL: " << dll;
    }
    EXPECT_TRUE(kernel32) << list;
    std::printf("imports: %s\n", list.c_str());
}

TEST(ResourcesManifest, RequiresAdministratorAndLongPaths) {
    auto manifest = helperResource(RT_MANIFEST, 1);
    ASSERT_TRUE(manifest.has_value()) << "no manifest 1 in language 1033";
    const std::string& text = *manifest;
    EXPECT_EQ(text.rfind(R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>)", 0), 0u)
        << "declaration first, no byte order mark";
    const char* parts[] = {
        R"(<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">)",
        R"(version="1.1.0.0")",
        R"(processorArchitecture="amd64")",
        R"(type="win32")",
        R"(QuillfenSchedulerHelper"/>)",
        R"(<description>Quillfen Task Scheduler administrative helper</description>)",
        R"(<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">)",
        R"(<requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>)",
        R"(<compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1">)",
        R"(<application xmlns="urn:schemas-microsoft-com:asm.v3">)",
        R"(<longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true</longPathAware>)",
    };
    for (const char* part : parts) {
        EXPECT_NE(text.find(part), std::string::npos) << part;
    }
    const std::size_t first = text.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}");
    const std::size_t second = text.find("{4f476546-9370-4c9b-bd9e-13e4f6b24e04}");
    const std::size_t third = text.find("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}");
    EXPECT_TRUE(first != std::string::npos && first < second && second < third &&
                third != std::string::npos);
    EXPECT_EQ(helperResource(RT_MANIFEST, 2), std::nullopt);
}

TEST(ResourcesVersion, FixedFieldsStringsAndTranslation) {
    ASSERT_TRUE(helperResource(RT_VERSION, 1).has_value()) << "no version 1 in language 1033";
    const std::wstring exe = helperExePath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u) << GetLastError();
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data())) << GetLastError();

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", &value, &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010001u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010001u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed->dwFileFlags, 0u);
    EXPECT_EQ(fixed->dwFileOS, 0x40004u);
    EXPECT_EQ(fixed->dwFileType, 1u);
    EXPECT_EQ(fixed->dwFileSubtype, 0u);
    EXPECT_EQ(fixed->dwFileDateMS, 0u);
    EXPECT_EQ(fixed->dwFileDateLS, 0u);

    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(length, 4u);
    const auto* translation = static_cast<const WORD*>(value);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 0x04B0);

    EXPECT_EQ(versionString(info, L"CompanyName"), L"Quillfen");
    EXPECT_EQ(versionString(info, L"FileDescription"), L"Quillfen Task Scheduler Helper");
    EXPECT_EQ(versionString(info, L"FileVersion"), L"1.1.0");
    EXPECT_EQ(versionString(info, L"InternalName"), L"QuillfenSchedulerHelper");
    EXPECT_EQ(versionString(info, L"OriginalFilename"), L"QuillfenSchedulerHelper.exe");
    EXPECT_EQ(versionString(info, L"ProductName"), L"Quillfen");
    EXPECT_EQ(versionString(info, L"ProductVersion"), L"1.1.0");
}
