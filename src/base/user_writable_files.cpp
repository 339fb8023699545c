#include "base/user_writable_files.h"

#include <psapi.h>
#include <winternl.h>

#include <system_error>

#include "base/constants.h"
#include "base/file_io.h"
#include "base/final_path.h"
#include "base/token.h"
#include "base/windows_error.h"

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

constexpr NTSTATUS kStatusOplockBreakInProgress = 0x00000108;
// How long an open by path tries again while another program's oplock is being broken.
constexpr ULONGLONG kOplockRetryMs = 2000;
constexpr DWORD kOplockRetryPollMs = 10;

struct NtCalls {
    using CreateFile = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                        PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
    using ToDosError = ULONG(NTAPI*)(NTSTATUS);
    using QueryVolume = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
    CreateFile createFile = nullptr;
    ToDosError toDosError = nullptr;
    QueryVolume queryVolume = nullptr;
};

// Looked up rather than imported: ntdll is in every process, and neither toolchain then needs
// its import library.
const NtCalls& ntCalls() {
    static const NtCalls calls = [] {
        NtCalls found;
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll != nullptr) {
            found.createFile = reinterpret_cast<NtCalls::CreateFile>(
                reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateFile")));
            found.toDosError = reinterpret_cast<NtCalls::ToDosError>(
                reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
            found.queryVolume = reinterpret_cast<NtCalls::QueryVolume>(
                reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryVolumeInformationFile")));
        }
        return found;
    }();
    return calls;
}

// One NtCreateFile, relative to `root` when it is given. It never waits on another program's
// oplock (FILE_COMPLETE_IF_OPLOCKED): an open that would is closed again and reported as
// kErrorOplockBreak, since I/O through it could still wait for the break.
UniqueHandle ntOpen(HANDLE root, const std::wstring& name, DWORD access, DWORD share,
                    ULONG disposition, ULONG options, SECURITY_ATTRIBUTES* created, DWORD& error) {
    const NtCalls& nt = ntCalls();
    if (nt.createFile == nullptr || nt.toDosError == nullptr) {
        error = ERROR_PROC_NOT_FOUND;
        return {};
    }
    if (name.size() > 0xFFFF / sizeof(wchar_t)) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return {};
    }
    UNICODE_STRING objectName{};
    objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    objectName.Buffer = const_cast<PWSTR>(name.c_str());
    OBJECT_ATTRIBUTES attributes{};
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, root,
                               created != nullptr ? created->lpSecurityDescriptor : nullptr);
    // A name that turns out to be a named pipe must not hand its server a token worth having:
    // at identification level it can see who opened it, not act as them.
    SECURITY_QUALITY_OF_SERVICE quality{};
    quality.Length = sizeof quality;
    quality.ImpersonationLevel = SecurityIdentification;
    quality.ContextTrackingMode = SECURITY_STATIC_TRACKING;
    quality.EffectiveOnly = TRUE;
    attributes.SecurityQualityOfService = &quality;
    IO_STATUS_BLOCK io{};
    HANDLE opened = nullptr;
    const NTSTATUS status = nt.createFile(
        &opened, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io, nullptr,
        FILE_ATTRIBUTE_NORMAL, share, disposition,
        options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_COMPLETE_IF_OPLOCKED, nullptr, 0);
    if (status < 0) {
        error = nt.toDosError(status);
        return {};
    }
    UniqueHandle handle(opened);
    if (status == kStatusOplockBreakInProgress) {
        error = kErrorOplockBreak;
        return {};
    }
    return handle;
}

// The NT form of a full Win32 path, for an open without a root.
std::wstring ntPathOf(const fs::path& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    const DWORD length =
        needed != 0 ? GetFullPathNameW(path.c_str(), needed, full.data(), nullptr) : 0;
    full.resize(length < needed ? length : 0);
    const std::wstring_view view(full);
    if (view.starts_with(L"\\\\?\\") || view.starts_with(L"\\\\.\\")) {
        return L"\\??\\" + full.substr(4);
    }
    if (view.starts_with(L"\\\\")) {
        return L"\\??\\UNC\\" + full.substr(2);
    }
    return L"\\??\\" + full;
}

// A folder opened by its full path, links on the way followed, held so that it cannot be
// renamed or deleted.
UniqueHandle openFolder(const fs::path& folder, DWORD& error) {
    return ntOpen(nullptr, ntPathOf(folder), kFolderHoldAccess, kFolderHoldShare, FILE_OPEN,
                  FILE_DIRECTORY_FILE, nullptr, error);
}

// The folder `name` inside `parent`, created when missing; never through a link in its place.
UniqueHandle openOrMakeFolder(HANDLE parent, const std::wstring& name, DWORD& error) {
    constexpr ULONG kOptions = FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT;
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueHandle folder = ntOpen(parent, name, kFolderHoldAccess, kFolderHoldShare, FILE_OPEN,
                                     kOptions, nullptr, error);
        if (folder || error != ERROR_FILE_NOT_FOUND) {
            return folder;
        }
        folder = ntOpen(parent, name, kFolderHoldAccess, kFolderHoldShare, FILE_CREATE, kOptions,
                        nullptr, error);
        if (folder || error != ERROR_ALREADY_EXISTS) {
            return folder;
        }
    }
    return {};
}

std::wstring linkMessage(const wchar_t* kind, const std::wstring& name,
                         const std::wstring& leadsTo) {
    return std::wstring(L"The ") + kind + L" " + name +
           L" is reached through a link (it leads to " + leadsTo + L").";
}

std::wstring reparseMessage(const wchar_t* kind, const std::wstring& name) {
    return std::wstring(L"The ") + kind + L" " + name + L" is a link or mount point.";
}

// Empty when the open file is the one expected; otherwise why it is refused, with `code`.
std::wstring refusal(HANDLE handle, const std::wstring& file, const std::wstring& expected,
                     DWORD& code) {
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
        code = GetLastError();
        return formatWindowsError(code);
    }
    if (standard.NumberOfLinks > 1) {
        code = ERROR_TOO_MANY_LINKS;
        return L"The file " + file + L" has " + std::to_wstring(standard.NumberOfLinks) +
               L" hard links.";
    }
    std::wstring actual;
    if (!finalPathOfHandle(handle, actual, code)) {
        return formatWindowsError(code);
    }
    if (!samePath(actual, expected)) {
        code = kErrorReparsePoint;
        return linkMessage(L"file", file, actual);
    }
    return {};
}

// Creates `name` and checks it; a file made here and refused is removed again. True when it was
// made and accepted, or when someone else made it first (code ERROR_FILE_EXISTS).
bool createChecked(HANDLE folder, const std::wstring& folderFinal, const std::wstring& name,
                   DWORD access, DWORD share, SECURITY_ATTRIBUTES* created, std::wstring& error,
                   DWORD& code) {
    const std::wstring file = joined(folderFinal, name);
    // Only the open that makes the file may delete it: a log handle with DELETE access would
    // keep out readers that do not share deletion.
    const UniqueHandle made =
        openInFolder(folder, name, access | DELETE, share, OpenMode::CreateNew, code, created);
    if (!made) {
        error =
            code == kErrorReparsePoint ? reparseMessage(L"file", file) : formatWindowsError(code);
        return code == ERROR_FILE_EXISTS;
    }
    error = refusal(made.get(), file, file, code);
    if (error.empty()) {
        return true;
    }
    DWORD ignored = ERROR_SUCCESS;
    deleteThroughHandle(made.get(), ignored);
    return false;
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

// The running image as the memory manager mapped it: the NT path of the file the process was
// started from, "\Device\HarddiskVolume3\...\x.exe". Empty when it cannot be read.
std::wstring mappedImageName(DWORD& error) {
    for (DWORD size = 512; size <= 65536; size *= 2) {
        std::wstring buffer(size, L'\0');
        const DWORD length = K32GetMappedFileNameW(GetCurrentProcess(), GetModuleHandleW(nullptr),
                                                   buffer.data(), size);
        if (length == 0) {
            error = GetLastError();
            return {};
        }
        if (length < size - 1) {
            buffer.resize(length);
            return buffer;
        }
    }
    error = ERROR_FILENAME_EXCED_RANGE;
    return {};
}

// The folder the running image lies in, held so that it cannot be renamed, with its final path
// and the staging suffix of the image's name.
struct ImageFolder {
    UniqueHandle hold;
    std::wstring finalPath;
    std::wstring suffix;
};

// Fails for an image that was not staged for a relaunch. The folder is found from the mapped
// image rather than from a path reopened by name, which someone could have re-pointed since.
bool holdImageFolder(ImageFolder& image, std::wstring& error) {
    DWORD code = ERROR_SUCCESS;
    const std::wstring mapped = mappedImageName(code);
    const std::size_t slash = mapped.rfind(L'\\');
    if (mapped.empty() || slash == std::wstring::npos) {
        error = formatWindowsError(code);
        return false;
    }
    const std::wstring name = mapped.substr(slash + 1);
    const std::wstring_view prefix(kStagedHelperStem);
    const std::wstring_view extension(kStagedHelperExtension);
    if (name.size() <= prefix.size() + extension.size() ||
        !samePath(name.substr(0, prefix.size()), std::wstring(prefix)) ||
        !samePath(name.substr(name.size() - extension.size()), std::wstring(extension))) {
        error = L"This copy of the helper (" + mapped +
                L") was not staged for a relaunch and accepts no handed files.";
        return false;
    }
    image.suffix = name.substr(prefix.size(), name.size() - prefix.size() - extension.size());
    image.hold = ntOpen(nullptr, mapped.substr(0, slash), kFolderHoldAccess, kFolderHoldShare,
                        FILE_OPEN, FILE_DIRECTORY_FILE, nullptr, code);
    if (!image.hold || !finalPathOfHandle(image.hold.get(), image.finalPath, code)) {
        error = formatWindowsError(code);
        return false;
    }
    return true;
}

} // namespace

// Asked by class (GetFileInformationByHandleEx) rather than with GetFileInformationByHandle,
// which also reads the volume's serial number: under Wine a call to another process, several
// times the cost of the open itself.
bool isReparsePoint(HANDLE handle, DWORD& error) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
        error = GetLastError();
        return true;
    }
    error = kErrorReparsePoint;
    return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
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

UniqueHandle openOwnFolder(const fs::path& base, const fs::path& relativeFolder,
                           std::wstring& error) {
    DWORD code = ERROR_SUCCESS;
    if (!tokenIsElevated()) {
        // A link only leads this process where its user could write anyway.
        const fs::path folder = relativeFolder.empty() ? base : base / relativeFolder;
        if (!createFolders(folder, error)) {
            return {};
        }
        UniqueHandle hold = openFolder(folder, code);
        if (!hold) {
            error = formatWindowsError(code);
        }
        return hold;
    }

    // Links above the base (a profile moved through a junction) are the user's own set-up:
    // everything below is compared with where the base really leads. The base itself is never
    // made here: the user's environment names it, and an elevated process would make it wherever
    // that points.
    UniqueHandle hold = openFolder(base, code);
    std::wstring finalBase;
    if (!hold || !finalPathOfHandle(hold.get(), finalBase, code)) {
        error = formatWindowsError(code);
        return {};
    }
    const std::vector<std::wstring> roots = ownFileRoots(finalBase, currentPackageFamily());

    // Each folder is opened and made inside the one before through its handle, so that a link
    // planted in its place is never followed, and checked before anything is made inside it.
    fs::path folderRelative;
    for (const fs::path& part : relativeFolder) {
        folderRelative /= part;
        const std::wstring shown = (base / folderRelative).wstring();
        hold = openOrMakeFolder(hold.get(), part.wstring(), code);
        if (!hold) {
            error = folderCreationError(code);
            return {};
        }
        if (isReparsePoint(hold.get(), code)) {
            error = code == kErrorReparsePoint ? reparseMessage(L"folder", shown)
                                               : formatWindowsError(code);
            return {};
        }
        std::wstring actual;
        if (!finalPathOfHandle(hold.get(), actual, code)) {
            error = formatWindowsError(code);
            return {};
        }
        if (!isOwnFinalPath(actual, roots, folderRelative)) {
            error = linkMessage(L"folder", shown, actual);
            return {};
        }
    }
    return hold;
}

UniqueHandle openInFolder(HANDLE folder, const std::wstring& name, DWORD access, DWORD share,
                          OpenMode mode, DWORD& error, SECURITY_ATTRIBUTES* created) {
    // One component: a separator or a dot name would reach outside the held folder.
    if (name.empty() || name == L"." || name == L".." ||
        name.find_first_of(L"\\/") != std::wstring::npos) {
        error = ERROR_INVALID_NAME;
        return {};
    }
    constexpr ULONG kOptions = FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT;
    // Opened, else created, never both in one call: an open-or-create (FILE_OPEN_IF) that meets
    // a dangling link would make its target on a system that follows it.
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool made = false;
        UniqueHandle handle;
        if (mode != OpenMode::CreateNew) {
            handle = ntOpen(folder, name, access, share, FILE_OPEN, kOptions, nullptr, error);
            if (!handle && (mode == OpenMode::Existing || error != ERROR_FILE_NOT_FOUND)) {
                return {};
            }
        }
        if (!handle) {
            handle = ntOpen(folder, name, access, share, FILE_CREATE, kOptions, created, error);
            made = static_cast<bool>(handle);
        }
        if (handle) {
            if (!isReparsePoint(handle.get(), error)) {
                return handle;
            }
            DWORD ignored = ERROR_SUCCESS;
            if (made) {
                deleteThroughHandle(handle.get(), ignored);
            }
            return {};
        }
        // As CreateFileW reports a name that is taken.
        if (error == ERROR_ALREADY_EXISTS) {
            error = ERROR_FILE_EXISTS;
        }
        // Made by someone else in between: open what is there and check it.
        if (mode == OpenMode::CreateNew || error != ERROR_FILE_EXISTS) {
            return {};
        }
    }
    return {};
}

bool deleteThroughHandle(HANDLE file, DWORD& error) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)) {
        return true;
    }
    error = GetLastError();
    return false;
}

UniqueHandle openOwnFileIn(HANDLE folder, const std::wstring& folderFinal, const std::wstring& name,
                           DWORD access, DWORD share, std::wstring& error, DWORD& code,
                           SECURITY_ATTRIBUTES* created) {
    const std::wstring file = joined(folderFinal, name);
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueHandle handle = openInFolder(folder, name, access, share, OpenMode::Existing, code);
        if (handle) {
            error = refusal(handle.get(), file, file, code);
            return error.empty() ? std::move(handle) : UniqueHandle();
        }
        if (code != ERROR_FILE_NOT_FOUND) {
            error = code == kErrorReparsePoint ? reparseMessage(L"file", file)
                                               : formatWindowsError(code);
            return {};
        }
        // Made, checked and closed: the next round opens it without DELETE access.
        if (!createChecked(folder, folderFinal, name, access, share, created, error, code)) {
            return {};
        }
    }
    error = formatWindowsError(code);
    return {};
}

UniqueHandle openOwnFile(const fs::path& base, const fs::path& relative, DWORD access, DWORD share,
                         std::wstring& error, SECURITY_ATTRIBUTES* created) {
    const fs::path file = base / relative;
    if (!tokenIsElevated()) {
        // A link only leads this process where its user could write anyway.
        if (!createFolders(file.parent_path(), error)) {
            return {};
        }
        return openAsNamed(file, access, share, created, error);
    }
    const UniqueHandle folder = openOwnFolder(base, relative.parent_path(), error);
    std::wstring folderFinal;
    DWORD code = ERROR_SUCCESS;
    if (!folder) {
        return {};
    }
    if (!finalPathOfHandle(folder.get(), folderFinal, code)) {
        error = formatWindowsError(code);
        return {};
    }
    return openOwnFileIn(folder.get(), folderFinal, relative.filename().wstring(), access, share,
                         error, code, created);
}

UniqueHandle openExistingFile(const fs::path& path, DWORD access, DWORD share, DWORD& error) {
    const std::wstring name = ntPathOf(path);
    return retryWhileOplocked(GetTickCount64() + kOplockRetryMs, kOplockRetryPollMs, error,
                              [&](DWORD& failed) {
                                  return ntOpen(nullptr, name, access, share, FILE_OPEN,
                                                FILE_NON_DIRECTORY_FILE, nullptr, failed);
                              });
}

UniqueHandle openHandedFile(const fs::path& path, const wchar_t* stem, DWORD access, DWORD share,
                            std::wstring& error) {
    if (!tokenIsElevated()) {
        return openAsNamed(path, access, share, nullptr, error);
    }
    ImageFolder image;
    if (!holdImageFolder(image, error)) {
        return {};
    }
    const std::wstring name = stem + image.suffix + kStagedFileExtension;
    const fs::path given = path.lexically_normal();
    if (!samePath(given.filename().wstring(), name) ||
        !samePath(given.parent_path().wstring(), image.finalPath)) {
        error = L"The file " + path.wstring() +
                L" is not one that was staged for this copy of the helper.";
        return {};
    }
    // Opened inside the held folder, never through a link in the file's place, and never made:
    // one that is missing is not the staged file.
    DWORD code = ERROR_SUCCESS;
    UniqueHandle handle = retryWhileOplocked(
        GetTickCount64() + kOplockRetryMs, kOplockRetryPollMs, code, [&](DWORD& failed) {
            return openInFolder(image.hold.get(), name, access | FILE_READ_ATTRIBUTES, share,
                                OpenMode::Existing, failed);
        });
    if (!handle) {
        error = code == kErrorReparsePoint ? reparseMessage(L"file", path.wstring())
                                           : formatWindowsError(code);
        return {};
    }
    std::wstring why = refusal(handle.get(), path.wstring(), joined(image.finalPath, name), code);
    if (!why.empty()) {
        error = std::move(why);
        return {};
    }
    return handle;
}

bool isRemoteVolume(HANDLE handle, DWORD& error) {
    // FILE_FS_DEVICE_INFORMATION: a device type, then its characteristics.
    struct DeviceInformation {
        ULONG deviceType;
        ULONG characteristics;
    } device{};
    constexpr ULONG kFileFsDeviceInformation = 4;
    constexpr ULONG kFileRemoteDevice = 0x10;
    const NtCalls& nt = ntCalls();
    if (nt.queryVolume == nullptr || nt.toDosError == nullptr) {
        error = ERROR_PROC_NOT_FOUND;
        return true;
    }
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        nt.queryVolume(handle, &io, &device, sizeof device, kFileFsDeviceInformation);
    if (status < 0) {
        error = nt.toDosError(status);
        return true;
    }
    return (device.characteristics & kFileRemoteDevice) != 0;
}

std::wstring pathForOtherProcess(const std::wstring& folderFinal, const std::wstring& name) {
    std::wstring path = joined(folderFinal, name);
    // Only a path that the plain form cannot carry keeps the prefix that lifts the limit.
    if (path.size() < MAX_PATH) {
        return path;
    }
    return path.starts_with(L"\\\\") ? L"\\\\?\\UNC\\" + path.substr(2) : L"\\\\?\\" + path;
}

} // namespace qsh
