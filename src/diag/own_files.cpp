#include "diag/own_files.h"

#include <system_error>

#include "diag/constants.h"
#include "diag/final_path.h"
#include "diag/format.h"

namespace qsh {
namespace {

namespace fs = std::filesystem;

// Lets an open folder be read and written by others but not renamed or deleted while held.
constexpr DWORD kFolderHoldAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
constexpr DWORD kFolderHoldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

bool samePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring joined(const std::wstring& root, const fs::path& relative) {
    // Joining an empty part would add a separator at the end.
    const fs::path path = relative.empty() ? fs::path(root) : fs::path(root) / relative;
    return path.lexically_normal().wstring();
}

// Asked through the export rather than imported: a system without package support still
// starts the program.
std::wstring queryPackageFamily() {
    using Query = LONG(WINAPI*)(UINT32*, PWSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto query = kernel ? reinterpret_cast<Query>(reinterpret_cast<void*>(
                                    GetProcAddress(kernel, "GetCurrentPackageFamilyName")))
                              : nullptr;
    if (query == nullptr) {
        return {};
    }
    UINT32 length = 0;
    if (query(&length, nullptr) != ERROR_INSUFFICIENT_BUFFER || length == 0) {
        return {};
    }
    std::wstring family(length, L'\0');
    if (query(&length, family.data()) != ERROR_SUCCESS || length == 0) {
        return {};
    }
    family.resize(length - 1);
    return family;
}

// Asked once: every log line opens an own file, and a process's package never changes.
const std::wstring& currentPackageFamily() {
    static const std::wstring family = queryPackageFamily();
    return family;
}

UniqueHandle openFolder(const fs::path& folder) {
    return UniqueHandle(CreateFileW(folder.c_str(), kFolderHoldAccess, kFolderHoldShare, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

std::wstring linkMessage(const fs::path& file, const std::wstring& leadsTo) {
    return L"The file " + file.wstring() + L" is reached through a link (it leads to " + leadsTo +
           L").";
}

// Empty when the open file is the one expected; otherwise why it is refused.
std::wstring refusal(HANDLE handle, const fs::path& file, const std::vector<std::wstring>& roots,
                     const fs::path& relative) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information)) {
        return formatWindowsError(GetLastError());
    }
    if (information.nNumberOfLinks > 1) {
        return L"The file " + file.wstring() + L" has " +
               std::to_wstring(information.nNumberOfLinks) + L" hard links.";
    }
    std::wstring actual;
    DWORD error = ERROR_SUCCESS;
    if (!finalPathOfHandle(handle, actual, error)) {
        return formatWindowsError(error);
    }
    if (!isOwnFinalPath(actual, roots, relative)) {
        return linkMessage(file, actual);
    }
    return {};
}

// Opens an existing file, or makes a new one; never follows a dangling link to create its
// target, and never truncates.
UniqueHandle openOrCreate(const fs::path& file, DWORD access, DWORD share,
                          SECURITY_ATTRIBUTES* created, DWORD& error) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueHandle handle(CreateFileW(file.c_str(), access, share, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        if (handle) {
            return handle;
        }
        error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            return {};
        }
        handle.reset(CreateFileW(file.c_str(), access, share, created, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (handle) {
            return handle;
        }
        error = GetLastError();
        // Made by someone else in between: open what is there and check it.
        if (error != ERROR_FILE_EXISTS) {
            return {};
        }
    }
    return {};
}

// Where a link could only lead a process to what its user may write anyway.
UniqueHandle openAsNamed(const fs::path& file, DWORD access, DWORD share,
                         SECURITY_ATTRIBUTES* created, std::wstring& error) {
    UniqueHandle handle(CreateFileW(file.c_str(), access, share, created, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) {
        error = formatWindowsError(GetLastError());
    }
    return handle;
}

// The running image's own file, as GetModuleFileNameW names it.
std::wstring ownImagePath() {
    std::wstring buffer(32768, L'\0');
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(length < buffer.size() ? length : 0);
    return buffer;
}

// Where the staging run that made this copy put the file of kind `stem`: beside the running
// image, wherever that really lies, with the suffix of the image's name. Fails for an image
// that was not staged for a relaunch.
bool stagedFileName(const wchar_t* stem, std::wstring& expected, std::wstring& error) {
    const std::wstring self = ownImagePath();
    const UniqueHandle image(CreateFileW(self.c_str(), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!image) {
        error = formatWindowsError(GetLastError());
        return false;
    }
    std::wstring actual;
    DWORD queryError = ERROR_SUCCESS;
    if (!finalPathOfHandle(image.get(), actual, queryError)) {
        error = formatWindowsError(queryError);
        return false;
    }
    const fs::path imagePath(actual);
    const std::wstring name = imagePath.filename().wstring();
    const std::wstring_view prefix(kStagedHelperStem);
    const std::wstring_view extension(kStagedHelperExtension);
    if (name.size() <= prefix.size() + extension.size() ||
        !samePath(name.substr(0, prefix.size()), std::wstring(prefix)) ||
        !samePath(name.substr(name.size() - extension.size()), std::wstring(extension))) {
        error = L"This copy of the helper (" + actual +
                L") was not staged for a relaunch and accepts no handed files.";
        return false;
    }
    const std::wstring suffix =
        name.substr(prefix.size(), name.size() - prefix.size() - extension.size());
    expected = (imagePath.parent_path() / (stem + suffix + kStagedFileExtension)).wstring();
    return true;
}

std::wstring folderError(const std::error_code& failed) {
    return L"Unable to create parent directory; error=" + std::to_wstring(failed.value());
}

} // namespace

bool tokenIsElevated() {
    static const bool elevated = [] {
        UniqueHandle token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
            return false;
        }
        TOKEN_ELEVATION elevation{};
        DWORD returned = 0;
        return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation,
                                   &returned) &&
               elevation.TokenIsElevated != 0;
    }();
    return elevated;
}

std::vector<std::wstring> ownFileRoots(const std::wstring& finalBase,
                                       const std::wstring& packageFamily) {
    std::vector<std::wstring> roots{finalBase};
    if (!packageFamily.empty()) {
        roots.push_back(
            joined(finalBase, fs::path(L"Packages") / packageFamily / L"LocalCache" / L"Local"));
    }
    return roots;
}

bool isOwnFinalPath(const std::wstring& actual, const std::vector<std::wstring>& roots,
                    const fs::path& relative) {
    for (const std::wstring& root : roots) {
        if (samePath(actual, joined(root, relative))) {
            return true;
        }
    }
    return false;
}

UniqueHandle openOwnFile(const fs::path& base, const fs::path& relative, DWORD access, DWORD share,
                         std::wstring& error, SECURITY_ATTRIBUTES* created) {
    const fs::path file = base / relative;
    std::error_code failed;
    if (!tokenIsElevated()) {
        // A link only leads this process where its user could write anyway.
        fs::create_directories(file.parent_path(), failed);
        if (failed) {
            error = folderError(failed);
            return {};
        }
        return openAsNamed(file, access, share, created, error);
    }

    // Links above the base (a profile moved through a junction) are the user's own set-up:
    // everything below is compared with where the base really leads.
    fs::create_directories(base, failed);
    const UniqueHandle baseHold = openFolder(base);
    if (!baseHold) {
        error = formatWindowsError(GetLastError());
        return {};
    }
    std::wstring finalBase;
    DWORD queryError = ERROR_SUCCESS;
    if (!finalPathOfHandle(baseHold.get(), finalBase, queryError)) {
        error = formatWindowsError(queryError);
        return {};
    }
    const std::vector<std::wstring> roots = ownFileRoots(finalBase, currentPackageFamily());

    // Each folder is checked before anything is made inside it, and held so that it cannot be
    // swapped for a link until the file is open.
    std::vector<UniqueHandle> holds;
    fs::path folder = base;
    fs::path folderRelative;
    for (const fs::path& part : relative.parent_path()) {
        folder /= part;
        folderRelative /= part;
        fs::create_directory(folder, failed);
        if (failed) {
            error = folderError(failed);
            return {};
        }
        UniqueHandle hold = openFolder(folder);
        if (!hold) {
            error = formatWindowsError(GetLastError());
            return {};
        }
        std::wstring actual;
        if (!finalPathOfHandle(hold.get(), actual, queryError)) {
            error = formatWindowsError(queryError);
            return {};
        }
        if (!isOwnFinalPath(actual, roots, folderRelative)) {
            error = linkMessage(file, actual);
            return {};
        }
        holds.push_back(std::move(hold));
    }

    DWORD openError = ERROR_SUCCESS;
    UniqueHandle handle =
        openOrCreate(file, access | FILE_READ_ATTRIBUTES, share, created, openError);
    if (!handle) {
        error = formatWindowsError(openError);
        return {};
    }
    std::wstring why = refusal(handle.get(), file, roots, relative);
    if (!why.empty()) {
        error = std::move(why);
        return {};
    }
    return handle;
}

UniqueHandle openHandedFile(const fs::path& path, const wchar_t* stem, DWORD access, DWORD share,
                            std::wstring& error) {
    if (!tokenIsElevated()) {
        return openAsNamed(path, access, share, nullptr, error);
    }
    std::wstring expected;
    if (!stagedFileName(stem, expected, error)) {
        return {};
    }
    const fs::path given = path.lexically_normal();
    if (!samePath(given.wstring(), expected)) {
        error = L"The file " + path.wstring() +
                L" is not one that was staged for this copy of the helper.";
        return {};
    }
    // The staged file exists already; one that is missing is not made here, where a link
    // in its place would decide where it lands.
    UniqueHandle handle(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) {
        error = formatWindowsError(GetLastError());
        return {};
    }
    std::wstring why = refusal(handle.get(), path, {expected}, {});
    if (!why.empty()) {
        error = std::move(why);
        return {};
    }
    return handle;
}

} // namespace qsh
